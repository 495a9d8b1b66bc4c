#include "startup/print_journal.h"

#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>

#include "startup/sqlite_file.h"

namespace tarnwick {
namespace {

// A journal write must not hold up the next label for long: another program holding
// data.mdb makes it fail soon and the label prints without it.
constexpr int kJournalBusyMs = 250;

// The journal's shorter wait on a connection it shares, for as long as it uses it: a
// label never waits long for its history row.
class JournalWait {
public:
    explicit JournalWait(sqlite3* db) : db_(db) { sqlite3_busy_timeout(db_, kJournalBusyMs); }
    ~JournalWait() {
        if (db_ != nullptr) sqlite3_busy_timeout(db_, kDatabaseBusyMs);
    }
    JournalWait(const JournalWait&) = delete;
    JournalWait& operator=(const JournalWait&) = delete;

private:
    sqlite3* db_;
};

// The stream comes last, so listing the other columns never reads its pages.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS PrintJournal (ID INTEGER PRIMARY KEY AUTOINCREMENT, Time TEXT NOT NULL,"
    " Station TEXT, Source TEXT, Layout TEXT, WIP TEXT, Style TEXT, Quantity TEXT, CutSheet TEXT,"
    " CutRow INTEGER, Route TEXT, Printer TEXT, Outcome TEXT, Message TEXT, ByteCount INTEGER,"
    " ReprintOf INTEGER, Stream BLOB);"
    "CREATE INDEX IF NOT EXISTS PrintJournalByTime ON PrintJournal (Time);"
    "CREATE INDEX IF NOT EXISTS PrintJournalByWIP ON PrintJournal (WIP COLLATE NOCASE);"
    "CREATE INDEX IF NOT EXISTS PrintJournalByStyle ON PrintJournal (Style COLLATE NOCASE);";

constexpr const char* kColumns =
    "ID, Time, Station, Source, Layout, WIP, Style, Quantity, CutSheet, CutRow, Route, Printer, Outcome, Message,"
    " ByteCount, ReprintOf";

std::string Quoted(const std::filesystem::path& file) { return "\"" + file.string() + "\""; }

bool HasJournal(sqlite3* db) {
    Statement query(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'PrintJournal'");
    return query.ok() && sqlite3_step(query.get()) == SQLITE_ROW;
}

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
    return e;
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

PrintJournal::PrintJournal(std::filesystem::path databaseFile) : file_(std::move(databaseFile)) {}

PrintJournal::PrintJournal(std::filesystem::path databaseFile, sqlite3* borrowed)
    : file_(std::move(databaseFile)), db_(borrowed), owned_(false) {}

PrintJournal::~PrintJournal() {
    if (owned_) sqlite3_close_v2(db_);
}

std::expected<std::int64_t, Failure> PrintJournal::Record(JournalEntry entry) {
    if (entry.time.empty()) entry.time = JournalTime(std::chrono::system_clock::now());
    if (entry.station.empty()) entry.station = Station();
    if (entry.stream) entry.byteCount = static_cast<std::int64_t>(entry.stream->size());

    const auto fail = [this](std::string_view why) {
        // A start-up message is a whole sentence already.
        if (why.ends_with('.')) why.remove_suffix(1);
        Failure failure{"The print journal in " + Quoted(file_) + " is not being kept: " + std::string(why) +
                            ". Labels still print, but they are not recorded for History and Reprint until "
                            "data.mdb can be written again (check that it is not read-only, that the disk is "
                            "not full and that no other program holds it).",
                        "Tarnwick", MessageIcon::Information};
        if (db_ != nullptr) Exec(db_, "ROLLBACK");
        // A fresh connection next time: this one may be in any state.
        if (owned_) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
        }
        return std::unexpected(std::move(failure));
    };

    if (db_ == nullptr) {
        auto opened = OpenExistingDatabase(file_, false);
        if (!opened) return fail(opened.error().text);
        db_ = *opened;
        sqlite3_busy_timeout(db_, kJournalBusyMs);
    }
    std::optional<JournalWait> shared;
    if (!owned_) shared.emplace(db_);
    if (!Exec(db_, "BEGIN IMMEDIATE")) return fail(sqlite3_errmsg(db_));
    if (!HasJournal(db_) && !Exec(db_, kSchema)) return fail(sqlite3_errmsg(db_));
    {
        Statement insert(db_,
                         "INSERT INTO PrintJournal (Time, Station, Source, Layout, WIP, Style, Quantity, CutSheet,"
                         " CutRow, Route, Printer, Outcome, Message, ByteCount, ReprintOf, Stream)"
                         " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)");
        if (!insert.ok()) return fail(sqlite3_errmsg(db_));
        sqlite3_stmt* s = insert.get();
        const std::string* texts[] = {&entry.time,     &entry.station, &entry.source, &entry.layout,
                                      &entry.wip,      &entry.style,   &entry.quantity, &entry.cutSheet};
        for (int i = 0; i < 8; ++i) BindText(s, i + 1, *texts[i]);
        if (entry.cutRow) sqlite3_bind_int(s, 9, *entry.cutRow);
        BindText(s, 10, entry.route);
        BindText(s, 11, entry.printer);
        BindText(s, 12, entry.outcome);
        BindText(s, 13, entry.message);
        sqlite3_bind_int64(s, 14, entry.byteCount);
        if (entry.reprintOf) sqlite3_bind_int64(s, 15, *entry.reprintOf);
        if (entry.stream)
            sqlite3_bind_blob64(s, 16, entry.stream->data(), entry.stream->size(), SQLITE_STATIC);
        if (sqlite3_step(s) != SQLITE_DONE) return fail(sqlite3_errmsg(db_));
    }
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    if (!Exec(db_, "COMMIT")) return fail(sqlite3_errmsg(db_));
    return id;
}

std::optional<Failure> PrintJournal::RecordOrWarn(JournalEntry entry) {
    static std::mutex mutex;
    static std::set<std::filesystem::path> told;
    const auto recorded = Record(std::move(entry));
    if (recorded) return std::nullopt;
    const std::lock_guard lock(mutex);
    if (!told.insert(file_).second) return std::nullopt;
    return recorded.error();
}

JournalWriter::JournalWriter(std::filesystem::path databaseFile, std::function<void(const Failure&)> onWarning)
    : journal_(std::move(databaseFile)), onWarning_(std::move(onWarning)), thread_([this] { Run(); }) {}

JournalWriter::~JournalWriter() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void JournalWriter::Post(JournalEntry entry) {
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(entry));
    }
    wake_.notify_one();
}

void JournalWriter::Flush() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !writing_; });
}

void JournalWriter::Run() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        JournalEntry entry = std::move(queue_.front());
        queue_.pop_front();
        writing_ = true;
        lock.unlock();
        const auto warning = journal_.RecordOrWarn(std::move(entry));
        if (warning && onWarning_) onWarning_(*warning);
        lock.lock();
        writing_ = false;
        if (queue_.empty()) idle_.notify_all();
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
    std::string sql = std::string("SELECT ") + kColumns + " FROM PrintJournal WHERE 1";
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
    Statement select(db.get(), std::string("SELECT ") + kColumns + ", Stream FROM PrintJournal WHERE ID = ?1");
    if (!select.ok()) return std::unexpected(ReadFailure(databaseFile, db.get()));
    sqlite3_bind_int64(select.get(), 1, id);
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_DONE) return std::unexpected(missing);
    if (rc != SQLITE_ROW) return std::unexpected(ReadFailure(databaseFile, db.get()));
    JournalEntry job = EntryFromRow(select.get());
    if (sqlite3_column_type(select.get(), 16) != SQLITE_NULL) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(select.get(), 16));
        job.stream = std::string(bytes != nullptr ? bytes : "",
                                 static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 16)));
    }
    return job;
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
        Exec(db.get(), "ROLLBACK");
        return std::unexpected(std::move(f));
    };
    if (!Exec(db.get(), "BEGIN IMMEDIATE")) return failure();
    if (Statement probe(db.get(), "SELECT JournalDays FROM Settings LIMIT 0"); !probe.ok()) {
        if (!Exec(db.get(), "ALTER TABLE Settings ADD COLUMN JournalDays INTEGER")) return failure();
    }
    Statement update(db.get(), "UPDATE Settings SET JournalDays = ?1 WHERE ID = 1");
    if (!update.ok()) return failure();
    sqlite3_bind_int(update.get(), 1, days);
    if (sqlite3_step(update.get()) != SQLITE_DONE) return failure();
    if (sqlite3_changes(db.get()) == 0) {
        Exec(db.get(), "ROLLBACK");
        return std::unexpected(Failure{"The settings database " + Quoted(databaseFile) +
                                       " has no Settings row with ID 1, where the retention is kept, so jobs "
                                       "are kept for the default 180 days."});
    }
    if (!Exec(db.get(), "COMMIT")) return failure();
    return {};
}

std::expected<int, Failure> PruneJournal(const std::filesystem::path& databaseFile,
                                         std::chrono::system_clock::time_point now) {
    auto opened = OpenExistingDatabase(databaseFile, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    return PruneJournal(db.get(), databaseFile, now);
}

std::expected<int, Failure> PruneJournal(sqlite3* db, const std::filesystem::path& databaseFile,
                                         std::chrono::system_clock::time_point now) {
    const JournalWait wait(db);
    if (!HasJournal(db)) return 0;
    const int days = JournalDays(db);
    if (days == 0) return 0;
    const std::string cutoff = JournalTime(now - std::chrono::days(days));
    const auto failure = [&] {
        Failure f{"Old jobs could not be removed from the print journal in " + Quoted(databaseFile) + ": " +
                  sqlite3_errmsg(db) + ". Nothing was removed; try again when no other program holds data.mdb."};
        Exec(db, "ROLLBACK");
        return std::unexpected(std::move(f));
    };
    // Most starts find nothing to remove, and then take no write lock at all.
    {
        Statement any(db, "SELECT 1 FROM PrintJournal WHERE Time < ?1 LIMIT 1");
        if (!any.ok()) return failure();
        BindText(any.get(), 1, cutoff);
        const int rc = sqlite3_step(any.get());
        if (rc == SQLITE_DONE) return 0;
        if (rc != SQLITE_ROW) return failure();
    }
    if (!Exec(db, "BEGIN IMMEDIATE")) return failure();
    int removed = 0;
    {
        Statement remove(db, "DELETE FROM PrintJournal WHERE Time < ?1");
        if (!remove.ok()) return failure();
        BindText(remove.get(), 1, cutoff);
        if (sqlite3_step(remove.get()) != SQLITE_DONE) return failure();
        removed = sqlite3_changes(db);
    }
    if (!Exec(db, "COMMIT")) return failure();
    return removed;
}

}  // namespace tarnwick
