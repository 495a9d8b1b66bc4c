#include "store/print_journal.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

// The row written ahead of a label holds the label back while it waits for another
// station's lock; another Tarnwick holds data.mdb for a commit of a few milliseconds.
constexpr int kJournalAheadMs = 1000;
// The outcome comes after the label has gone, so it may wait longer.
constexpr int kJournalAfterMs = 2000;
constexpr const char* kReplacedMeanwhile =
    "data.mdb was replaced while a label was being sent, so that label's row is not in the file now in place";
// Pruning between labels gives way at once to anyone else who holds data.mdb.
constexpr int kPruneBetweenMs = 20;
// Pruning stops a batch that took this long from growing, so that no label waits for it
// much longer.
constexpr auto kPruneBatchTime = std::chrono::milliseconds(10);

// The busy wait of a connection the journal shares, for as long as it uses it.
class JournalWait {
public:
    JournalWait(sqlite3* db, int ms) : db_(db) { SetBusyWait(db_, ms); }
    ~JournalWait() { SetBusyWait(db_, kDatabaseBusyMs); }
    JournalWait(const JournalWait&) = delete;
    JournalWait& operator=(const JournalWait&) = delete;

private:
    sqlite3* db_;
};

// Whether each data.mdb's journal is being kept, for the whole process: an outage is told
// once, by whichever journal meets it first, and so is its end.
class JournalHealth {
public:
    // Whether this changes what the operator was last told.
    bool Changed(const std::filesystem::path& file, bool kept) {
        const std::lock_guard lock(mutex_);
        auto [at, added] = down_.try_emplace(file, false);
        if (at->second == !kept) return false;
        at->second = !kept;
        return true;
    }

private:
    std::mutex mutex_;
    std::map<std::filesystem::path, bool> down_;
};

JournalHealth& Health() {
    static JournalHealth health;
    return health;
}

// The stream comes last, so listing the other columns never reads its pages.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS PrintJournal (ID INTEGER PRIMARY KEY AUTOINCREMENT, Time TEXT NOT NULL,"
    " Station TEXT, Source TEXT, Layout TEXT, WIP TEXT, Style TEXT, Quantity TEXT, CutSheet TEXT,"
    " CutRow INTEGER, Route TEXT, Printer TEXT, Outcome TEXT, Message TEXT, ByteCount INTEGER,"
    " ReprintOf INTEGER, Stream BLOB, ReprintOfStation TEXT);"
    "CREATE INDEX IF NOT EXISTS PrintJournalByTime ON PrintJournal (Time);"
    "CREATE INDEX IF NOT EXISTS PrintJournalByWIP ON PrintJournal (WIP COLLATE NOCASE);"
    "CREATE INDEX IF NOT EXISTS PrintJournalByStyle ON PrintJournal (Style COLLATE NOCASE);";

constexpr const char* kColumns =
    "ID, Time, Station, Source, Layout, WIP, Style, Quantity, CutSheet, CutRow, Route, Printer, Outcome, Message,"
    " ByteCount, ReprintOf, ReprintOfStation";
// A journal made before reprints of other stations' jobs lacks the last column.
constexpr const char* kOldColumns =
    "ID, Time, Station, Source, Layout, WIP, Style, Quantity, CutSheet, CutRow, Route, Printer, Outcome, Message,"
    " ByteCount, ReprintOf, NULL";
constexpr int kStreamColumn = 17;

// Changes of rows not yet in the plant database, oldest first.
constexpr const char* kOutboxSchema =
    "CREATE TABLE IF NOT EXISTS PlantOutbox (Seq INTEGER PRIMARY KEY AUTOINCREMENT, JobID INTEGER NOT NULL)";

bool HasColumn(sqlite3* db, const char* table, const char* column) {
    Statement probe(db, std::string("SELECT ") + column + " FROM " + table + " LIMIT 0");
    return probe.ok();
}

std::string Columns(sqlite3* db) {
    return HasColumn(db, "PrintJournal", "ReprintOfStation") ? kColumns : kOldColumns;
}

// Whether rows other than `id` wait to go to the plant.
bool OthersQueued(sqlite3* db, std::int64_t id) {
    if (!HasTable(db, "PlantOutbox")) return false;
    Statement query(db, "SELECT 1 FROM PlantOutbox WHERE JobID <> ?1 LIMIT 1");
    if (!query.ok()) return true;
    sqlite3_bind_int64(query.get(), 1, id);
    return sqlite3_step(query.get()) != SQLITE_DONE;
}

bool Unqueue(sqlite3* db, std::int64_t id) {
    Statement remove(db, "DELETE FROM PlantOutbox WHERE JobID = ?1");
    if (!remove.ok()) return false;
    sqlite3_bind_int64(remove.get(), 1, id);
    return sqlite3_step(remove.get()) == SQLITE_DONE;
}

bool QueueForPlant(sqlite3* db, std::int64_t id) {
    Statement insert(db, "INSERT INTO PlantOutbox (JobID) VALUES (?1)");
    if (!insert.ok()) return false;
    sqlite3_bind_int64(insert.get(), 1, id);
    return sqlite3_step(insert.get()) == SQLITE_DONE;
}

bool HasJournal(sqlite3* db) { return HasTable(db, "PrintJournal"); }

std::string Station() {
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return {};
    return name.data();
}

Failure ReadFailure(const std::filesystem::path& file, sqlite3* db) {
    return Failure{"The print journal in " + Quoted(file) + " could not be read: " + sqlite3_errmsg(db) + "."};
}

// Texts come back exactly as they were written, whatever their bytes.
std::string RawText(sqlite3_stmt* row, int column) {
    const auto* text = static_cast<const char*>(sqlite3_column_blob(row, column));
    if (text == nullptr) return {};
    return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
}

JournalEntry EntryFromRow(sqlite3_stmt* row) {
    JournalEntry e;
    e.id = sqlite3_column_int64(row, 0);
    e.time = RawText(row, 1);
    e.station = RawText(row, 2);
    e.source = RawText(row, 3);
    e.layout = RawText(row, 4);
    e.wip = RawText(row, 5);
    e.style = RawText(row, 6);
    e.quantity = RawText(row, 7);
    e.cutSheet = RawText(row, 8);
    if (sqlite3_column_type(row, 9) != SQLITE_NULL) e.cutRow = sqlite3_column_int(row, 9);
    e.route = RawText(row, 10);
    e.printer = RawText(row, 11);
    e.outcome = RawText(row, 12);
    e.message = RawText(row, 13);
    e.byteCount = sqlite3_column_int64(row, 14);
    if (sqlite3_column_type(row, 15) != SQLITE_NULL) e.reprintOf = sqlite3_column_int64(row, 15);
    e.reprintOfStation = RawText(row, 16);
    return e;
}

JournalEntry EntryWithStream(sqlite3_stmt* row) {
    JournalEntry job = EntryFromRow(row);
    if (sqlite3_column_type(row, kStreamColumn) != SQLITE_NULL) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(row, kStreamColumn));
        job.stream = std::string(bytes != nullptr ? bytes : "",
                                 static_cast<std::size_t>(sqlite3_column_bytes(row, kStreamColumn)));
    }
    return job;
}

std::optional<JournalEntry> RowWithStream(sqlite3* db, std::int64_t id) {
    Statement select(db, "SELECT " + Columns(db) + ", Stream FROM PrintJournal WHERE ID = ?1");
    if (!select.ok()) return std::nullopt;
    sqlite3_bind_int64(select.get(), 1, id);
    if (sqlite3_step(select.get()) != SQLITE_ROW) return std::nullopt;
    return EntryWithStream(select.get());
}

// A read-only connection, or nullopt (no failure) when data.mdb has no journal yet.
std::expected<std::optional<sqlite3*>, Failure> OpenForReading(const std::filesystem::path& file) {
    auto opened = OpenExistingDatabase(file, true);
    if (!opened) return std::unexpected(opened.error());
    if (!HasJournal(*opened)) {
        sqlite3_close_v2(*opened);
        return std::optional<sqlite3*>();
    }
    return std::optional<sqlite3*>(*opened);
}

// The beginning of a text as the upper end of a range: every text that starts with
// `prefix` sorts below it, since no UTF-8 byte is 0xFF.
std::string PrefixEnd(std::string prefix) { return prefix + '\xFF'; }

}  // namespace

std::string JournalTime(std::chrono::system_clock::time_point when) {
    const auto millis = std::chrono::floor<std::chrono::milliseconds>(when);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(millis);
    const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>((millis - seconds).count()));
    return text;
}

std::string LocalJournalTime(const std::string& journalTime) {
    std::tm utc{};
    const char* end = ::strptime(journalTime.c_str(), "%Y-%m-%dT%H:%M:%S", &utc);
    if (end == nullptr) return journalTime;
    const std::time_t t = ::timegm(&utc);
    std::tm local{};
    if (t == static_cast<std::time_t>(-1) || ::localtime_r(&t, &local) == nullptr) return journalTime;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

ShownOutcome ShowOutcome(const JournalEntry& job) {
    if (job.outcome == kSending) return {"may have printed", "Tarnwick stopped while sending"};
    if (job.outcome == "unconfirmed") return {"may have printed", job.message};
    return {job.outcome, job.message};
}

PrintJournal::PrintJournal(std::filesystem::path databaseFile, JournalNotice notice, bool forward)
    : file_(std::move(databaseFile)), notice_(std::move(notice)), forward_(forward) {}

PrintJournal::PrintJournal(std::filesystem::path databaseFile, sqlite3* borrowed, JournalNotice notice,
                           bool forward, SendOn sendOn)
    : file_(std::move(databaseFile)),
      db_(borrowed),
      owned_(false),
      notice_(std::move(notice)),
      forward_(forward),
      sendOn_(std::move(sendOn)) {}

PrintJournal::~PrintJournal() {
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
    // A data.mdb restored or copied in meanwhile is a new file: write to it, not the old one.
    if (owned_ && db_ != nullptr && IdentityOf(file_) != identity_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        // The file now in place may be an older one, without the newer columns.
        columnsChecked_ = false;
    }
    if (db_ != nullptr) return db_;
    auto opened = OpenIdentifiedDatabase(file_, false, identity_);
    if (!opened) return std::unexpected(NotKept(opened.error().text, ""));
    db_ = *opened;
    return db_;
}

std::expected<std::int64_t, Failure> PrintJournal::Record(JournalEntry entry) {
    if (entry.time.empty()) entry.time = JournalTime(std::chrono::system_clock::now());
    if (entry.station.empty()) entry.station = Station();
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
    if (!HasJournal(*db) && !Exec(*db, kSchema)) return fail();
    if (!columnsChecked_) {
        if (!HasColumn(*db, "PrintJournal", "ReprintOfStation") &&
            !Exec(*db, "ALTER TABLE PrintJournal ADD COLUMN ReprintOfStation TEXT"))
            return fail();
        if (forward_ && !Exec(*db, kOutboxSchema)) return fail();
    }
    {
        Statement insert(*db,
                         "INSERT INTO PrintJournal (Time, Station, Source, Layout, WIP, Style, Quantity, CutSheet,"
                         " CutRow, Route, Printer, Outcome, Message, ByteCount, ReprintOf, Stream, ReprintOfStation)"
                         " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)");
        if (!insert.ok()) return fail();
        sqlite3_stmt* s = insert.get();
        const std::string* texts[] = {&entry.time,  &entry.station, &entry.source,   &entry.layout,
                                      &entry.wip,   &entry.style,   &entry.quantity, &entry.cutSheet,
                                      nullptr,      &entry.route,   &entry.printer,  &entry.outcome,
                                      &entry.message};
        for (int i = 0; i < 13; ++i)
            if (texts[i] != nullptr) BindText(s, i + 1, *texts[i]);
        if (entry.cutRow) sqlite3_bind_int(s, 9, *entry.cutRow);
        sqlite3_bind_int64(s, 14, entry.byteCount);
        if (entry.reprintOf) sqlite3_bind_int64(s, 15, *entry.reprintOf);
        if (entry.stream)
            sqlite3_bind_blob64(s, 16, entry.stream->data(), entry.stream->size(), SQLITE_STATIC);
        if (!entry.reprintOfStation.empty()) BindText(s, 17, entry.reprintOfStation);
        if (sqlite3_step(s) != SQLITE_DONE) return fail();
    }
    const std::int64_t id = sqlite3_last_insert_rowid(*db);
    if (forward_ && !QueueForPlant(*db, id)) return fail();
    if (!transaction.Commit()) return fail();
    columnsChecked_ = true;
    return id;
}

std::expected<void, Failure> PrintJournal::Finish(std::int64_t id, std::string_view outcome,
                                                  std::string_view message) {
    auto db = Connect();
    if (!db) return std::unexpected(db.error());
    const JournalWait wait(*db, kJournalAfterMs);
    // Sent on before data.mdb is locked, and only when no older row waits: the plant gets
    // the rows in order, and nobody waits on data.mdb for the network.
    bool delivered = false;
    if (forward_ && sendOn_ && !OthersQueued(*db, id)) {
        if (auto row = RowWithStream(*db, id)) {
            row->outcome = outcome;
            row->message = message;
            delivered = sendOn_(*row);
        }
    }
    // The outcome and its place in the plant's queue go together or not at all.
    std::optional<Transaction> transaction;
    if (forward_) transaction.emplace(*db);
    Statement update(*db, "UPDATE PrintJournal SET Outcome = ?2, Message = ?3 WHERE ID = ?1");
    if (update.ok() && (!transaction || transaction->ok())) {
        sqlite3_bind_int64(update.get(), 1, id);
        BindText(update.get(), 2, outcome);
        BindText(update.get(), 3, message);
        if (sqlite3_step(update.get()) == SQLITE_DONE) {
            if (sqlite3_changes(*db) != 1) return std::unexpected(NotKept(kReplacedMeanwhile, ""));
            const bool queued = !transaction || (delivered ? Unqueue(*db, id)
                                                            : Exec(*db, kOutboxSchema) && QueueForPlant(*db, id));
            if (queued && (!transaction || transaction->Commit())) return {};
        }
    }
    const DatabaseProblem problem = DiagnoseDatabase(file_, *db);
    return std::unexpected(NotKept(problem.cause, problem.remedy));
}

template <class T>
T PrintJournal::Told(T result) {
    if (!Health().Changed(file_, result.has_value()) || !notice_) return result;
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
    auto id = Told(Record(std::move(entry)));
    if (id && ahead && identity_) begunIn_[*id] = *identity_;
    return id;
}

void PrintJournal::Complete(std::int64_t id, std::string outcome, std::string message) {
    // A row begun in a data.mdb since replaced must not give its outcome to another job.
    const auto begun = begunIn_.find(id);
    const bool moved = begun != begunIn_.end() && IdentityOf(file_) != begun->second;
    if (begun != begunIn_.end()) begunIn_.erase(begun);
    if (moved) {
        (void)Told(std::expected<void, Failure>(std::unexpected(NotKept(kReplacedMeanwhile, ""))));
        return;
    }
    (void)Told(Finish(id, outcome, message));
}

JournalWriter::JournalWriter(std::filesystem::path databaseFile, JournalNotice notice, bool prune,
                             std::shared_ptr<SharedPlant> shared)
    : journal_(std::move(databaseFile), std::move(notice), shared != nullptr),
      pruning_(prune),
      shared_(std::move(shared)),
      thread_([this] { Run(); }) {}

JournalWriter::~JournalWriter() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void JournalWriter::Enqueue(Task task, bool rowAhead) {
    {
        const std::lock_guard lock(mutex_);
        // A label waits for the rows ahead of it, never for the outcomes queued before it.
        (rowAhead ? rowsAhead_ : queue_).push_back(std::move(task));
    }
    wake_.notify_one();
}

std::expected<std::int64_t, Failure> JournalWriter::Begin(JournalEntry entry) {
    std::mutex done;
    std::condition_variable written;
    bool finished = false;
    std::expected<std::int64_t, Failure> id = std::unexpected(Failure{});
    Enqueue(
        [&](PrintJournal& journal) {
            auto result = journal.Begin(std::move(entry));
            const std::lock_guard lock(done);
            id = result;
            finished = true;
            written.notify_one();
        },
        true);
    std::unique_lock lock(done);
    written.wait(lock, [&] { return finished; });
    return id;
}

void JournalWriter::Complete(std::int64_t id, std::string outcome, std::string message) {
    Enqueue(
        [id, outcome = std::move(outcome), message = std::move(message)](PrintJournal& journal) mutable {
            journal.Complete(id, std::move(outcome), std::move(message));
        },
        false);
}

void JournalWriter::Flush() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return rowsAhead_.empty() && queue_.empty() && !writing_; });
}

void JournalWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto ready = [this] { return stop_ || !rowsAhead_.empty() || !queue_.empty(); };
        // While pruning, a short pause between batches; otherwise asleep until asked.
        if (pruning_) wake_.wait_for(lock, std::chrono::milliseconds(5), ready);
        else wake_.wait(lock, ready);
        if (rowsAhead_.empty() && queue_.empty()) {
            if (stop_) return;
            if (!pruning_) continue;
            // Between rows: one short batch, then the queue is looked at again.
            lock.unlock();
            const bool more = journal_.PruneBatch(std::chrono::system_clock::now());
            lock.lock();
            pruning_ = more;
            continue;
        }
        std::deque<Task>& next = rowsAhead_.empty() ? queue_ : rowsAhead_;
        auto task = std::move(next.front());
        next.pop_front();
        writing_ = true;
        lock.unlock();
        task(journal_);
        // The plant's side sends rows on from a thread of its own: no label waits for it.
        if (shared_) shared_->RowsWritten();
        lock.lock();
        writing_ = false;
        if (rowsAhead_.empty() && queue_.empty()) idle_.notify_all();
    }
}

std::expected<std::vector<JournalEntry>, Failure> ReadJournal(const std::filesystem::path& databaseFile,
                                                              const JournalQuery& query) {
    auto opened = OpenForReading(databaseFile);
    if (!opened) return std::unexpected(opened.error());
    std::vector<JournalEntry> jobs;
    if (!*opened) return jobs;
    Connection db(**opened);

    // Only the conditions asked for, so the index of the one given can serve.
    std::string sql = "SELECT " + Columns(db.get()) + " FROM PrintJournal WHERE 1";
    std::vector<std::string> values;
    for (const auto& [column, text] : {std::pair{"WIP", &query.wip}, std::pair{"Style", &query.style}}) {
        if (text->empty()) continue;
        values.push_back(*text);
        const std::string at = "?" + std::to_string(values.size());
        if (query.prefix) {
            values.push_back(PrefixEnd(*text));
            sql += std::string(" AND ") + column + " >= " + at + " COLLATE NOCASE AND " + column + " < ?" +
                   std::to_string(values.size()) + " COLLATE NOCASE";
        } else {
            sql += std::string(" AND ") + column + " = " + at + " COLLATE NOCASE";
        }
    }
    if (!query.since.empty()) {
        values.push_back(query.since);
        sql += " AND Time >= ?" + std::to_string(values.size());
    }
    sql += " ORDER BY ID DESC";
    if (query.limit > 0) sql += " LIMIT " + std::to_string(query.limit);

    Statement select(db.get(), sql);
    if (!select.ok()) return std::unexpected(ReadFailure(databaseFile, db.get()));
    for (std::size_t i = 0; i < values.size(); ++i) BindText(select.get(), static_cast<int>(i + 1), values[i]);
    int rc;
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) jobs.push_back(EntryFromRow(select.get()));
    if (rc != SQLITE_DONE) return std::unexpected(ReadFailure(databaseFile, db.get()));
    return jobs;
}

std::expected<JournalEntry, Failure> ReadJournalJob(const std::filesystem::path& databaseFile, std::int64_t id) {
    auto opened = OpenForReading(databaseFile);
    if (!opened) return std::unexpected(opened.error());
    const Failure missing{"There is no job " + std::to_string(id) + " in the print journal of " +
                          Quoted(databaseFile) + ". The history lists the jobs it holds."};
    if (!*opened) return std::unexpected(missing);
    Connection db(**opened);
    Statement select(db.get(), "SELECT " + Columns(db.get()) + ", Stream FROM PrintJournal WHERE ID = ?1");
    if (!select.ok()) return std::unexpected(ReadFailure(databaseFile, db.get()));
    sqlite3_bind_int64(select.get(), 1, id);
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_DONE) return std::unexpected(missing);
    if (rc != SQLITE_ROW) return std::unexpected(ReadFailure(databaseFile, db.get()));
    return EntryWithStream(select.get());
}

int JournalDays(sqlite3* db) {
    Statement select(db, "SELECT JournalDays FROM Settings WHERE ID = 1");
    if (!select.ok() || sqlite3_step(select.get()) != SQLITE_ROW) return kDefaultJournalDays;
    const int type = sqlite3_column_type(select.get(), 0);
    if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) return kDefaultJournalDays;
    const double days = sqlite3_column_double(select.get(), 0);
    if (days < 0 || days > 100000) return kDefaultJournalDays;
    return static_cast<int>(days);
}

std::expected<void, Failure> SetJournalDays(const std::filesystem::path& databaseFile, int days) {
    auto opened = OpenExistingDatabase(databaseFile, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    const auto failure = [&] {
        Failure f = DatabaseFailure(databaseFile, db.get(), "be written");
        f.text += " The retention is unchanged.";
        return std::unexpected(std::move(f));
    };
    Transaction transaction(db.get());
    if (!transaction.ok()) return failure();
    if (Statement probe(db.get(), "SELECT JournalDays FROM Settings LIMIT 0"); !probe.ok()) {
        if (!Exec(db.get(), "ALTER TABLE Settings ADD COLUMN JournalDays INTEGER")) return failure();
    }
    Statement update(db.get(), "UPDATE Settings SET JournalDays = ?1 WHERE ID = 1");
    if (!update.ok()) return failure();
    sqlite3_bind_int(update.get(), 1, days);
    if (sqlite3_step(update.get()) != SQLITE_DONE) return failure();
    if (sqlite3_changes(db.get()) == 0)
        return std::unexpected(Failure{"The settings database " + Quoted(databaseFile) +
                                       " has no Settings row with ID 1, where the retention is kept, so jobs "
                                       "are kept for the default 180 days."});
    if (!transaction.Commit()) return failure();
    return {};
}

std::expected<int, Failure> PruneJournal(const std::filesystem::path& databaseFile,
                                         std::chrono::system_clock::time_point now) {
    auto opened = OpenExistingDatabase(databaseFile, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    return PruneJournal(db.get(), databaseFile, now);
}

namespace {

}  // namespace

std::expected<int, Failure> PruneJournalBatch(sqlite3* db, const std::filesystem::path& databaseFile,
                                              std::chrono::system_clock::time_point now, int batch, int waitMs) {
    const JournalWait wait(db, waitMs);
    const auto failure = [&] {
        return std::unexpected(Failure{"Old jobs could not be removed from the print journal in " +
                                       Quoted(databaseFile) + ": " + DiagnoseDatabase(databaseFile, db).cause +
                                       ". Jobs removed so far stay removed; try again when no other program holds "
                                       "data.mdb."});
    };
    if (!HasJournal(db)) return 0;
    const int days = JournalDays(db);
    if (days == 0) return 0;
    const std::string cutoff = JournalTime(now - std::chrono::days(days));
    // A job still waiting to go to the plant database stays until it has gone.
    const std::string expired = HasTable(db, "PlantOutbox")
                                    ? "Time < ?1 AND ID NOT IN (SELECT JobID FROM PlantOutbox)"
                                    : "Time < ?1";
    // Most starts find nothing to remove, and then take no write lock at all.
    {
        Statement any(db, "SELECT 1 FROM PrintJournal WHERE " + expired + " LIMIT 1");
        if (!any.ok()) return failure();
        BindText(any.get(), 1, cutoff);
        const int rc = sqlite3_step(any.get());
        if (rc == SQLITE_DONE) return 0;
        if (rc != SQLITE_ROW) return failure();
    }
    Transaction transaction(db);
    if (!transaction.ok()) return failure();
    Statement remove(db, "DELETE FROM PrintJournal WHERE ID IN (SELECT ID FROM PrintJournal WHERE " + expired +
                             " LIMIT ?2)");
    if (!remove.ok()) return failure();
    BindText(remove.get(), 1, cutoff);
    sqlite3_bind_int(remove.get(), 2, batch);
    if (sqlite3_step(remove.get()) != SQLITE_DONE) return failure();
    const int removed = sqlite3_changes(db);
    if (!transaction.Commit()) return failure();
    return removed;
}

namespace {

// The next batch's size: smaller after a batch that held the file too long.
int NextBatch(int batch, std::chrono::steady_clock::duration took) {
    if (took > kPruneBatchTime) return std::max(100, batch / 2);
    if (took < kPruneBatchTime / 3) return std::min(20000, batch * 2);
    return batch;
}

}  // namespace

bool PrintJournal::PruneBatch(std::chrono::system_clock::time_point now) {
    auto db = Connect();
    if (!db) return false;
    const auto start = std::chrono::steady_clock::now();
    const auto removed = PruneJournalBatch(*db, file_, now, pruneBatch_, kPruneBetweenMs);
    pruneBatch_ = NextBatch(pruneBatch_, std::chrono::steady_clock::now() - start);
    return removed.value_or(0) > 0;
}

std::expected<int, Failure> PruneJournal(sqlite3* db, const std::filesystem::path& databaseFile,
                                         std::chrono::system_clock::time_point now) {
    int total = 0;
    int batch = 1000;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        const auto removed = PruneJournalBatch(db, databaseFile, now, batch, kJournalAfterMs);
        if (!removed) return std::unexpected(removed.error());
        if (*removed == 0) return total;
        total += *removed;
        batch = NextBatch(batch, std::chrono::steady_clock::now() - start);
        // A gap in which waiting labels take the file first.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::expected<PlantBacklog, Failure> PlantBacklogOf(sqlite3* db, const std::filesystem::path& databaseFile,
                                                    int limit) {
    PlantBacklog backlog;
    if (!HasTable(db, "PlantOutbox")) return backlog;
    // One read transaction: the queue and the rows as they stand together.
    if (!Exec(db, "BEGIN")) return std::unexpected(ReadFailure(databaseFile, db));
    const auto fail = [&] {
        Failure failure = ReadFailure(databaseFile, db);
        Exec(db, "ROLLBACK");
        return std::unexpected(std::move(failure));
    };
    std::vector<std::int64_t> ids;
    {
        Statement queued(db, "SELECT Seq, JobID FROM PlantOutbox ORDER BY Seq LIMIT ?1");
        if (!queued.ok()) return fail();
        sqlite3_bind_int(queued.get(), 1, limit);
        int rc;
        while ((rc = sqlite3_step(queued.get())) == SQLITE_ROW) {
            backlog.upTo = sqlite3_column_int64(queued.get(), 0);
            const std::int64_t id = sqlite3_column_int64(queued.get(), 1);
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        }
        if (rc != SQLITE_DONE) return fail();
    }
    Statement select(db, "SELECT " + Columns(db) + ", Stream FROM PrintJournal WHERE ID = ?1");
    if (!select.ok()) return fail();
    for (const std::int64_t id : ids) {
        sqlite3_reset(select.get());
        sqlite3_bind_int64(select.get(), 1, id);
        const int rc = sqlite3_step(select.get());
        // A row pruned or replaced meanwhile has nothing left to send.
        if (rc == SQLITE_ROW) backlog.jobs.push_back(EntryWithStream(select.get()));
        else if (rc != SQLITE_DONE) return fail();
    }
    Exec(db, "COMMIT");
    return backlog;
}

std::expected<void, Failure> ForgetForwarded(sqlite3* db, const std::filesystem::path& databaseFile,
                                             std::int64_t upTo) {
    const JournalWait wait(db, kJournalAfterMs);
    Statement remove(db, "DELETE FROM PlantOutbox WHERE Seq <= ?1");
    if (remove.ok()) {
        sqlite3_bind_int64(remove.get(), 1, upTo);
        if (sqlite3_step(remove.get()) == SQLITE_DONE) return {};
    }
    return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
}

std::expected<std::int64_t, Failure> PlantBacklogSize(sqlite3* db, const std::filesystem::path& databaseFile) {
    if (!HasTable(db, "PlantOutbox")) return 0;
    Statement count(db, "SELECT COUNT(DISTINCT JobID) FROM PlantOutbox");
    if (!count.ok() || sqlite3_step(count.get()) != SQLITE_ROW)
        return std::unexpected(ReadFailure(databaseFile, db));
    return sqlite3_column_int64(count.get(), 0);
}

std::expected<std::int64_t, Failure> QueueWholeJournal(sqlite3* db, const std::filesystem::path& databaseFile) {
    if (!HasJournal(db)) return 0;
    const JournalWait wait(db, kJournalAfterMs);
    Transaction transaction(db);
    if (!transaction.ok() || !Exec(db, kOutboxSchema) ||
        !Exec(db, "INSERT INTO PlantOutbox (JobID) SELECT ID FROM PrintJournal ORDER BY ID"))
        return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
    const std::int64_t queued = sqlite3_changes(db);
    if (!transaction.Commit()) return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
    return queued;
}

}  // namespace tarnwick
