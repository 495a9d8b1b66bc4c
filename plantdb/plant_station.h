#pragma once

#include <condition_variable>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "base/failure.h"
#include "plantdb/pg_connection.h"
#include "plantdb/plant_database.h"
#include "startup/startup.h"
#include "store/print_journal.h"
#include "store/shared_plant.h"

struct sqlite3;

namespace tarnwick {

// What the operator is told of the plant database: it stopped answering, or answers again.
using PlantNotice = std::function<void(const Failure&)>;

// A config.txt's PlantDatabase refused before anything connects: a password in it, or no
// connection string at all.
std::optional<Failure> CheckPlantDatabase(const ConfigValues& config, const std::filesystem::path& folder);

// The station's name in the plant: config.txt's Station, else the host name.
std::string StationName(const ConfigValues& config);

// One station's side of the plant database. Every exchange ends within PlantTimeout;
// when the plant does not answer, the station's copy of the catalogue serves and its
// rows wait in data.mdb, and the operator is told once, and again when it answers.
class PlantStation final : public SharedPlant {
public:
    // With background set (the window), a thread of its own connects, keeps the copy of
    // the catalogue fresh and sends the rows on, so that nothing waits for it, start-up
    // included; without it (a command), that is done when asked, within the bound.
    PlantStation(const ConfigValues& config, std::filesystem::path databaseFile, PlantNotice notice,
                 bool background);
    ~PlantStation() override;
    PlantStation(const PlantStation&) = delete;
    PlantStation& operator=(const PlantStation&) = delete;

    std::expected<std::string, Failure> LookupStyle(SettingsDb& db, const std::string& style) override;
    void RowsWritten() override;

    // A command's end: every waiting row sent on through `local`, then the copy brought
    // toward the plant's catalogue for at most `copyFor` (one page begun runs to its own
    // bound; the rest waits for the next command). The rows sent; a failure once told.
    std::expected<std::int64_t, Failure> CatchUp(sqlite3* local, std::chrono::milliseconds copyFor);
    std::expected<std::int64_t, Failure> CatchUp(sqlite3* local) { return CatchUp(local, timeout_); }

    // One finished row handed to the plant now, through the command's connection, when
    // the plant answered this command so far and `local` (data.mdb) has its station id;
    // whether the plant has it.
    bool SendNow(const JournalEntry& job, sqlite3* local);

    // The connection for a command's own questions (status, styles, init), opened within
    // the bound; with `checked`, refused when the plant's tables are not the ones this
    // Tarnwick uses (init and status look at them as they are).
    std::expected<PgConnection*, PgError> Connection(bool checked = true);
    // The plant's history, and one station's job with its stream, within the bound.
    std::expected<std::vector<JournalEntry>, PgError> History(const JournalQuery& query);
    std::expected<std::vector<JournalEntry>, PgError> Job(const std::string& station, std::int64_t id);
    // This station's jobs that wait in data.mdb to be sent on, which the plant does not
    // list yet (or lists with an older outcome), put among the plant's `jobs`, newest
    // first, within the query's limit: how many were put there.
    std::expected<std::size_t, Failure> AddWaitingJobs(const JournalQuery& query,
                                                      std::vector<JournalEntry>& jobs) const;

    PgClock::time_point Deadline() const { return PgClock::now() + timeout_; }
    const std::string& station() const { return station_; }
    const std::string& conninfo() const { return conninfo_; }
    const std::filesystem::path& databaseFile() const { return file_; }
    // This station's host and plant folder, as the plant records where an id was first used.
    const StationClaim& here() const { return here_; }
    // Whether the plant answered the last time it was asked.
    bool answering() const;
    // Whether the plant answers but refuses this station's rows (told already).
    bool refusing() const;
    // The failure of a plant-side question, as the operator reads it.
    Failure Problem(const PgError& error, std::string_view needs = "") const;
    // The plant stopped answering (told once, with the copy's time from `local`), or
    // answers again (told once).
    void MarkDown(const PgError& error, sqlite3* local);
    void MarkUp();

private:
    // The plant answered but would not take the rows (a login without a right, an id that
    // another data.mdb carries): told once, and once when it takes them again.
    void Refused(const std::string& why, bool refused);
    void Failed(const PgError& error, sqlite3* local, PgConnection* db);
    template <class Query>
    auto Ask(std::optional<PgConnection>& conn, PgClock::time_point deadline, Query query, bool checked = true)
        -> std::invoke_result_t<Query, PgConnection&>;
    // Rows of this station's id, which the plant records as this host's and folder's first.
    std::expected<void, PgError> Send(PgConnection& db, const std::string& stationId,
                                      const std::vector<JournalEntry>& jobs);
    std::expected<std::int64_t, Failure> Forward(PgConnection& db, sqlite3* local, bool& plantFailed);
    // Takes the plant's catalogue into the staging table page by page until `budget`, and
    // swaps it in once whole and unchanged meanwhile; whether the copy matches the plant's.
    std::expected<bool, Failure> TakeCopy(std::optional<PgConnection>& conn, sqlite3* local,
                                          PgClock::time_point budget, bool& plantFailed);
    bool stopping() const;
    void Run();

    std::string conninfo_;
    std::string station_;
    std::chrono::milliseconds timeout_;
    std::filesystem::path file_;
    PlantNotice notice_;
    std::optional<PgConnection> lookup_;
    // Where this station's id was first used, as the plant records it.
    StationClaim here_;

    mutable std::mutex mutex_;
    bool down_ = false;
    bool refusing_ = false;
    // The id the plant confirmed as this station's, once per process.
    std::optional<std::string> claimedId_;
    int batch_ = 200;
    std::optional<std::int64_t> newerCatalogue_;
    std::condition_variable wake_;
    bool woken_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// Makes the plant's side of a station whose config.txt names a plant database, and hands
// it to the plant's lookups; nothing when it names none.
std::shared_ptr<PlantStation> JoinPlant(Plant& plant, PlantNotice notice, bool background);

}  // namespace tarnwick
