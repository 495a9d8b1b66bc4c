#pragma once

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/failure.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tarnwick {

// An error seen at start-up: the operator must fix a file before going on.
Failure StartUpFailure(std::string text);

// How long a statement waits for another program's lock on data.mdb.
inline constexpr int kDatabaseBusyMs = 2000;

// Waits up to `ms` for another connection's lock, looking again every millisecond.
// SQLite's own timeout sleeps up to 100 ms between looks, and under a few stations'
// steady commits a reader could miss every gap until it gives up.
void SetBusyWait(sqlite3* db, int ms);

// Opens an existing settings database. Never creates it: a missing file, an
// Access file left over from the old system or any other non-SQLite file is a
// Failure that names the file.
std::expected<sqlite3*, Failure> OpenExistingDatabase(const std::filesystem::path& file, bool readOnly);

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, std::string_view sql);
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// A database connection that closes itself.
class Connection {
public:
    explicit Connection(sqlite3* db) : db_(db) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();
    sqlite3* get() const { return db_; }

private:
    sqlite3* db_;
};

// A transaction, rolled back unless committed. A write one takes the write lock at once
// (BEGIN IMMEDIATE), so it never fails half-way for another writer; a read one (BEGIN)
// sees one state of the file across its statements and locks nothing until it reads.
class Transaction {
public:
    enum class Mode { Write, Read };
    explicit Transaction(sqlite3* db, Mode mode = Mode::Write);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();
    // Whether BEGIN succeeded (a write one took the lock); the error is then in the connection.
    bool ok() const { return open_; }
    bool Commit();

private:
    sqlite3* db_;
    // Inside a transaction already open on the connection (rows that wait together share
    // one), a savepoint: its commit is the outer one's.
    bool nested_ = false;
    bool open_ = false;
};

// The file a path names now (device and inode), to notice a data.mdb replaced under an
// open connection: a restored backup or another station's copy is a new file.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& file);

// OpenExistingDatabase, and which file it opened: the path is looked at before and after
// opening, and opened again when another file took its place in between.
std::expected<sqlite3*, Failure> OpenIdentifiedDatabase(const std::filesystem::path& file, bool readOnly,
                                                        std::optional<FileIdentity>& identity);

// A data.mdb restored or copied in while a connection is open is a new file at the same
// path; the old connection would write to a file nobody reads. Opens the file now in
// place when it is not the one `db` has (or `db` is none), closing the old connection
// only once the new one is open. True when `db` now names another file.
std::expected<bool, Failure> FollowReplacedDatabase(sqlite3*& db, const std::filesystem::path& file, bool readOnly,
                                                    std::optional<FileIdentity>& identity);

// Binds a text parameter (1-based), copied, so the text may go before the statement runs.
void BindText(sqlite3_stmt* stmt, int index, std::string_view text);

// The text of a column, NULL as "", undecodable bytes read as Windows-1252.
std::string ColumnText(sqlite3_stmt* stmt, int column);

// Whether the database holds a table of that name.
bool HasTable(sqlite3* db, std::string_view name);

// Runs SQL without results; false (with the error in db) on failure.
bool Exec(sqlite3* db, const char* sql);

// Whether the last call on db failed because another connection holds a lock.
bool IsLocked(sqlite3* db);

// What went wrong with the database, from the last error on db: a lock another program
// holds, a read-only file or folder, or the engine's own message. doing: "be read", ...
Failure DatabaseFailure(const std::filesystem::path& file, sqlite3* db, std::string_view doing);

// Why the last call on db failed, as a message can say it ("the file is read-only (...)"),
// and what fixes it ("Let Tarnwick's user write to data.mdb"; empty when nothing is known).
struct DatabaseProblem {
    std::string cause;
    std::string remedy;
};
DatabaseProblem DiagnoseDatabase(const std::filesystem::path& file, sqlite3* db);

// "\"path\"", as messages name files.
std::string Quoted(const std::filesystem::path& file);

}  // namespace tarnwick
