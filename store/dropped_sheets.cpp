#include "store/dropped_sheets.h"

#include <sqlite3.h>

#include <chrono>

#include "store/journal_queries.h"
#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

constexpr const char* kCreate =
    "CREATE TABLE IF NOT EXISTS DroppedSheets (ID INTEGER PRIMARY KEY AUTOINCREMENT, Time TEXT NOT NULL, "
    "Digest TEXT NOT NULL, Name TEXT, Printer TEXT, Run INTEGER, JournalAfter INTEGER, Outcome TEXT, Message TEXT);"
    "CREATE INDEX IF NOT EXISTS DroppedSheetsByDigest ON DroppedSheets (Digest);";

constexpr const char* kColumns = "ID, Time, Digest, Name, Printer, Run, JournalAfter, Outcome, Message";

DroppedSheet SheetFromRow(sqlite3_stmt* row) {
    DroppedSheet sheet;
    sheet.id = sqlite3_column_int64(row, 0);
    sheet.time = ColumnText(row, 1);
    sheet.digest = ColumnText(row, 2);
    sheet.name = ColumnText(row, 3);
    sheet.printer = ColumnText(row, 4);
    sheet.run = sqlite3_column_int64(row, 5);
    sheet.journalAfter = sqlite3_column_int64(row, 6);
    sheet.outcome = ColumnText(row, 7);
    sheet.message = ColumnText(row, 8);
    return sheet;
}

// The first row a query of one digest (?1) finds.
std::optional<DroppedSheet> FindDrop(sqlite3* db, const std::string& where, const std::string& digest) {
    Statement select(db, std::string("SELECT ") + kColumns + " FROM DroppedSheets WHERE " + where);
    if (!select.ok()) return std::nullopt;
    BindText(select.get(), 1, digest);
    if (sqlite3_step(select.get()) != SQLITE_ROW) return std::nullopt;
    return SheetFromRow(select.get());
}

std::int64_t LastJournalId(sqlite3* db) {
    if (!HasTable(db, "PrintJournal")) return 0;
    Statement select(db, "SELECT COALESCE(MAX(ID), 0) FROM PrintJournal");
    return select.ok() && sqlite3_step(select.get()) == SQLITE_ROW ? sqlite3_column_int64(select.get(), 0) : 0;
}

}  // namespace

std::string DropCutSheet(std::string_view name, std::int64_t run) {
    return std::string(name) + " (drop " + std::to_string(run) + ")";
}

std::expected<DropDecision, Failure> BeginDrop(const std::filesystem::path& databaseFile, const NewDrop& drop) {
    auto opened = OpenExistingDatabase(databaseFile, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    const auto failed = [&] {
        return std::unexpected(DatabaseFailure(databaseFile, db.get(), "record the cut sheet"));
    };
    Transaction transaction(db.get());
    if (!transaction.ok() || !Exec(db.get(), kCreate)) return failed();

    DropDecision decision;
    const auto latest =
        FindDrop(db.get(), "Digest = ?1 AND Outcome <> 'refused' ORDER BY ID DESC LIMIT 1", drop.digest);
    if (latest && latest->outcome == "printed") {
        decision.start = drop.again ? DropStart::Whole : DropStart::Refused;
        if (!drop.again)
            decision.earlier =
                FindDrop(db.get(), "Digest = ?1 AND Outcome = 'printed' ORDER BY ID LIMIT 1", drop.digest);
    } else if (latest && latest->outcome == "failed") {
        decision.start = drop.again ? DropStart::Whole : DropStart::GoOn;
        if (!drop.again) decision.earlier = latest;
    } else if (latest) {
        // Still printing when nobody prints it: the service stopped during the sheet.
        decision.start = DropStart::Resume;
        decision.earlier = latest;
    }

    DroppedSheet& row = decision.drop;
    row.time = JournalTime(std::chrono::system_clock::now());
    row.digest = drop.digest;
    row.name = drop.name;
    row.printer = drop.printer;
    row.outcome = decision.start == DropStart::Refused ? "refused" : kDropPrinting;
    if (decision.start == DropStart::Whole) row.journalAfter = LastJournalId(db.get());
    if (decision.start == DropStart::Resume || decision.start == DropStart::GoOn) {
        row.run = decision.earlier->run;
        row.journalAfter = decision.earlier->journalAfter;
    }
    Statement insert(db.get(),
                     "INSERT INTO DroppedSheets (Time, Digest, Name, Printer, Run, JournalAfter, Outcome, Message) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, '')");
    if (!insert.ok()) return failed();
    BindText(insert.get(), 1, row.time);
    BindText(insert.get(), 2, row.digest);
    BindText(insert.get(), 3, row.name);
    BindText(insert.get(), 4, row.printer);
    if (row.run != 0) sqlite3_bind_int64(insert.get(), 5, row.run);
    sqlite3_bind_int64(insert.get(), 6, row.journalAfter);
    BindText(insert.get(), 7, row.outcome);
    if (sqlite3_step(insert.get()) != SQLITE_DONE) return failed();
    row.id = sqlite3_last_insert_rowid(db.get());
    if (decision.start == DropStart::Whole) {
        row.run = row.id;
        Statement own(db.get(), "UPDATE DroppedSheets SET Run = ID WHERE ID = ?1");
        if (!own.ok()) return failed();
        sqlite3_bind_int64(own.get(), 1, row.id);
        if (sqlite3_step(own.get()) != SQLITE_DONE) return failed();
    }
    if (decision.start == DropStart::Resume) {
        Statement stopped(db.get(),
                          "UPDATE DroppedSheets SET Outcome = 'stopped', Message = ?1 WHERE Run = ?2 AND ID <> ?3 "
                          "AND Outcome = 'printing'");
        if (!stopped.ok()) return failed();
        BindText(stopped.get(), 1, "Stopped halfway; drop " + std::to_string(row.id) + " went on with it.");
        sqlite3_bind_int64(stopped.get(), 2, row.run);
        sqlite3_bind_int64(stopped.get(), 3, row.id);
        if (sqlite3_step(stopped.get()) != SQLITE_DONE) return failed();
    }
    if (!transaction.Commit()) return failed();
    return decision;
}

std::expected<void, Failure> FinishDrop(const std::filesystem::path& databaseFile, std::int64_t id,
                                        std::string_view outcome, std::string_view message) {
    auto opened = OpenExistingDatabase(databaseFile, false);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    Statement update(db.get(), "UPDATE DroppedSheets SET Outcome = ?1, Message = ?2 WHERE ID = ?3");
    if (update.ok()) {
        BindText(update.get(), 1, outcome);
        BindText(update.get(), 2, message);
        sqlite3_bind_int64(update.get(), 3, id);
        if (sqlite3_step(update.get()) == SQLITE_DONE) return {};
    }
    return std::unexpected(DatabaseFailure(databaseFile, db.get(), "record the end of the cut sheet"));
}

std::expected<std::vector<JournalEntry>, Failure> DropJobs(const std::filesystem::path& databaseFile,
                                                           const DroppedSheet& drop) {
    auto opened = OpenExistingDatabase(databaseFile, true);
    if (!opened) return std::unexpected(opened.error());
    Connection db(*opened);
    std::vector<JournalEntry> jobs;
    if (!HasTable(db.get(), "PrintJournal")) return jobs;
    // The id's range keeps the read to the rows written since the run began; reprints,
    // which copy the cut sheet, are no labels of the run.
    Statement select(db.get(),
                     "SELECT ID, CutRow, WIP, Outcome, Message FROM PrintJournal WHERE ID > ?1 AND Source LIKE "
                     "'drop folder:%' AND substr(CutSheet, -length(?2)) = ?2 ORDER BY ID");
    if (!select.ok()) return std::unexpected(DatabaseFailure(databaseFile, db.get(), "be read"));
    sqlite3_bind_int64(select.get(), 1, drop.journalAfter);
    BindText(select.get(), 2, DropCutSheet("", drop.run));
    int rc;
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
        JournalEntry job;
        job.id = sqlite3_column_int64(select.get(), 0);
        if (sqlite3_column_type(select.get(), 1) != SQLITE_NULL)
            job.cutRow = static_cast<int>(sqlite3_column_int64(select.get(), 1));
        job.wip = ColumnText(select.get(), 2);
        job.outcome = ColumnText(select.get(), 3);
        job.message = ColumnText(select.get(), 4);
        jobs.push_back(std::move(job));
    }
    if (rc != SQLITE_DONE) return std::unexpected(DatabaseFailure(databaseFile, db.get(), "be read"));
    return jobs;
}

}  // namespace tarnwick
