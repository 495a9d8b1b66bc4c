#include "store/sqlite_file.h"

#include <sqlite3.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <thread>

#include "base/group_access.h"
#include "base/windows1252.h"

namespace tarnwick {
namespace {

constexpr std::string_view kSqliteMagic{"SQLite format 3\0", 16};

// Jet 3/4 and ACE files carry their engine name at offset 4.
bool IsAccessDatabase(std::string_view head) {
    if (head.size() < 19) return false;
    const std::string_view name = head.substr(4, 15);
    return name == "Standard Jet DB" || name == "Standard ACE DB";
}

int BusyWait(void* limit, int count) {
    // One wait at a time on a thread: SQLite calls its handler from the statement that waits.
    thread_local std::chrono::steady_clock::time_point start, last;
    const auto now = std::chrono::steady_clock::now();
    // SQLite counts from 0 for each wait, but not always; a pause since the last look
    // also starts a new wait.
    if (count == 0 || now - last > std::chrono::milliseconds(50)) start = now;
    last = now;
    if (now - start >= std::chrono::milliseconds(reinterpret_cast<std::intptr_t>(limit))) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 1;
}

// With the process's effective rights, as SQLite itself has them.
bool Writable(const std::filesystem::path& path) { return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0; }

}  // namespace

std::string Quoted(const std::filesystem::path& file) { return "\"" + file.string() + "\""; }

void SetBusyWait(sqlite3* db, int ms) {
    sqlite3_busy_handler(db, BusyWait, reinterpret_cast<void*>(static_cast<std::intptr_t>(ms)));
}

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}

std::expected<sqlite3*, Failure> OpenIdentifiedDatabase(const std::filesystem::path& file, bool readOnly,
                                                        std::optional<FileIdentity>& identity) {
    for (int attempt = 0;; ++attempt) {
        const auto before = IdentityOf(file);
        auto db = OpenExistingDatabase(file, readOnly);
        if (!db) return db;
        const auto after = IdentityOf(file);
        if ((before && before == after) || attempt == 2) {
            identity = after;
            return db;
        }
        sqlite3_close_v2(*db);
    }
}

std::expected<bool, Failure> FollowReplacedDatabase(sqlite3*& db, const std::filesystem::path& file, bool readOnly,
                                                    std::optional<FileIdentity>& identity) {
    // A file gone from its folder is reported as missing, not read from the old handle.
    if (const auto now = IdentityOf(file); db != nullptr && now && now == identity) return false;
    std::optional<FileIdentity> opened;
    auto fresh = OpenIdentifiedDatabase(file, readOnly, opened);
    if (!fresh) return std::unexpected(fresh.error());
    if (db != nullptr) sqlite3_close_v2(db);
    db = *fresh;
    identity = opened;
    return true;
}

Transaction::Transaction(sqlite3* db, Mode mode) : db_(db), nested_(sqlite3_get_autocommit(db) == 0) {
    open_ = nested_ ? Exec(db, "SAVEPOINT nested") : Exec(db, mode == Mode::Write ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
    if (!open_) return;
    if (nested_) Exec(db_, "ROLLBACK TO nested; RELEASE nested");
    else Exec(db_, "ROLLBACK");
}

bool Transaction::Commit() {
    if (!open_ || !Exec(db_, nested_ ? "RELEASE nested" : "COMMIT")) return false;
    open_ = false;
    return true;
}

Failure StartUpFailure(std::string text) { return Failure{std::move(text), "Tarnwick", MessageIcon::Critical}; }

std::expected<sqlite3*, Failure> OpenExistingDatabase(const std::filesystem::path& file, bool readOnly) {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (!std::filesystem::exists(status))
        return std::unexpected(StartUpFailure("The settings database " + Quoted(file) +
                                              " is missing. Put the plant's data.mdb in that folder "
                                              "(or make a new one with \"tarnwick-cli db init\"), then try again."));
    if (std::filesystem::is_directory(status))
        return std::unexpected(StartUpFailure("The settings database " + Quoted(file) +
                                              " is a folder, not a file. Put the plant's data.mdb there instead."));

    std::ifstream in(file, std::ios::binary);
    std::array<char, 100> buffer{};
    in.read(buffer.data(), buffer.size());
    if (!in && !in.eof())
        return std::unexpected(StartUpFailure("The settings database " + Quoted(file) + " cannot be read: " +
                                              std::strerror(errno) + ". Check its permissions, then try again."));
    const std::string_view head(buffer.data(), static_cast<std::size_t>(in.gcount()));
    // An empty file is an empty SQLite database; the table check below reports it.
    if (!head.empty() && !head.starts_with(kSqliteMagic)) {
        if (IsAccessDatabase(head))
            return std::unexpected(StartUpFailure(
                "The settings database " + Quoted(file) +
                " is an Access (Jet) database from the old label system; Tarnwick keeps data.mdb as an SQLite "
                "database. To move the plant's data, in that folder: export the style table with mdbtools "
                "(\"mdb-export data.mdb PrintStyle > styles.csv\"), put the Access file aside (\"mv data.mdb "
                "data-access.mdb\"), make a new database (\"tarnwick-cli db init\"), import the styles "
                "(\"tarnwick-cli styles import styles.csv\"), then start Tarnwick and re-enter the five settings "
                "in Setup."));
        return std::unexpected(StartUpFailure("The settings database " + Quoted(file) +
                                              " is not an SQLite database. Replace it with the plant's data.mdb "
                                              "(or make a new one with \"tarnwick-cli db init\"), then try again."));
    }

    sqlite3* db = nullptr;
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        Failure failure = DatabaseFailure(file, db, "open");
        sqlite3_close_v2(db);
        return std::unexpected(failure);
    }
    // The window's handle, a lookup's own handle and other stations' commands share the file.
    SetBusyWait(db, kDatabaseBusyMs);

    const char* const checks[][2] = {
        {"SELECT ID, BaseX, BaseY, ParallelPrinter, USBPrinter, USBPrinterName FROM Settings LIMIT 0",
         "table Settings with the columns ID, BaseX, BaseY, ParallelPrinter, USBPrinter and USBPrinterName"},
        {"SELECT Style, PrintStyle FROM PrintStyle LIMIT 0", "table PrintStyle with the columns Style and PrintStyle"},
    };
    for (const auto& check : checks) {
        sqlite3_stmt* stmt = nullptr;
        const int rc = sqlite3_prepare_v2(db, check[0], -1, &stmt, nullptr);
        sqlite3_finalize(stmt);
        if (rc == SQLITE_OK) continue;
        Failure failure;
        // Only a file that really lacks the tables (or is no database) is to be replaced;
        // a lock or an I/O error says what happened instead.
        if (rc != SQLITE_ERROR && rc != SQLITE_NOTADB && rc != SQLITE_CORRUPT)
            failure = DatabaseFailure(file, db, "be read");
        else if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT)
            failure =
                StartUpFailure("The settings database " + Quoted(file) + " is damaged or not an SQLite database (" +
                               sqlite3_errmsg(db) + "). Replace it with a good copy of data.mdb, then try again.");
        else
            failure = StartUpFailure("The settings database " + Quoted(file) + " has no " + check[1] + " (" +
                                     sqlite3_errmsg(db) +
                                     "). Replace it with the plant's data.mdb (or make a new one with "
                                     "\"tarnwick-cli db init\"), then try again.");
        sqlite3_close_v2(db);
        return std::unexpected(failure);
    }
    return db;
}

Statement::Statement(sqlite3* db, std::string_view sql) {
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Connection::~Connection() { sqlite3_close_v2(db_); }

void BindText(sqlite3_stmt* stmt, int index, std::string_view text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
    const auto* text = static_cast<const char*>(sqlite3_column_blob(stmt, column));
    if (text == nullptr) return {};
    return DecodeText(std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column))));
}

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool IsLocked(sqlite3* db) {
    const int code = db != nullptr ? sqlite3_errcode(db) & 0xFF : SQLITE_OK;
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

DatabaseProblem DiagnoseDatabase(const std::filesystem::path& file, sqlite3* db) {
    if (IsLocked(db))
        return {"data.mdb is locked by another program",
                "If it stays locked, close the other program that has data.mdb open"};
    const int extended = db != nullptr ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    const int code = extended & 0xFF;
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    if (code == SQLITE_READONLY || code == SQLITE_CANTOPEN || code == SQLITE_IOERR) {
        const std::filesystem::path journal = file.string() + "-journal";
        std::error_code ec;
        // A change cut off by a crash must be rolled back before anyone reads the file,
        // and only a user who may write both the file and its folder can do it.
        const bool leftOver = std::filesystem::file_size(journal, ec) > 0 && !ec;
        const bool mayWrite = Writable(file) && Writable(folder);
        if (leftOver && (extended == SQLITE_READONLY_ROLLBACK || !mayWrite))
            return {"a program stopped while changing it and left " + Quoted(journal) +
                        ", which must be rolled back first" +
                        (mayWrite           ? std::string()
                         : Writable(folder) ? ", and this user may not write to data.mdb"
                                            : ", and this user may not write to its folder " + Quoted(folder)),
                    "Run \"tarnwick-cli history --prune\" on that folder once as a user who may write to it (the "
                    "change is then rolled back)"};
        // Writing needs the file and a journal file beside it in the same folder.
        if (!Writable(file) && errno != ENOENT) {
            const std::string why = std::strerror(errno);
            if (const auto missing = GroupThatMayWrite(file))
                return {"this user may not write to it (" + why + "): " + missing->Cause(), missing->Remedy()};
            if (const auto withheld = GroupMayNotWrite(file))
                return {"this user may not write to it (" + why + "): " + withheld->Cause(), withheld->Remedy()};
            return {"the file is read-only (" + why + ")", "Let Tarnwick's user write to data.mdb"};
        }
        if (!Writable(folder)) {
            const std::string why = std::strerror(errno);
            const std::string journal = ", and the database needs to create its journal file there while it writes";
            if (const auto missing = GroupThatMayWrite(folder))
                return {"its folder " + Quoted(folder) + " cannot be written to (" + why + ")" + journal + "; " +
                            missing->Cause(),
                        missing->Remedy()};
            return {"its folder " + Quoted(folder) + " cannot be written to (" + why + ")" + journal,
                    "Let Tarnwick's user write to that folder"};
        }
    }
    if (code == SQLITE_FULL) return {"the disk is full", "Make room on the disk"};
    return {db != nullptr ? sqlite3_errmsg(db) : "out of memory", ""};
}

Failure DatabaseFailure(const std::filesystem::path& file, sqlite3* db, std::string_view doing) {
    const std::string could = " could not " + std::string(doing);
    const DatabaseProblem problem = DiagnoseDatabase(file, db);
    if (IsLocked(db))
        return StartUpFailure("The settings database " + Quoted(file) + " is locked by another program, so it" + could +
                              ". Try again in a moment; if it stays locked, close the other program that has "
                              "data.mdb open, then try again.");
    std::string text = "The settings database " + Quoted(file) + could + ": " + problem.cause + ".";
    if (!problem.remedy.empty()) text += " " + problem.remedy + ", then try again.";
    return StartUpFailure(std::move(text));
}

bool HasTable(sqlite3* db, std::string_view name) {
    Statement query(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
    if (!query.ok()) return false;
    BindText(query.get(), 1, name);
    return sqlite3_step(query.get()) == SQLITE_ROW;
}

}  // namespace tarnwick
