#pragma once

// The journal's table in SQLite, for the store's own journal code; callers use
// store/print_journal.h.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "base/failure.h"
#include "store/journal_rows.h"
#include "store/sqlite_file.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tarnwick {

// The outcome comes after the label has gone, and pruning and the plant's queue wait for
// no label, so they may wait this long for another station's lock.
inline constexpr int kJournalAfterMs = 2000;

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

bool HasJournal(sqlite3* db);

// Makes the table and its indexes.
bool CreateJournal(sqlite3* db);
// Adds to a journal made by an older Tarnwick the columns it lacks.
bool AddMissingColumns(sqlite3* db);

// Writes one row; the caller gives the transaction.
bool InsertEntry(sqlite3* db, const JournalEntry& entry);

// SELECT of every column but the stream, with a NULL for each one an older journal lacks,
// for EntryFromRow.
std::string SelectEntries(sqlite3* db);
// SELECT of one job (?1) with its stream, for EntryWithStream.
std::string SelectEntryWithStream(sqlite3* db);
JournalEntry EntryFromRow(sqlite3_stmt* row);
JournalEntry EntryWithStream(sqlite3_stmt* row);
std::optional<JournalEntry> RowWithStream(sqlite3* db, std::int64_t id);

Failure JournalReadFailure(const std::filesystem::path& file, sqlite3* db);

// The plant queue's side of a row's own transaction (plant_queue.cpp).
bool CreateOutbox(sqlite3* db);
bool QueueForPlant(sqlite3* db, std::int64_t id);
bool Unqueue(sqlite3* db, std::int64_t id);
// Whether rows other than `id` wait to go to the plant.
bool OthersQueued(sqlite3* db, std::int64_t id);

}  // namespace tarnwick
