#include "store/journal_rows.h"

#include <sqlite3.h>

#include <mutex>
#include <utility>

#include "store/journal_queries.h"
#include "store/journal_table.h"
#include "store/request_keys.h"
#include "store/station_name.h"

namespace tarnwick {
namespace {

// The row written ahead of a label holds the label back while it waits for another
// station's lock; another Tarnwick holds data.mdb for a commit of a few milliseconds.
constexpr int kJournalAheadMs = 1000;
constexpr const char* kReplacedMeanwhile =
    "data.mdb was replaced while a label was being sent, so that label's row is not in the file now in place";

}  // namespace

PrintJournal::PrintJournal(std::filesystem::path databaseFile, JournalNotice notice, bool forward)
    : file_(std::move(databaseFile)), notice_(std::move(notice)), forward_(forward) {}

PrintJournal::PrintJournal(std::filesystem::path databaseFile, sqlite3* borrowed, JournalNotice notice, bool forward,
                           SendOn sendOn)
    : file_(std::move(databaseFile)),
      db_(borrowed),
      owned_(false),
      notice_(std::move(notice)),
      forward_(forward),
      sendOn_(std::move(sendOn)) {}

PrintJournal::~PrintJournal() {
    FlushOutcome();
    if (owned_) sqlite3_close_v2(db_);
}

Failure PrintJournal::NotKept(std::string_view cause, std::string_view remedy) const {
    // A start-up message is a whole sentence already.
    if (cause.ends_with('.')) cause.remove_suffix(1);
    std::string text = "The print journal in " + Quoted(file_) + " is not being kept: " + std::string(cause) +
                       ". Labels still print, but they are not recorded for History and Reprint until data.mdb "
                       "can be written again.";
    if (!remedy.empty()) text += " " + std::string(remedy) + ".";
    return Failure{std::move(text), "Tarnwick", MessageIcon::Information};
}

std::expected<sqlite3*, Failure> PrintJournal::Connect() {
    if (!owned_) return db_;
    auto followed = FollowReplacedDatabase(db_, file_, false, identity_);
    if (!followed) return std::unexpected(NotKept(followed.error().text, ""));
    // The file now in place may be an older one, without the newer columns.
    if (*followed) columnsChecked_ = false;
    return db_;
}

std::expected<std::int64_t, Failure> PrintJournal::Record(JournalEntry entry) {
    if (entry.time.empty()) entry.time = JournalTime(std::chrono::system_clock::now());
    entry.station = StationName(entry.station);
    if (entry.stream) entry.byteCount = static_cast<std::int64_t>(entry.stream->size());

    auto db = Connect();
    if (!db) return std::unexpected(db.error());
    const JournalWait wait(*db, kJournalAheadMs);
    const auto fail = [this, &db] {
        const DatabaseProblem problem = DiagnoseDatabase(file_, *db);
        return std::unexpected(NotKept(problem.cause, problem.remedy));
    };
    Transaction transaction(*db);
    if (!transaction.ok()) return fail();
    if (!HasJournal(*db) && !CreateJournal(*db)) return fail();
    if (!columnsChecked_) {
        if (!AddMissingColumns(*db)) return fail();
        if (forward_ && !CreateOutbox(*db)) return fail();
    }
    if (!InsertEntry(*db, entry)) return fail();
    const std::int64_t id = sqlite3_last_insert_rowid(*db);
    if (!entry.requestKey.empty() && !KeepRequestKey(*db, entry.requestKey, entry.requestDigest, id, entry.time))
        return fail();
    if (forward_ && !QueueForPlant(*db, id)) return fail();
    if (!transaction.Commit()) return fail();
    columnsChecked_ = true;
    return id;
}

bool PrintJournal::Deliver(sqlite3* db, std::int64_t id, std::string_view outcome, std::string_view message) {
    // Only when no older row waits: the plant gets the rows in order, and nobody waits on
    // data.mdb for the network.
    if (!forward_ || !sendOn_ || OthersQueued(db, id)) return false;
    auto row = RowWithStream(db, id);
    if (!row) return false;
    row->outcome = outcome;
    row->message = message;
    return sendOn_(*row);
}

std::expected<void, Failure> PrintJournal::WriteOutcome(sqlite3* db, std::int64_t id, std::string_view outcome,
                                                        std::string_view message, bool delivered) {
    // The outcome and its place in the plant's queue go together or not at all.
    std::optional<Transaction> transaction;
    if (forward_) transaction.emplace(db);
    Statement update(db, "UPDATE PrintJournal SET Outcome = ?2, Message = ?3 WHERE ID = ?1");
    if (update.ok() && (!transaction || transaction->ok())) {
        sqlite3_bind_int64(update.get(), 1, id);
        BindText(update.get(), 2, outcome);
        BindText(update.get(), 3, message);
        if (sqlite3_step(update.get()) == SQLITE_DONE) {
            if (sqlite3_changes(db) != 1) return std::unexpected(NotKept(kReplacedMeanwhile, ""));
            const bool queued =
                !transaction || (delivered ? Unqueue(db, id) : CreateOutbox(db) && QueueForPlant(db, id));
            if (queued && (!transaction || transaction->Commit())) return {};
        }
    }
    const DatabaseProblem problem = DiagnoseDatabase(file_, db);
    return std::unexpected(NotKept(problem.cause, problem.remedy));
}

std::expected<void, Failure> PrintJournal::Finish(std::int64_t id, std::string_view outcome, std::string_view message) {
    auto db = Connect();
    if (!db) return std::unexpected(db.error());
    const JournalWait wait(*db, kJournalAfterMs);
    const bool delivered = Deliver(*db, id, outcome, message);
    return WriteOutcome(*db, id, outcome, message, delivered);
}

std::expected<void, Failure> PrintJournal::Together(const std::function<void()>& work) {
    auto db = Connect();
    if (!db) {
        work();
        return {};
    }
    const JournalWait wait(*db, kJournalAheadMs);
    Transaction transaction(*db);
    if (!transaction.ok()) {
        work();
        return {};
    }
    work();
    if (transaction.Commit()) return {};
    const DatabaseProblem problem = DiagnoseDatabase(file_, *db);
    return Told(std::expected<void, Failure>(std::unexpected(NotKept(problem.cause, problem.remedy))));
}

template <class T>
T PrintJournal::Told(T result) {
    // Each outage is told once, and so is its end.
    if (down_ == !result.has_value()) return result;
    down_ = !result.has_value();
    if (!notice_) return result;
    if (!result) notice_(result.error());
    else
        notice_(Failure{"The print journal in " + Quoted(file_) +
                            " is being kept again: labels are recorded for History and Reprint.",
                        "Tarnwick", MessageIcon::Information, false, true});
    return result;
}

std::expected<std::int64_t, Failure> PrintJournal::Begin(JournalEntry entry) {
    const bool ahead = entry.outcome.empty();
    if (ahead) entry.outcome = kSending;
    std::expected<std::int64_t, Failure> id = std::unexpected(Failure{});
    std::optional<Outcome> last = std::exchange(waiting_, std::nullopt);
    if (last && !StillInPlace(last->id)) last.reset();
    auto db = last ? Connect() : std::expected<sqlite3*, Failure>(nullptr);
    if (last && db) {
        // The last label's outcome and this label's row: one commit, the outcome first.
        const bool delivered = Deliver(*db, last->id, last->outcome, last->message);
        std::expected<void, Failure> finished;
        const auto committed = Together([&] {
            finished = WriteOutcome(*db, last->id, last->outcome, last->message, delivered);
            id = Record(std::move(entry));
        });
        if (!committed && id) id = std::unexpected(committed.error());
        // The row is in, so its label goes; the last label's outcome that did not go in is told.
        if (!finished && id) (void)Told(std::expected<void, Failure>(std::unexpected(finished.error())));
        id = Told(std::move(id));
    } else {
        if (last) (void)Told(Finish(last->id, last->outcome, last->message));
        id = Told(Record(std::move(entry)));
    }
    waitingHeld_.reset();
    if (id && ahead && identity_) begunIn_[*id] = *identity_;
    return id;
}

bool PrintJournal::StillInPlace(std::int64_t id) {
    // A row begun in a data.mdb since replaced must not give its outcome to another job.
    const auto begun = begunIn_.find(id);
    const bool moved = begun != begunIn_.end() && IdentityOf(file_) != begun->second;
    if (begun != begunIn_.end()) begunIn_.erase(begun);
    if (moved) (void)Told(std::expected<void, Failure>(std::unexpected(NotKept(kReplacedMeanwhile, ""))));
    return !moved;
}

void PrintJournal::Complete(std::int64_t id, std::string outcome, std::string message) {
    if (shareOutcomes_ && !StopRequested()) {
        FlushOutcome();
        if (!waitingHeld_) waitingHeld_.emplace();
        waiting_ = Outcome{id, std::move(outcome), std::move(message)};
        return;
    }
    if (StillInPlace(id)) (void)Told(Finish(id, outcome, message));
}

void PrintJournal::FlushOutcome() {
    if (auto last = std::exchange(waiting_, std::nullopt))
        if (StillInPlace(last->id)) (void)Told(Finish(last->id, last->outcome, last->message));
    // Last: a stop that waited for this label takes effect here, its row written.
    waitingHeld_.reset();
}

}  // namespace tarnwick
