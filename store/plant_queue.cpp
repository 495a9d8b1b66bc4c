#include "store/plant_queue.h"

#include <sqlite3.h>

#include <algorithm>

#include "store/journal_table.h"

namespace tarnwick {

bool CreateOutbox(sqlite3* db) {
    // Changes of rows not yet in the plant database, oldest first.
    return Exec(db,
                "CREATE TABLE IF NOT EXISTS PlantOutbox (Seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                " JobID INTEGER NOT NULL)");
}

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

std::expected<PlantBacklog, Failure> PlantBacklogOf(sqlite3* db, const std::filesystem::path& databaseFile, int limit) {
    PlantBacklog backlog;
    if (!HasTable(db, "PlantOutbox")) return backlog;
    // One read transaction: the queue and the rows as they stand together.
    Transaction transaction(db, Transaction::Mode::Read);
    const auto fail = [&] { return std::unexpected(JournalReadFailure(databaseFile, db)); };
    if (!transaction.ok()) return fail();
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
    Statement select(db, SelectEntryWithStream(db));
    if (!select.ok()) return fail();
    for (const std::int64_t id : ids) {
        sqlite3_reset(select.get());
        sqlite3_bind_int64(select.get(), 1, id);
        const int rc = sqlite3_step(select.get());
        // A row pruned or replaced meanwhile has nothing left to send.
        if (rc == SQLITE_ROW) backlog.jobs.push_back(EntryWithStream(select.get()));
        else if (rc != SQLITE_DONE) return fail();
    }
    (void)transaction.Commit();
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
        return std::unexpected(JournalReadFailure(databaseFile, db));
    return sqlite3_column_int64(count.get(), 0);
}

std::expected<std::int64_t, Failure> QueueWholeJournal(sqlite3* db, const std::filesystem::path& databaseFile) {
    if (!HasJournal(db)) return 0;
    const JournalWait wait(db, kJournalAfterMs);
    Transaction transaction(db);
    if (!transaction.ok() || !CreateOutbox(db) ||
        !Exec(db, "INSERT INTO PlantOutbox (JobID) SELECT ID FROM PrintJournal ORDER BY ID"))
        return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
    const std::int64_t queued = sqlite3_changes(db);
    if (!transaction.Commit()) return std::unexpected(DatabaseFailure(databaseFile, db, "be written"));
    return queued;
}

}  // namespace tarnwick
