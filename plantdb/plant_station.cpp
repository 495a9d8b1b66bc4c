#include "plantdb/plant_station.h"

#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <utility>

#include "plantdb/plant_database.h"
#include "store/plant_copy.h"
#include "store/print_journal.h"
#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

// Rows sent in one plant transaction: one label's worth of waiting, not a day's.
constexpr int kForwardBatch = 200;
// How often the window's thread tries again while the plant is down or rows wait.
constexpr auto kRetry = std::chrono::seconds(5);
constexpr auto kGather = std::chrono::milliseconds(100);

std::string HostName() {
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return "station";
    return name.data();
}

}  // namespace

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

std::string StationName(const ConfigValues& config) {
    return config.Station.empty() ? HostName() : config.Station;
}

PlantStation::PlantStation(const ConfigValues& config, std::filesystem::path databaseFile, PlantNotice notice,
                           bool background)
    : conninfo_(config.PlantDatabase),
      station_(StationName(config)),
      timeout_(config.PlantTimeout),
      file_(std::move(databaseFile)),
      notice_(std::move(notice)) {
    if (background) thread_ = std::thread([this] { Run(); });
}

PlantStation::~PlantStation() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

bool PlantStation::answering() const {
    const std::lock_guard lock(mutex_);
    return !down_;
}

Failure PlantStation::Problem(const PgError& error) const {
    std::string why = PlantProblem(error);
    // libpq's own words may end a sentence already ("...on that socket?").
    if (why.empty() || (why.back() != '.' && why.back() != '?')) why += '.';
    return Failure{"The plant database \"" + conninfo_ + "\" cannot be used: " + why};
}

void PlantStation::MarkDown(const PgError& error, sqlite3* local) {
    {
        const std::lock_guard lock(mutex_);
        if (down_) return;
        down_ = true;
    }
    if (!notice_) return;
    const auto copy = local != nullptr ? CopyOfCatalogue(local) : std::nullopt;
    std::string text = Problem(error).text + " This station prints from its own copy of the style catalogue";
    text += copy ? ", taken " + copy->taken + " (UTC)," : " (it has none from the plant yet: the styles in data.mdb),";
    text += " and keeps its labels' rows in data.mdb until the plant database answers again.";
    notice_(Failure{std::move(text), "Tarnwick", MessageIcon::Information});
}

void PlantStation::MarkUp() {
    {
        const std::lock_guard lock(mutex_);
        if (!down_) return;
        down_ = false;
    }
    if (notice_)
        notice_(Failure{"The plant database \"" + conninfo_ +
                            "\" answers again: styles come from the plant's catalogue, and this station's labels "
                            "are sent on to the plant's history.",
                        "Tarnwick", MessageIcon::Information});
}

std::expected<PgConnection*, Failure> PlantStation::Connection() {
    if (lookup_ && lookup_->open()) return &*lookup_;
    auto opened = PgConnection::Open(conninfo_, Deadline());
    if (!opened) return std::unexpected(Problem(opened.error()));
    lookup_ = std::move(*opened);
    return &*lookup_;
}

std::expected<std::string, Failure> PlantStation::LookupStyle(SettingsDb& db, const std::string& style) {
    // While the plant is down the window's thread looks for its return; a label does not.
    if (thread_.joinable() && !answering()) return LookupPrintStyle(db, style);
    if (auto followed = db.FollowReplacedFile(); !followed) return std::unexpected(followed.error());
    const auto deadline = Deadline();
    std::expected<PlantLookup, PgError> found = std::unexpected(PgError{});
    if (!lookup_ || !lookup_->open()) {
        auto opened = PgConnection::Open(conninfo_, deadline);
        if (opened) lookup_ = std::move(*opened);
        else found = std::unexpected(opened.error());
    }
    if (lookup_ && lookup_->open()) found = LookupPlantStyle(*lookup_, style, deadline);
    if (!found) {
        MarkDown(found.error(), db.handle());
        return LookupPrintStyle(db, style);
    }
    MarkUp();
    seenVersion_ = found->version;
    const auto copy = CopyOfCatalogue(db.handle());
    if (!copy || copy->version != found->version) {
        if (thread_.joinable()) {
            {
                const std::lock_guard lock(mutex_);
                newerCatalogue_ = found->version;
                woken_ = true;
            }
            wake_.notify_one();
        } else if (auto refreshed = Refresh(*lookup_, db.handle(), found->version); !refreshed && notice_) {
            notice_(refreshed.error());
        }
    }
    return found->code;
}

void PlantStation::RowsWritten() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard lock(mutex_);
        woken_ = true;
    }
    wake_.notify_one();
}

std::expected<void, Failure> PlantStation::Refresh(PgConnection& db, sqlite3* local, std::int64_t) {
    auto catalogue = ReadPlantCatalogue(db, Deadline());
    if (!catalogue) return std::unexpected(Problem(catalogue.error()));
    return ReplaceCatalogueCopy(local, file_,
                                CatalogueCopy{catalogue->version, JournalTime(std::chrono::system_clock::now())},
                                catalogue->styles);
}

std::expected<std::int64_t, Failure> PlantStation::Forward(PgConnection& db, sqlite3* local) {
    std::int64_t sent = 0;
    std::optional<std::string> stationId;
    for (;;) {
        auto backlog = PlantBacklogOf(local, file_, kForwardBatch);
        if (!backlog) return std::unexpected(backlog.error());
        if (backlog->upTo == 0) return sent;
        if (!backlog->jobs.empty()) {
            if (!stationId) {
                auto id = StationId(local, file_);
                if (!id) return std::unexpected(id.error());
                stationId = *id;
            }
            auto forwarded = ForwardJobs(db, *stationId, station_, backlog->jobs, Deadline());
            if (!forwarded) {
                MarkDown(forwarded.error(), local);
                return std::unexpected(Problem(forwarded.error()));
            }
        }
        // Killed here, the rows go again and the plant keeps one of each.
        if (auto forgotten = ForgetForwarded(local, file_, backlog->upTo); !forgotten)
            return std::unexpected(forgotten.error());
        sent += static_cast<std::int64_t>(backlog->jobs.size());
    }
}

bool PlantStation::SendNow(const JournalEntry& job, sqlite3* local) {
    // A command that has not asked the plant yet (a reprint) leaves its row to the catch-up.
    if (!answering() || !lookup_ || !lookup_->open()) return false;
    const auto id = StationId(local, file_);
    if (!id) return false;
    auto sent = ForwardJobs(*lookup_, *id, station_, {job}, Deadline());
    if (!sent) MarkDown(sent.error(), local);
    return sent.has_value();
}

std::expected<std::int64_t, Failure> PlantStation::CatchUp(sqlite3* local) {
    auto db = Connection();
    if (!db) {
        MarkDown(PgError{db.error().text, "", true}, local);
        return std::unexpected(db.error());
    }
    // A label of this command asked already, and its lookup brought the copy up to date.
    if (!seenVersion_) {
        auto version = LookupPlantStyle(**db, "", Deadline());
        if (!version) {
            MarkDown(version.error(), local);
            return std::unexpected(Problem(version.error()));
        }
        MarkUp();
        const auto copy = CopyOfCatalogue(local);
        if (!copy || copy->version != version->version) {
            if (auto refreshed = Refresh(**db, local, version->version); !refreshed)
                return std::unexpected(refreshed.error());
        }
    }
    return Forward(**db, local);
}

void PlantStation::Run() {
    std::optional<PgConnection> db;
    sqlite3* local = nullptr;
    std::unique_lock lock(mutex_);
    bool first = true;
    while (!stop_) {
        if (!first) {
            // While rows wait or the plant is down, look again now and then.
            const bool again = down_ || woken_;
            if (again && !woken_) wake_.wait_for(lock, kRetry, [this] { return stop_ || woken_; });
            else if (!woken_) wake_.wait(lock, [this] { return stop_ || woken_; });
            if (stop_) break;
            // A label's row and its outcome come a few milliseconds apart, and a run of
            // labels faster still: one trip to the plant takes them all, and data.mdb is
            // written once for them, not between the labels' own commits.
            wake_.wait_for(lock, kGather, [this] { return stop_; });
            if (stop_) break;
        }
        first = false;
        woken_ = false;
        const auto newer = std::exchange(newerCatalogue_, std::nullopt);
        lock.unlock();
        if (local == nullptr) {
            auto opened = OpenExistingDatabase(file_, false);
            if (opened) local = *opened;
        }
        if (local != nullptr) {
            if (!db || !db->open()) {
                auto opened = PgConnection::Open(conninfo_, Deadline());
                if (opened) db = std::move(*opened);
                else MarkDown(opened.error(), local);
            }
            if (db && db->open()) {
                auto version = LookupPlantStyle(*db, "", Deadline());
                if (!version) {
                    MarkDown(version.error(), local);
                } else {
                    MarkUp();
                    const auto copy = CopyOfCatalogue(local);
                    if (newer || !copy || copy->version != version->version)
                        (void)Refresh(*db, local, version->version);
                    const auto forwarded = Forward(*db, local);
                    // Rows held back by data.mdb (another program's lock) are tried again
                    // shortly; a plant that refused them was told of and waits for the retry.
                    if (!forwarded && answering()) {
                        lock.lock();
                        woken_ = true;
                        lock.unlock();
                        std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    }
                }
            }
        }
        lock.lock();
    }
    lock.unlock();
    if (local != nullptr) sqlite3_close_v2(local);
}

std::shared_ptr<PlantStation> JoinPlant(Plant& plant, PlantNotice notice, bool background) {
    if (plant.config.PlantDatabase.empty()) return nullptr;
    auto station = std::make_shared<PlantStation>(plant.config, plant.databaseFile(), std::move(notice), background);
    plant.shared = station;
    return station;
}

}  // namespace tarnwick
