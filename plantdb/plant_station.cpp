#include "plantdb/plant_station.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

#include "base/ascii_case.h"
#include "base/windows1252.h"
#include "plantdb/plant_database.h"
#include "store/plant_copy.h"
#include "store/print_journal.h"
#include "store/sqlite_file.h"
#include "store/station_name.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// Rows sent in one plant transaction: one label's worth of waiting, not a day's.
constexpr int kForwardBatch = 200;
// How often the window's thread tries again while the plant is down or rows wait.
constexpr auto kRetry = std::chrono::seconds(5);
constexpr auto kGather = std::chrono::milliseconds(100);
// Styles in one page of the copy: a few kilobytes, well within the bound on a slow link.
constexpr int kCopyPage = 500;
// How often the window's thread compares its copy with the plant's content unasked: a
// change made with the triggers off bumps no version.
constexpr auto kCompareEvery = std::chrono::seconds(30);

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

std::string StationName(const ConfigValues& config) { return StationName(config.Station); }

PlantStation::PlantStation(const ConfigValues& config, std::filesystem::path databaseFile, PlantNotice notice,
                           bool background)
    : conninfo_(config.PlantDatabase),
      station_(StationName(config)),
      timeout_(config.PlantTimeout),
      file_(std::move(databaseFile)),
      notice_(std::move(notice)) {
    std::error_code error;
    const auto folder = std::filesystem::weakly_canonical(std::filesystem::absolute(file_, error).parent_path(), error);
    here_ = StationClaim{HostName(), error ? file_.parent_path().string() : folder.string(), ""};
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

bool PlantStation::refusing() const {
    const std::lock_guard lock(mutex_);
    return refusing_;
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
    text += copy ? ", taken " + LocalJournalTime(copy->taken) + ","
                 : " (it has none from the plant yet: the styles in data.mdb),";
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
                        "Tarnwick", MessageIcon::Information, false, true});
}

void PlantStation::Refused(const std::string& why, bool refused) {
    {
        const std::lock_guard lock(mutex_);
        if (refusing_ == refused) return;
        refusing_ = refused;
    }
    if (!notice_) return;
    if (refused)
        notice_(Failure{"The plant database \"" + conninfo_ + "\" does not take this station's rows: " + why + ".",
                        "Tarnwick", MessageIcon::Information});
    else
        notice_(Failure{"The plant database \"" + conninfo_ + "\" takes this station's rows again.", "Tarnwick",
                        MessageIcon::Information, false, true});
}

void PlantStation::Failed(const PgError& error, sqlite3* local, PgConnection* db) {
    if (error.lost) {
        MarkDown(error, local);
    } else if (error.sqlstate == kIdClash) {
        Refused(error.message +
                    ". Labels still print, and their rows wait in data.mdb: none is lost. Run tarnwick-cli plant "
                    "new-id on this station (in " + here_.folder +
                    ") to give it an id of its own; its waiting rows are then sent on",
                true);
    } else {
        const std::string needs = error.Denied() && db != nullptr && db->open()
                                      ? JobRightsProblem(*db, Deadline())
                                      : std::string(kJobsNeedOperator);
        Refused(PlantProblem(error, needs) +
                    ". Labels still print; their rows wait in data.mdb and are sent on once it takes them",
                true);
    }
}

template <class Query>
auto PlantStation::Ask(std::optional<PgConnection>& conn, PgClock::time_point deadline, Query query, bool checked)
    -> std::invoke_result_t<Query, PgConnection&> {
    // Once a connection: tables that are not the ones this Tarnwick uses are an outage of
    // their own, told with the fix, while labels print from the copy.
    const auto open = [&]() -> std::expected<void, PgError> {
        auto opened = PgConnection::Open(conninfo_, deadline);
        if (!opened) return std::unexpected(opened.error());
        if (checked)
            if (auto fit = CheckPlantSchema(*opened, deadline); !fit) {
                PgError error = fit.error();
                error.lost = true;
                return std::unexpected(std::move(error));
            }
        conn = std::move(*opened);
        return {};
    };
    const bool kept = conn && conn->open();
    if (!kept)
        if (auto opened = open(); !opened) return std::unexpected(opened.error());
    auto answer = query(*conn);
    // A kept connection found dead (the server restarted, a firewall forgot it) is no
    // outage: one more within the same deadline tells.
    if (answer || !answer.error().lost || !kept || PgClock::now() >= deadline) return answer;
    if (auto opened = open(); !opened) return std::unexpected(opened.error());
    return query(*conn);
}

std::expected<PgConnection*, PgError> PlantStation::Connection(bool checked) {
    return Ask(lookup_, Deadline(), [](PgConnection& db) -> std::expected<PgConnection*, PgError> { return &db; },
               checked);
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
        auto copied = LookupPrintStyle(db, style);
        // A style the copy lacks may well be in the catalogue this login may not read:
        // the refusal is that, not a style that does not exist.
        if (copied && copied->empty() && found.error().Denied()) return std::unexpected(Problem(found.error()));
        return copied;
    }
    MarkUp();
    // No label waits for the copy: the window's thread takes it, a command after its labels.
    const auto copy = CopyOfCatalogue(db.handle());
    if (thread_.joinable() && (!copy || copy->version != found->version)) {
        {
            const std::lock_guard lock(mutex_);
            newerCatalogue_ = found->version;
            woken_ = true;
        }
        wake_.notify_one();
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

std::expected<bool, Failure> PlantStation::TakeCopy(std::optional<PgConnection>& conn, sqlite3* local,
                                                    PgClock::time_point budget, bool& plantFailed) {
    plantFailed = true;
    if (!conn || !conn->open()) return false;
    auto mark = ReadCatalogueMark(*conn, Deadline());
    if (!mark) return std::unexpected(Problem(mark.error()));
    // Each round begins from the plant's content as it stands; a catalogue changed while
    // its pages were read is read again. Bounded by the budget, and by rounds besides.
    for (int round = 0; round < 4; ++round) {
        const auto copy = CopyOfCatalogue(local);
        plantFailed = false;
        if (copy && copy->digest == mark->digest) {
            if (copy->version == mark->version) return true;
            if (auto marked = MarkCatalogueCopy(local, file_, mark->version); !marked)
                return std::unexpected(marked.error());
            return true;
        }
        auto staging = StagingOfCatalogue(local);
        if (!staging || staging->digest != mark->digest || staging->version != mark->version) {
            if (auto started = StartCatalogueStaging(local, file_, mark->version, mark->digest); !started)
                return std::unexpected(started.error());
            staging = CatalogueStaging{mark->version, mark->digest, "", 0};
        }
        std::string after = staging->after;
        for (;;) {
            if (PgClock::now() >= budget || stopping()) return false;
            plantFailed = true;
            auto page = ReadCataloguePage(*conn, after, kCopyPage, Deadline());
            if (!page) return std::unexpected(Problem(page.error()));
            plantFailed = false;
            std::vector<std::pair<std::string, StyleRow>> rows;
            rows.reserve(page->size());
            for (CatalogueRow& row : *page) rows.emplace_back(std::move(row.key), std::move(row.row));
            if (!rows.empty()) after = rows.back().first;
            if (auto staged = StageCataloguePage(local, file_, rows, after); !staged)
                return std::unexpected(staged.error());
            if (rows.size() < static_cast<std::size_t>(kCopyPage)) break;
        }
        plantFailed = true;
        auto now = ReadCatalogueMark(*conn, Deadline());
        if (!now) return std::unexpected(Problem(now.error()));
        plantFailed = false;
        if (now->digest == mark->digest) {
            if (auto swapped = SwapInCatalogueStaging(local, file_, JournalTime(std::chrono::system_clock::now()));
                !swapped)
                return std::unexpected(swapped.error());
            if (now->version != mark->version)
                if (auto marked = MarkCatalogueCopy(local, file_, now->version); !marked)
                    return std::unexpected(marked.error());
            return true;
        }
        mark = std::move(now);
    }
    return false;
}

std::expected<void, PgError> PlantStation::Send(PgConnection& db, const std::string& stationId,
                                                const std::vector<JournalEntry>& jobs) {
    bool claimed = false;
    {
        const std::lock_guard lock(mutex_);
        claimed = claimedId_ == stationId;
    }
    if (!claimed) {
        auto holder = ClaimStationId(db, stationId, here_, Deadline());
        if (!holder) return std::unexpected(holder.error());
        if (*holder)
            return std::unexpected(PgError{
                "this station's id " + stationId + " was first used by the station on the host " + (*holder)->host +
                    ", plant folder " + (*holder)->folder + ", since " + (*holder)->since +
                    ": this data.mdb is a copy of that one's (an imaged PC, or a backup restored on another), "
                    "and the plant would take the two stations' rows for one's",
                std::string(kIdClash)});
        const std::lock_guard lock(mutex_);
        claimedId_ = stationId;
    }
    return ForwardJobs(db, stationId, station_, jobs, Deadline());
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
            auto forwarded = Send(db, *stationId, backlog->jobs);
            if (!forwarded) {
                // A slow link after a long outage: smaller batches, each within the bound.
                if (forwarded.error().lost) batch_ = std::max(1, batch_ / 2);
                plantFailed = true;
                // The rows stay queued: only what the plant kept leaves the queue.
                Failed(forwarded.error(), local, &db);
                return std::unexpected(Problem(forwarded.error()));
            }
            batch_ = std::min(kForwardBatch, batch_ * 2);
        }
        // Killed here, the rows go again and the plant keeps one of each.
        if (auto forgotten = ForgetForwarded(local, file_, backlog->upTo); !forgotten)
            return std::unexpected(forgotten.error());
        sent += static_cast<std::int64_t>(backlog->jobs.size());
    }
    Refused("", false);
    return sent;
}

bool PlantStation::SendNow(const JournalEntry& job, sqlite3* local) {
    // A command that has not asked the plant yet (a reprint) leaves its row to the catch-up.
    if (!answering() || !lookup_ || !lookup_->open()) return false;
    const auto id = StationId(local, file_);
    if (!id) return false;
    auto sent = Send(*lookup_, *id, {job});
    if (!sent) Failed(sent.error(), local, &*lookup_);
    return sent.has_value();
}

std::expected<std::int64_t, Failure> PlantStation::CatchUp(sqlite3* local, std::chrono::milliseconds copyFor) {
    // The label's lookup opened the connection already; otherwise one question tells
    // whether the plant answers at all.
    if (!lookup_ || !lookup_->open()) {
        const auto deadline = Deadline();
        const auto asked = Ask(lookup_, deadline, [&](PgConnection& c) { return LookupPlantStyle(c, "", deadline); });
        if (!asked) {
            MarkDown(asked.error(), local);
            return std::unexpected(Problem(asked.error()));
        }
        MarkUp();
    }
    // Rows first: they go on whether or not the copy can be taken now.
    bool plantFailed = false;
    auto sent = Forward(*lookup_, local, plantFailed);
    if (!sent && plantFailed && !answering()) return sent;
    bool copyFailed = false;
    const auto copied = TakeCopy(lookup_, local, PgClock::now() + copyFor, copyFailed);
    // A copy that cannot be written now is taken again next time; a slow link goes on from
    // its last page.
    if (!copied && !copyFailed && notice_) notice_(copied.error());
    return sent;
}

void PlantStation::Run() {
    std::optional<PgConnection> db;
    sqlite3* local = nullptr;
    std::optional<FileIdentity> localIdentity;
    std::chrono::milliseconds lookAgain{0};  // unasked, when to try again; 0: not until asked
    std::optional<PgClock::time_point> compared;
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
            const auto deadline = Deadline();
            const auto asked = Ask(db, deadline, [&](PgConnection& c) { return LookupPlantStyle(c, "", deadline); });
            if (!asked) {
                MarkDown(asked.error(), local);
            } else {
                MarkUp();
                bool plantFailed = false;
                const auto forwarded = Forward(*db, local, plantFailed);
                // Rows held back by data.mdb itself (another program's lock) are tried
                // again soon; a plant that refused them, at the next retry.
                if (forwarded) lookAgain = kCompareEvery;
                else if (!plantFailed) lookAgain = std::chrono::seconds(1);
                const auto copy = CopyOfCatalogue(local);
                const bool due = newer || !compared || PgClock::now() - *compared >= kCompareEvery ||
                                 !copy || copy->version != asked->version || StagingOfCatalogue(local);
                if (due && db && db->open()) {
                    bool copyFailed = false;
                    const auto copied = TakeCopy(db, local, PgClock::now() + timeout_, copyFailed);
                    // A copy half taken goes on soon, a budget at a time between the rows; one
                    // the plant or data.mdb would not give is tried at the next retry.
                    if (copied && *copied) compared = PgClock::now();
                    else if (copied) lookAgain = std::min(lookAgain, std::chrono::milliseconds(100));
                    else lookAgain = std::min<std::chrono::milliseconds>(lookAgain, copyFailed ? kRetry : 1s);
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

std::expected<std::size_t, Failure> PlantStation::AddWaitingJobs(const JournalQuery& query,
                                                                  std::vector<JournalEntry>& jobs) const {
    auto opened = OpenExistingDatabase(file_, true);
    if (!opened) return std::unexpected(opened.error());
    const tarnwick::Connection db(*opened);
    const auto waiting = WaitingJobIds(db.get(), file_);
    if (!waiting) return std::unexpected(waiting.error());
    if (waiting->empty()) return 0;
    if (!query.station.empty() && AsciiLower(query.station) != AsciiLower(station_)) return 0;
    auto own = ReadJournal(file_, query);
    if (!own) return std::unexpected(own.error());
    std::erase_if(*own, [&](const JournalEntry& job) {
        return std::find(waiting->begin(), waiting->end(), job.id) == waiting->end();
    });
    if (own->empty()) return 0;
    // Only a station with an id has sent rows; a read-only file never makes one.
    const auto id = HasTable(db.get(), "PlantLink") ? StationId(db.get(), file_)
                                                     : std::expected<std::string, Failure>(std::string());
    // The plant may list a waiting row already, with an older outcome.
    std::erase_if(jobs, [&](const JournalEntry& job) {
        return id && !id->empty() && job.stationId == *id &&
               std::any_of(own->begin(), own->end(),
                           [&](const JournalEntry& mine) { return mine.id == job.id && mine.time == job.time; });
    });
    for (JournalEntry& job : *own) {
        job.station = station_;
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
