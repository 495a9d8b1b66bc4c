#include "plantdb/plant_forwarder.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

#include "plantdb/plant_database.h"
#include "store/plant_copy.h"
#include "store/print_journal.h"
#include "store/sqlite_file.h"

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

PlantForwarder::PlantForwarder(StationLookup& lookup, bool background) : lookup_(lookup), background_(background) {
    if (background_) thread_ = std::thread([this] { Run(); });
}

PlantForwarder::~PlantForwarder() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void PlantForwarder::Failed(const PgError& error, sqlite3* local, PgConnection* db) {
    if (error.lost) {
        lookup_.MarkDown(error, local);
    } else if (error.sqlstate == kIdClash) {
        lookup_.Refused(
            error.message +
                ". Labels still print, and their rows wait in data.mdb: none is lost. Run tarnwick-cli plant "
                "new-id on this station (in " +
                lookup_.here().folder + ") to give it an id of its own; its waiting rows are then sent on",
            true);
    } else {
        const std::string needs = error.Denied() && db != nullptr && db->open()
                                      ? JobRightsProblem(*db, lookup_.Deadline())
                                      : std::string(kJobsNeedOperator);
        lookup_.Refused(PlantProblem(error, needs) +
                            ". Labels still print; their rows wait in data.mdb and are sent on once it takes them",
                        true);
    }
}

void PlantForwarder::CatalogueAnswered(sqlite3* local, std::int64_t version) {
    // No label waits for the copy: the window's thread takes it, a command after its labels.
    if (!background_) return;
    const auto copy = CopyOfCatalogue(local);
    if (copy && copy->version == version) return;
    {
        const std::lock_guard lock(mutex_);
        newerCatalogue_ = version;
        woken_ = true;
    }
    wake_.notify_one();
}

void PlantForwarder::RowsWritten() {
    if (!background_) return;
    {
        const std::lock_guard lock(mutex_);
        woken_ = true;
    }
    wake_.notify_one();
}

int PlantForwarder::Batch() const {
    const std::lock_guard lock(mutex_);
    return batch_;
}

void PlantForwarder::SetBatch(int batch) {
    const std::lock_guard lock(mutex_);
    batch_ = batch;
}

bool PlantForwarder::stopping() const {
    const std::lock_guard lock(mutex_);
    return stop_;
}

std::expected<bool, Failure> PlantForwarder::TakeCopy(std::optional<PgConnection>& conn, sqlite3* local,
                                                      PgClock::time_point budget, bool& plantFailed) {
    plantFailed = true;
    if (!conn || !conn->open()) return false;
    auto mark = ReadCatalogueMark(*conn, lookup_.Deadline());
    if (!mark) return std::unexpected(lookup_.Problem(mark.error()));
    // Each round begins from the plant's content as it stands; a catalogue changed while
    // its pages were read is read again. Bounded by the budget, and by rounds besides.
    for (int round = 0; round < 4; ++round) {
        const auto copy = CopyOfCatalogue(local);
        plantFailed = false;
        if (copy && copy->digest == mark->digest) {
            if (copy->version == mark->version) return true;
            if (auto marked = MarkCatalogueCopy(local, lookup_.databaseFile(), mark->version); !marked)
                return std::unexpected(marked.error());
            return true;
        }
        auto staging = StagingOfCatalogue(local);
        if (!staging || staging->digest != mark->digest || staging->version != mark->version) {
            if (auto started = StartCatalogueStaging(local, lookup_.databaseFile(), mark->version, mark->digest);
                !started)
                return std::unexpected(started.error());
            staging = CatalogueStaging{mark->version, mark->digest, "", 0};
        }
        std::string after = staging->after;
        for (;;) {
            if (PgClock::now() >= budget || stopping()) return false;
            plantFailed = true;
            auto page = ReadCataloguePage(*conn, after, kCopyPage, lookup_.Deadline());
            if (!page) return std::unexpected(lookup_.Problem(page.error()));
            plantFailed = false;
            std::vector<std::pair<std::string, StyleRow>> rows;
            rows.reserve(page->size());
            for (CatalogueRow& row : *page) rows.emplace_back(std::move(row.key), std::move(row.row));
            if (!rows.empty()) after = rows.back().first;
            if (auto staged = StageCataloguePage(local, lookup_.databaseFile(), rows, after); !staged)
                return std::unexpected(staged.error());
            if (rows.size() < static_cast<std::size_t>(kCopyPage)) break;
        }
        plantFailed = true;
        auto now = ReadCatalogueMark(*conn, lookup_.Deadline());
        if (!now) return std::unexpected(lookup_.Problem(now.error()));
        plantFailed = false;
        if (now->digest == mark->digest) {
            if (auto swapped = SwapInCatalogueStaging(local, lookup_.databaseFile(),
                                                      JournalTime(std::chrono::system_clock::now()));
                !swapped)
                return std::unexpected(swapped.error());
            if (now->version != mark->version)
                if (auto marked = MarkCatalogueCopy(local, lookup_.databaseFile(), now->version); !marked)
                    return std::unexpected(marked.error());
            return true;
        }
        mark = std::move(now);
    }
    return false;
}

std::expected<void, PgError> PlantForwarder::Send(PgConnection& db, const std::string& stationId,
                                                  const std::vector<JournalEntry>& jobs) {
    bool claimed = false;
    {
        const std::lock_guard lock(mutex_);
        claimed = claimedId_ == stationId;
    }
    if (!claimed) {
        auto holder = ClaimStationId(db, stationId, lookup_.here(), lookup_.Deadline());
        if (!holder) return std::unexpected(holder.error());
        if (*holder)
            return std::unexpected(
                PgError{"this station's id " + stationId + " was first used by the station on the host " +
                            (*holder)->host + ", plant folder " + (*holder)->folder + ", since " + (*holder)->since +
                            ": this data.mdb is a copy of that one's (an imaged PC, or a backup restored on another), "
                            "and the plant would take the two stations' rows for one's",
                        std::string(kIdClash)});
        const std::lock_guard lock(mutex_);
        claimedId_ = stationId;
    }
    return ForwardJobs(db, stationId, lookup_.station(), jobs, lookup_.Deadline());
}

std::expected<std::int64_t, Failure> PlantForwarder::Forward(PgConnection& db, sqlite3* local, bool& plantFailed) {
    plantFailed = false;
    std::int64_t sent = 0;
    std::optional<std::string> stationId;
    while (!stopping()) {
        auto backlog = PlantBacklogOf(local, lookup_.databaseFile(), Batch());
        if (!backlog) return std::unexpected(backlog.error());
        if (backlog->upTo == 0) break;
        if (!backlog->jobs.empty()) {
            if (!stationId) {
                auto id = StationId(local, lookup_.databaseFile());
                if (!id) return std::unexpected(id.error());
                stationId = *id;
            }
            auto forwarded = Send(db, *stationId, backlog->jobs);
            if (!forwarded) {
                // A slow link after a long outage: smaller batches, each within the bound.
                if (forwarded.error().lost) SetBatch(std::max(1, Batch() / 2));
                plantFailed = true;
                // The rows stay queued: only what the plant kept leaves the queue.
                Failed(forwarded.error(), local, &db);
                return std::unexpected(lookup_.Problem(forwarded.error()));
            }
            SetBatch(std::min(kForwardBatch, Batch() * 2));
        }
        // Killed here, the rows go again and the plant keeps one of each.
        if (auto forgotten = ForgetForwarded(local, lookup_.databaseFile(), backlog->upTo); !forgotten)
            return std::unexpected(forgotten.error());
        sent += static_cast<std::int64_t>(backlog->jobs.size());
    }
    lookup_.Refused("", false);
    return sent;
}

bool PlantForwarder::SendNow(const JournalEntry& job, sqlite3* local) {
    return lookup_.WithConnection([&](std::optional<PgConnection>& conn) {
        // A command that has not asked the plant yet (a reprint) leaves its row to the catch-up.
        if (!lookup_.answering() || !conn || !conn->open()) return false;
        const auto id = StationId(local, lookup_.databaseFile());
        if (!id) return false;
        auto sent = Send(*conn, *id, {job});
        if (!sent) Failed(sent.error(), local, &*conn);
        return sent.has_value();
    });
}

std::expected<std::int64_t, Failure> PlantForwarder::CatchUp(sqlite3* local, std::chrono::milliseconds copyFor) {
    return lookup_.WithConnection([&](std::optional<PgConnection>& conn) -> std::expected<std::int64_t, Failure> {
        // The label's lookup opened the connection already; otherwise one question tells
        // whether the plant answers at all.
        if (!conn || !conn->open()) {
            const auto deadline = lookup_.Deadline();
            const auto asked =
                lookup_.Ask(conn, deadline, [&](PgConnection& c) { return LookupPlantStyle(c, "", deadline); });
            if (!asked) {
                lookup_.MarkDown(asked.error(), local);
                return std::unexpected(lookup_.Problem(asked.error()));
            }
            lookup_.MarkUp();
        }
        // Rows first: they go on whether or not the copy can be taken now.
        bool plantFailed = false;
        auto sent = Forward(*conn, local, plantFailed);
        if (!sent && plantFailed && !lookup_.answering()) return sent;
        bool copyFailed = false;
        const auto copied = TakeCopy(conn, local, PgClock::now() + copyFor, copyFailed);
        // A copy that cannot be written now is taken again next time; a slow link goes on from
        // its last page.
        if (!copied && !copyFailed && lookup_.notice()) lookup_.notice()(copied.error());
        return sent;
    });
}

void PlantForwarder::Run() {
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
        if (!FollowReplacedDatabase(local, lookup_.databaseFile(), false, localIdentity) && local != nullptr) {
            // The file in place cannot be opened: the old one is no longer the station's.
            sqlite3_close_v2(local);
            local = nullptr;
        }
        if (local != nullptr) {
            const auto deadline = lookup_.Deadline();
            const auto asked =
                lookup_.Ask(db, deadline, [&](PgConnection& c) { return LookupPlantStyle(c, "", deadline); });
            if (!asked) {
                lookup_.MarkDown(asked.error(), local);
            } else {
                lookup_.MarkUp();
                bool plantFailed = false;
                const auto forwarded = Forward(*db, local, plantFailed);
                // Rows held back by data.mdb itself (another program's lock) are tried
                // again soon; a plant that refused them, at the next retry.
                if (forwarded) lookAgain = kCompareEvery;
                else if (!plantFailed) lookAgain = std::chrono::seconds(1);
                const auto copy = CopyOfCatalogue(local);
                const bool due = newer || !compared || PgClock::now() - *compared >= kCompareEvery || !copy ||
                                 copy->version != asked->version || StagingOfCatalogue(local);
                if (due && db && db->open()) {
                    bool copyFailed = false;
                    const auto copied = TakeCopy(db, local, PgClock::now() + lookup_.timeout(), copyFailed);
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

}  // namespace tarnwick
