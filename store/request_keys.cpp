#include "store/request_keys.h"

#include <sqlite3.h>

#include "store/journal_queries.h"
#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

constexpr const char* kTable =
    "CREATE TABLE IF NOT EXISTS RequestKeys (Key TEXT PRIMARY KEY, Digest TEXT NOT NULL, Job INTEGER NOT NULL,"
    " Time TEXT NOT NULL)";

}  // namespace

bool KeepRequestKey(sqlite3* db, const std::string& key, const std::string& digest, std::int64_t job,
                    const std::string& time) {
    if (!Exec(db, kTable)) return false;
    Statement insert(db, "INSERT INTO RequestKeys (Key, Digest, Job, Time) VALUES (?1, ?2, ?3, ?4)");
    if (!insert.ok()) return false;
    BindText(insert.get(), 1, key);
    BindText(insert.get(), 2, digest);
    sqlite3_bind_int64(insert.get(), 3, job);
    BindText(insert.get(), 4, time);
    return sqlite3_step(insert.get()) == SQLITE_DONE;
}

std::expected<std::optional<RequestKey>, Failure> FindRequestKey(const std::filesystem::path& databaseFile,
                                                                 const std::string& key) {
    auto opened = OpenExistingDatabase(databaseFile, true);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    if (!HasTable(db.get(), "RequestKeys")) return std::nullopt;
    Statement select(db.get(), "SELECT Digest, Job, Time FROM RequestKeys WHERE Key = ?1");
    if (!select.ok()) return std::unexpected(DatabaseFailure(databaseFile, db.get(), "be read"));
    BindText(select.get(), 1, key);
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) return std::unexpected(DatabaseFailure(databaseFile, db.get(), "be read"));
    return RequestKey{ColumnText(select.get(), 0), sqlite3_column_int64(select.get(), 1), ColumnText(select.get(), 2)};
}

std::expected<int, Failure> ForgetRequestKeys(const std::filesystem::path& databaseFile,
                                              std::chrono::system_clock::time_point now, std::chrono::hours keep) {
    auto opened = OpenExistingDatabase(databaseFile, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    if (!HasTable(db.get(), "RequestKeys")) return 0;
    Statement remove(db.get(), "DELETE FROM RequestKeys WHERE Time < ?1");
    if (!remove.ok()) return std::unexpected(DatabaseFailure(databaseFile, db.get(), "be written"));
    BindText(remove.get(), 1, JournalTime(now - std::max(keep, std::chrono::hours(24))));
    if (sqlite3_step(remove.get()) != SQLITE_DONE)
        return std::unexpected(DatabaseFailure(databaseFile, db.get(), "be written"));
    return sqlite3_changes(db.get());
}

}  // namespace tarnwick
