#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "plantdb/pg_connection.h"
#include "plantdb/plant_lookup.h"
#include "store/print_journal.h"

struct sqlite3;

namespace tarnwick {

// Sends a station's queued journal rows on to the plant and keeps its copy of the
// catalogue fresh, a page at a time. With background set (the window, a service), a
// thread of its own does it on a connection of its own, so that no label or question
// waits for it, start-up included; without it (a command), CatchUp does it when asked,
// within the bound, on the lookup's connection.
class PlantForwarder {
public:
    PlantForwarder(StationLookup& lookup, bool background);
    ~PlantForwarder();
    PlantForwarder(const PlantForwarder&) = delete;
    PlantForwarder& operator=(const PlantForwarder&) = delete;

    // Journal rows were written and wait to be sent on.
    void RowsWritten();
    // A label's lookup found the plant's catalogue at `version`: the thread takes it when
    // the copy in `local` is another.
    void CatalogueAnswered(sqlite3* local, std::int64_t version);

    // A command's end: every waiting row sent on through `local`, then the copy brought
    // toward the plant's catalogue for at most `copyFor` (one page begun runs to its own
    // bound; the rest waits for the next command). The rows sent; a failure once told.
    std::expected<std::int64_t, Failure> CatchUp(sqlite3* local, std::chrono::milliseconds copyFor);
    // One finished row handed to the plant now, through the command's connection, when
    // the plant answered this command so far and `local` (data.mdb) has its station id;
    // whether the plant has it.
    bool SendNow(const JournalEntry& job, sqlite3* local);

private:
    void Failed(const PgError& error, sqlite3* local, PgConnection* db);
    // Rows of this station's id, which the plant records as this host's and folder's first.
    std::expected<void, PgError> Send(PgConnection& db, const std::string& stationId,
                                      const std::vector<JournalEntry>& jobs);
    std::expected<std::int64_t, Failure> Forward(PgConnection& db, sqlite3* local, bool& plantFailed);
    // Takes the plant's catalogue into the staging table page by page until `budget`, and
    // swaps it in once whole and unchanged meanwhile; whether the copy matches the plant's.
    std::expected<bool, Failure> TakeCopy(std::optional<PgConnection>& conn, sqlite3* local, PgClock::time_point budget,
                                          bool& plantFailed);
    int Batch() const;
    void SetBatch(int batch);
    bool stopping() const;
    void Run();

    StationLookup& lookup_;
    const bool background_;

    mutable std::mutex mutex_;
    // The id the plant confirmed as this station's, once per process.
    std::optional<std::string> claimedId_;
    int batch_ = 200;
    std::optional<std::int64_t> newerCatalogue_;
    std::condition_variable wake_;
    bool woken_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace tarnwick
