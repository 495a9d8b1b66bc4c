#include "store/journal_retention.h"

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <thread>

#include "store/journal_queries.h"
#include "store/journal_rows.h"
#include "store/journal_table.h"

namespace tarnwick {
namespace {

// Pruning between labels gives way at once to anyone else who holds data.mdb.
constexpr int kPruneBetweenMs = 20;
// Pruning stops a batch that took this long from growing, so that no label waits for it
// much longer.
constexpr auto kPruneBatchTime = std::chrono::milliseconds(10);

}  // namespace

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
    const std::string expired =
        HasTable(db, "PlantOutbox") ? "Time < ?1 AND ID NOT IN (SELECT JobID FROM PlantOutbox)" : "Time < ?1";
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
    Statement remove(
        db, "DELETE FROM PrintJournal WHERE ID IN (SELECT ID FROM PrintJournal WHERE " + expired + " LIMIT ?2)");
    if (!remove.ok()) return failure();
    BindText(remove.get(), 1, cutoff);
    sqlite3_bind_int(remove.get(), 2, batch);
    if (sqlite3_step(remove.get()) != SQLITE_DONE) return failure();
    const int removed = sqlite3_changes(db);
    if (!transaction.Commit()) return failure();
    return removed;
}

std::expected<int, Failure> JournalPruning::Next(sqlite3* db, const std::filesystem::path& databaseFile,
                                                 std::chrono::system_clock::time_point now, int waitMs) {
    const auto start = std::chrono::steady_clock::now();
    auto removed = PruneJournalBatch(db, databaseFile, now, batch_, waitMs);
    // The next batch is smaller after one that held the file too long.
    const auto took = std::chrono::steady_clock::now() - start;
    if (took > kPruneBatchTime) batch_ = std::max(100, batch_ / 2);
    else if (took < kPruneBatchTime / 3) batch_ = std::min(20000, batch_ * 2);
    return removed;
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
    JournalPruning pruning;
    int total = 0;
    for (;;) {
        const auto removed = pruning.Next(db, databaseFile, now, kJournalAfterMs);
        if (!removed) return std::unexpected(removed.error());
        if (*removed == 0) return total;
        total += *removed;
        // A gap in which waiting labels take the file first.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool PrintJournal::PruneBatch(std::chrono::system_clock::time_point now) {
    auto db = Connect();
    if (!db) return false;
    return pruning_.Next(*db, file_, now, kPruneBetweenMs).value_or(0) > 0;
}

}  // namespace tarnwick
