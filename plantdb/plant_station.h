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

    // A command's end: the copy brought up to date when the catalogue changed, and every
    // waiting row sent on, through `local`. The rows sent; a failure once told.
    std::expected<std::int64_t, Failure> CatchUp(sqlite3* local);

    // One finished row handed to the plant now, through the command's connection, when
    // the plant answered this command so far and `local` (data.mdb) has its station id;
    // whether the plant has it.
    bool SendNow(const JournalEntry& job, sqlite3* local);

    // The connection for a command's own questions (status, styles, init), opened within
    // the bound.
    std::expected<PgConnection*, PgError> Connection();
    // The plant's history, and one station's job with its stream, within the bound.
    std::expected<std::vector<JournalEntry>, PgError> History(const JournalQuery& query);
    std::expected<std::vector<JournalEntry>, PgError> Job(const std::string& station, std::int64_t id);

    PgClock::time_point Deadline() const { return PgClock::now() + timeout_; }
    const std::string& station() const { return station_; }
    const std::string& conninfo() const { return conninfo_; }
    const std::filesystem::path& databaseFile() const { return file_; }
    // Whether the plant answered the last time it was asked.
    bool answering() const;
    // The failure of a plant-side question, as the operator reads it.
    Failure Problem(const PgError& error, std::string_view needs = "") const;
    // The plant stopped answering (told once, with the copy's time from `local`), or
    // answers again (told once).
    void MarkDown(const PgError& error, sqlite3* local);
    void MarkUp();

private:
    // The plant answered but would not take the rows (a login without the right): told
    // once, and once when it takes them again.
    void Refused(const PgError& error, bool refused);
    void Failed(const PgError& error, sqlite3* local);
    template <class Query>
    auto Ask(std::optional<PgConnection>& conn, PgClock::time_point deadline, Query query)
        -> std::invoke_result_t<Query, PgConnection&>;
    std::expected<std::int64_t, Failure> Forward(PgConnection& db, sqlite3* local, bool& plantFailed);
    std::expected<void, Failure> Refresh(PgConnection& db, sqlite3* local, PgClock::time_point deadline);
    // Asks the plant for its catalogue's version (an outage is told and is the failure) and
    // takes the copy again when it differs, or with `force`.
    std::expected<void, Failure> Freshen(std::optional<PgConnection>& conn, sqlite3* local, bool force);
    bool stopping() const;
    void Run();

    std::string conninfo_;
    std::string station_;
    std::chrono::milliseconds timeout_;
    std::filesystem::path file_;
    PlantNotice notice_;
    std::optional<PgConnection> lookup_;
    // The catalogue's version as this process's last lookup found it (commands only).
    std::optional<std::int64_t> seenVersion_;

    mutable std::mutex mutex_;
    bool down_ = false;
    bool refusing_ = false;
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
