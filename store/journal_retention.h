#pragma once

#include <chrono>
#include <expected>
#include <filesystem>

#include "base/failure.h"

struct sqlite3;

namespace tarnwick {

inline constexpr int kDefaultJournalDays = 180;

// Days a job is kept: column JournalDays of the Settings row when the column is there
// and holds a whole number; 180 otherwise. 0 keeps every job.
int JournalDays(sqlite3* db);

// Sets the retention in column JournalDays of the Settings row, adding the column to
// an older data.mdb; 0 keeps every job.
std::expected<void, Failure> SetJournalDays(const std::filesystem::path& databaseFile, int days);

// Removes the jobs older than the retention before `now`, in batches of their own short
// transactions so that no label waits long for the file. The number of jobs removed;
// 0 when there is no journal.
std::expected<int, Failure> PruneJournal(const std::filesystem::path& databaseFile,
                                         std::chrono::system_clock::time_point now);
// The same through an open connection to it.
std::expected<int, Failure> PruneJournal(sqlite3* db, const std::filesystem::path& databaseFile,
                                         std::chrono::system_clock::time_point now);

// One batch of that: at most `batch` of the oldest expired jobs, in one short
// transaction; the number removed, 0 when none are left.
// waitMs is how long it waits for another program's lock before giving up for now.
std::expected<int, Failure> PruneJournalBatch(sqlite3* db, const std::filesystem::path& databaseFile,
                                              std::chrono::system_clock::time_point now, int batch = 1000,
                                              int waitMs = 20);

// Pruning batch after batch: each batch is sized by how long the last one held the file,
// so that no label waits for one much longer than a batch's time.
class JournalPruning {
public:
    // One batch (see PruneJournalBatch).
    std::expected<int, Failure> Next(sqlite3* db, const std::filesystem::path& databaseFile,
                                     std::chrono::system_clock::time_point now, int waitMs);

private:
    int batch_ = 1000;
};

}  // namespace tarnwick
