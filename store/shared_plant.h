#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "base/failure.h"
#include "store/journal_queries.h"
#include "store/journal_rows.h"
#include "store/settings_store.h"

struct sqlite3;

namespace tarnwick {

// What a station shares with the plant's other stations when config.txt names a plant
// database; without one, data.mdb alone serves. Safe to use from several threads at once.
class SharedPlant {
public:
    virtual ~SharedPlant() = default;
    // A style's layout code as LookupPrintStyle gives it: the plant's catalogue when it
    // answers in time, else the station's copy in data.mdb.
    virtual std::expected<std::string, Failure> LookupStyle(SettingsDb& db, const std::string& style) = 0;
    // Journal rows were written and wait to be sent on to the plant.
    virtual void RowsWritten() = 0;

    // The station's name in the plant.
    virtual const std::string& station() const = 0;
    // Whether the plant answered the last time it was asked.
    virtual bool answering() const = 0;
    // Whether the plant answers but refuses this station's rows (told already).
    virtual bool refusing() const = 0;
    // The plant stopped answering, for `problem` (told once, with the copy's time from
    // `local`), or answers again (told once).
    virtual void MarkDown(const Failure& problem, sqlite3* local) = 0;
    virtual void MarkUp() = 0;

    // The plant's history, and one station's job with its stream, within the bound; a
    // failure as the operator reads it, the plant not marked down for it.
    virtual std::expected<std::vector<JournalEntry>, Failure> History(const JournalQuery& query) = 0;
    virtual std::expected<std::vector<JournalEntry>, Failure> Job(const std::string& station, std::int64_t id) = 0;
    // This station's jobs that wait in data.mdb to be sent on, which the plant does not
    // list yet (or lists with an older outcome), put among the plant's `jobs`, newest
    // first, within the query's limit: how many were put there.
    virtual std::expected<std::size_t, Failure> AddWaitingJobs(const JournalQuery& query,
                                                               std::vector<JournalEntry>& jobs) const = 0;

    // One finished row handed to the plant now, through `local` (data.mdb), when the plant
    // answered this command so far; whether the plant has it.
    virtual bool SendNow(const JournalEntry& job, sqlite3* local) = 0;
    // A command's end: every waiting row sent on through `local`, then the copy brought
    // toward the plant's catalogue for at most `copyFor` (PlantTimeout without it). The
    // rows sent; a failure once told.
    virtual std::expected<std::int64_t, Failure> CatchUp(sqlite3* local, std::chrono::milliseconds copyFor) = 0;
    virtual std::expected<std::int64_t, Failure> CatchUp(sqlite3* local) = 0;
};

}  // namespace tarnwick
