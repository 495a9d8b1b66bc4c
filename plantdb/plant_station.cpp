#include "plantdb/plant_station.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

#include "base/ascii_case.h"
#include "store/plant_copy.h"
#include "store/print_journal.h"
#include "store/sqlite_file.h"
#include "store/station_name.h"

namespace tarnwick {

std::optional<Failure> CheckPlantDatabase(const ConfigValues& config, const std::filesystem::path& folder) {
    if (config.PlantDatabase.empty()) return std::nullopt;
    const std::string file = (folder / "config.txt").string();
    const auto password = HoldsPassword(config.PlantDatabase);
    if (!password)
        return StartUpFailure("The settings file \"" + file + "\" gives PlantDatabase as \"" + config.PlantDatabase +
                              "\", which is not a connection string: " + password.error() +
                              ". Give it as key=value pairs (for example PlantDatabase,service=tarnwick), then "
                              "try again.");
    if (*password)
        return StartUpFailure("The settings file \"" + file +
                              "\" gives PlantDatabase with a password, which every operator could read there. "
                              "Remove the password from PlantDatabase and put it in the .pgpass file of the "
                              "station's user (or the file PGPASSFILE names), or use a client certificate, then "
                              "try again.");
    return std::nullopt;
}

std::string StationName(const ConfigValues& config) { return StationName(config.Station); }

PlantStation::PlantStation(const ConfigValues& config, std::filesystem::path databaseFile, PlantNotice notice,
                           bool background)
    : lookup_(config, std::move(databaseFile), std::move(notice)), forwarder_(lookup_, background) {}

std::expected<std::string, Failure> PlantStation::LookupStyle(SettingsDb& db, const std::string& style) {
    std::optional<std::int64_t> plantVersion;
    auto code = lookup_.LookupStyle(db, style, plantVersion);
    if (plantVersion) forwarder_.CatalogueAnswered(db.handle(), *plantVersion);
    return code;
}

void PlantStation::RowsWritten() { forwarder_.RowsWritten(); }

std::expected<std::vector<JournalEntry>, Failure> PlantStation::History(const JournalQuery& query) {
    auto jobs = lookup_.History(query);
    if (!jobs) return std::unexpected(lookup_.Problem(jobs.error()));
    return std::move(*jobs);
}

std::expected<std::vector<JournalEntry>, Failure> PlantStation::Job(const std::string& station, std::int64_t id) {
    auto jobs = lookup_.Job(station, id);
    if (!jobs) return std::unexpected(lookup_.Problem(jobs.error()));
    return std::move(*jobs);
}

std::shared_ptr<PlantStation> JoinPlant(Plant& plant, PlantNotice notice, bool background) {
    if (plant.config.PlantDatabase.empty()) return nullptr;
    auto station = std::make_shared<PlantStation>(plant.config, plant.databaseFile(), std::move(notice), background);
    plant.shared = station;
    return station;
}

std::expected<std::size_t, Failure> PlantStation::AddWaitingJobs(const JournalQuery& query,
                                                                 std::vector<JournalEntry>& jobs) const {
    auto opened = OpenExistingDatabase(lookup_.databaseFile(), true);
    if (!opened) return std::unexpected(opened.error());
    const tarnwick::Connection db(*opened);
    const auto waiting = WaitingJobIds(db.get(), lookup_.databaseFile());
    if (!waiting) return std::unexpected(waiting.error());
    if (waiting->empty()) return 0;
    if (!query.station.empty() && AsciiLower(query.station) != AsciiLower(lookup_.station())) return 0;
    auto own = ReadJournal(lookup_.databaseFile(), query);
    if (!own) return std::unexpected(own.error());
    std::erase_if(*own, [&](const JournalEntry& job) {
        return std::find(waiting->begin(), waiting->end(), job.id) == waiting->end();
    });
    if (own->empty()) return 0;
    // Only a station with an id has sent rows; a read-only file never makes one.
    const auto id = HasTable(db.get(), "PlantLink") ? StationId(db.get(), lookup_.databaseFile())
                                                    : std::expected<std::string, Failure>(std::string());
    // The plant may list a waiting row already, with an older outcome.
    std::erase_if(jobs, [&](const JournalEntry& job) {
        return id && !id->empty() && job.stationId == *id &&
               std::any_of(own->begin(), own->end(),
                           [&](const JournalEntry& mine) { return mine.id == job.id && mine.time == job.time; });
    });
    for (JournalEntry& job : *own) {
        job.station = lookup_.station();
        if (id) job.stationId = *id;
    }
    const std::size_t added = own->size();
    jobs.insert(jobs.end(), std::make_move_iterator(own->begin()), std::make_move_iterator(own->end()));
    std::stable_sort(jobs.begin(), jobs.end(),
                     [](const JournalEntry& a, const JournalEntry& b) { return a.time > b.time; });
    if (query.limit > 0 && jobs.size() > static_cast<std::size_t>(query.limit))
        jobs.resize(static_cast<std::size_t>(query.limit));
    return added;
}

}  // namespace tarnwick
