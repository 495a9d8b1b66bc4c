#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "plantdb/pg_connection.h"
#include "plantdb/plant_database.h"
#include "plantdb/plant_forwarder.h"
#include "plantdb/plant_lookup.h"
#include "startup/startup.h"
#include "store/print_journal.h"
#include "store/shared_plant.h"

struct sqlite3;

namespace tarnwick {

// A config.txt's PlantDatabase refused before anything connects: a password in it, or no
// connection string at all.
std::optional<Failure> CheckPlantDatabase(const ConfigValues& config, const std::filesystem::path& folder);

// The station's name in the plant: config.txt's Station, else the host name.
std::string StationName(const ConfigValues& config);

// One station's side of the plant database: its lookup, and the forwarder behind it.
// Every exchange ends within PlantTimeout; when the plant does not answer, the station's
// copy of the catalogue serves and its rows wait in data.mdb, and the operator is told
// once, and again when it answers.
class PlantStation final : public SharedPlant {
public:
    // With background set (the window), the forwarder is a thread of its own; without it
    // (a command), CatchUp does its work when asked, within the bound.
    PlantStation(const ConfigValues& config, std::filesystem::path databaseFile, PlantNotice notice, bool background);
    ~PlantStation() override = default;
    PlantStation(const PlantStation&) = delete;
    PlantStation& operator=(const PlantStation&) = delete;

    std::expected<std::string, Failure> LookupStyle(SettingsDb& db, const std::string& style) override;
    void RowsWritten() override;
    const std::string& station() const override { return lookup_.station(); }
    bool answering() const override { return lookup_.answering(); }
    bool refusing() const override { return lookup_.refusing(); }
    void MarkDown(const Failure& problem, sqlite3* local) override { lookup_.MarkDown(problem, local); }
    void MarkUp() override { lookup_.MarkUp(); }
    std::expected<std::vector<JournalEntry>, Failure> History(const JournalQuery& query) override;
    std::expected<std::vector<JournalEntry>, Failure> Job(const std::string& station, std::int64_t id) override;
    std::expected<std::size_t, Failure> AddWaitingJobs(const JournalQuery& query,
                                                       std::vector<JournalEntry>& jobs) const override;
    bool SendNow(const JournalEntry& job, sqlite3* local) override { return forwarder_.SendNow(job, local); }
    std::expected<std::int64_t, Failure> CatchUp(sqlite3* local, std::chrono::milliseconds copyFor) override {
        return forwarder_.CatchUp(local, copyFor);
    }
    std::expected<std::int64_t, Failure> CatchUp(sqlite3* local) override {
        return forwarder_.CatchUp(local, lookup_.timeout());
    }

    // What a command that looks after the plant itself asks through (init, status, push,
    // styles): the lookup's connection, and the plant's words for its failures.
    std::expected<PgConnection*, PgError> Connection(bool checked = true) { return lookup_.Connection(checked); }
    Failure Problem(const PgError& error, std::string_view needs = "") const { return lookup_.Problem(error, needs); }
    PgClock::time_point Deadline() const { return lookup_.Deadline(); }
    const std::string& conninfo() const { return lookup_.conninfo(); }
    const std::filesystem::path& databaseFile() const { return lookup_.databaseFile(); }
    const StationClaim& here() const { return lookup_.here(); }

private:
    StationLookup lookup_;
    // After the lookup, which its thread uses: stopped first.
    PlantForwarder forwarder_;
};

// Makes the plant's side of a station whose config.txt names a plant database, and hands
// it to the plant's lookups; nothing when it names none.
std::shared_ptr<PlantStation> JoinPlant(Plant& plant, PlantNotice notice, bool background);

}  // namespace tarnwick
