#include "plantdb/plant_station.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <utility>

#include "base/windows1252.h"
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

Failure PlantStation::Problem(const PgError& error, std::string_view needs) const {
    std::string why = PlantProblem(error, needs);
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

void PlantStation::Refused(const PgError& error, bool refused) {
    {
        const std::lock_guard lock(mutex_);
        if (refusing_ == refused) return;
        refusing_ = refused;
    }
    if (!notice_) return;
    if (refused)
        notice_(Failure{"The plant database \"" + conninfo_ + "\" does not take this station's rows: " +
                            PlantProblem(error, kJobsNeedOperator) +
                            ". Labels still print; their rows wait in data.mdb and are sent on once it takes them.",
                        "Tarnwick", MessageIcon::Information});
    else
        notice_(Failure{"The plant database \"" + conninfo_ + "\" takes this station's rows again.", "Tarnwick",
                        MessageIcon::Information});
}

void PlantStation::Failed(const PgError& error, sqlite3* local) {
    if (error.lost) MarkDown(error, local);
    else Refused(error, true);
}

template <class Query>
auto PlantStation::Ask(std::optional<PgConnection>& conn, PgClock::time_point deadline, Query query)
    -> std::invoke_result_t<Query, PgConnection&> {
    const bool kept = conn && conn->open();
    if (!kept) {
        auto opened = PgConnection::Open(conninfo_, deadline);
        if (!opened) return std::unexpected(opened.error());
        conn = std::move(*opened);
    }
    auto answer = query(*conn);
    // A kept connection found dead (the server restarted, a firewall forgot it) is no
    // outage: one more within the same deadline tells.
    if (answer || !answer.error().lost || !kept || PgClock::now() >= deadline) return answer;
    auto opened = PgConnection::Open(conninfo_, deadline);
    if (!opened) return std::unexpected(opened.error());
    conn = std::move(*opened);
    return query(*conn);
}

std::expected<PgConnection*, PgError> PlantStation::Connection() {
    return Ask(lookup_, Deadline(), [](PgConnection& db) -> std::expected<PgConnection*, PgError> { return &db; });
}

std::expected<std::vector<JournalEntry>, PgError> PlantStation::History(const JournalQuery& query) {
    const auto deadline = Deadline();
    return Ask(lookup_, deadline, [&](PgConnection& db) { return ReadPlantJournal(db, query, deadline); });
}

std::expected<std::vector<JournalEntry>, PgError> PlantStation::Job(const std::string& station, std::int64_t id) {
    const auto deadline = Deadline();
    return Ask(lookup_, deadline, [&](PgConnection& db) { return ReadPlantJob(db, station, id, deadline); });
}

std::expected<std::string, Failure> PlantStation::LookupStyle(SettingsDb& db, const std::string& style) {
    // While the plant is down a label does not ask it: the window's thread looks for its
    // return, and a command leaves it to the next.
    if (!answering()) return LookupPrintStyle(db, style);
    // Bytes that are not text (a cut sheet's stray byte) are in no catalogue the plant keeps.
    if (!IsValidUtf8(style)) return LookupPrintStyle(db, style);
    if (auto followed = db.FollowReplacedFile(); !followed) return std::unexpected(followed.error());
    const auto deadline = Deadline();
    const auto found = Ask(lookup_, deadline, [&](PgConnection& c) { return LookupPlantStyle(c, style, deadline); });
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
        } else if (auto refreshed = Refresh(*lookup_, db.handle(), deadline); !refreshed && notice_) {
            // The label goes on with the plant's answer; the copy is taken again next time.
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

bool PlantStation::stopping() const {
    const std::lock_guard lock(mutex_);
    return stop_;
}

std::expected<void, Failure> PlantStation::Refresh(PgConnection& db, sqlite3* local, PgClock::time_point deadline) {
    auto catalogue = ReadPlantCatalogue(db, deadline);
    if (!catalogue) return std::unexpected(Problem(catalogue.error()));
    return ReplaceCatalogueCopy(local, file_,
                                CatalogueCopy{catalogue->version, JournalTime(std::chrono::system_clock::now())},
                                catalogue->styles);
}

std::expected<std::int64_t, Failure> PlantStation::Forward(PgConnection& db, sqlite3* local, bool& plantFailed) {
    plantFailed = false;
    std::int64_t sent = 0;
    std::optional<std::string> stationId;
    while (!stopping()) {
        auto backlog = PlantBacklogOf(local, file_, batch_);
        if (!backlog) return std::unexpected(backlog.error());
        if (backlog->upTo == 0) break;
        if (!backlog->jobs.empty()) {
            if (!stationId) {
                auto id = StationId(local, file_);
                if (!id) return std::unexpected(id.error());
                stationId = *id;
            }
            auto forwarded = ForwardJobs(db, *stationId, station_, backlog->jobs, Deadline());
            if (!forwarded) {
                // A slow link after a long outage: smaller batches, each within the bound.
                if (forwarded.error().lost) batch_ = std::max(1, batch_ / 2);
                plantFailed = true;
                Failed(forwarded.error(), local);
                return std::unexpected(Problem(forwarded.error()));
            }
            batch_ = std::min(kForwardBatch, batch_ * 2);
        }
        // Killed here, the rows go again and the plant keeps one of each.
        if (auto forgotten = ForgetForwarded(local, file_, backlog->upTo); !forgotten)
            return std::unexpected(forgotten.error());
        sent += static_cast<std::int64_t>(backlog->jobs.size());
    }
    Refused(PgError{}, false);
    return sent;
}

bool PlantStation::SendNow(const JournalEntry& job, sqlite3* local) {
    // A command that has not asked the plant yet (a reprint) leaves its row to the catch-up.
    if (!answering() || !lookup_ || !lookup_->open()) return false;
    const auto id = StationId(local, file_);
    if (!id) return false;
    auto sent = ForwardJobs(*lookup_, *id, station_, {job}, Deadline());
    if (!sent) Failed(sent.error(), local);
    return sent.has_value();
}

std::expected<void, Failure> PlantStation::Freshen(std::optional<PgConnection>& conn, sqlite3* local, bool force) {
    const auto deadline = Deadline();
    const auto version = Ask(conn, deadline, [&](PgConnection& c) { return LookupPlantStyle(c, "", deadline); });
    if (!version) {
        MarkDown(version.error(), local);
        return std::unexpected(Problem(version.error()));
    }
    MarkUp();
    const auto copy = CopyOfCatalogue(local);
    // A copy that cannot be written now is taken again next time; the rows go on regardless.
    if (force || !copy || copy->version != version->version) {
        if (auto refreshed = Refresh(*conn, local, deadline); !refreshed && notice_ && !thread_.joinable())
            notice_(refreshed.error());
    }
    return {};
}

std::expected<std::int64_t, Failure> PlantStation::CatchUp(sqlite3* local) {
    // A label of this command asked already, and its lookup brought the copy up to date.
    if (!seenVersion_ || !lookup_ || !lookup_->open()) {
        if (auto fresh = Freshen(lookup_, local, false); !fresh) return std::unexpected(fresh.error());
    }
    bool plantFailed = false;
    return Forward(*lookup_, local, plantFailed);
}

void PlantStation::Run() {
    std::optional<PgConnection> db;
    sqlite3* local = nullptr;
    std::optional<FileIdentity> localIdentity;
    std::chrono::milliseconds lookAgain{0};  // unasked, when to try again; 0: not until asked
    std::unique_lock lock(mutex_);
    bool first = true;
    while (!stop_) {
        if (!first) {
            const auto asked = [this] { return stop_ || woken_; };
            if (lookAgain.count() > 0) wake_.wait_for(lock, lookAgain, asked);
            else wake_.wait(lock, asked);
            if (stop_) break;
            // A label's row and its outcome come a few milliseconds apart, and a run of
            // labels faster still: one trip to the plant takes them all, and data.mdb is
            // written once for them, not between the labels' own commits.
            if (woken_) wake_.wait_for(lock, kGather, [this] { return stop_; });
            if (stop_) break;
        }
        first = false;
        woken_ = false;
        const auto newer = std::exchange(newerCatalogue_, std::nullopt);
        lock.unlock();
        lookAgain = kRetry;
        // A data.mdb restored or copied in meanwhile is the one to read and write.
        if (local != nullptr && IdentityOf(file_) != localIdentity) {
            sqlite3_close_v2(local);
            local = nullptr;
        }
        if (local == nullptr) {
            auto opened = OpenIdentifiedDatabase(file_, false, localIdentity);
            if (opened) local = *opened;
        }
        if (local != nullptr) {
            if (Freshen(db, local, newer.has_value())) {
                bool plantFailed = false;
                const auto forwarded = Forward(*db, local, plantFailed);
                // Rows held back by data.mdb itself (another program's lock) are tried
                // again soon; a plant that refused them, at the next retry.
                if (forwarded) lookAgain = std::chrono::milliseconds(0);
                else if (!plantFailed) lookAgain = std::chrono::seconds(1);
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
