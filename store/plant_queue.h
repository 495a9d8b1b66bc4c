#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <vector>

#include "base/failure.h"
#include "store/journal_rows.h"

struct sqlite3;

namespace tarnwick {

// The rows waiting to go to the plant database, in the order they changed, each with its
// stream as it stands now, and the last queued change they cover.
struct PlantBacklog {
    std::int64_t upTo = 0;
    std::vector<JournalEntry> jobs;
};
std::expected<PlantBacklog, Failure> PlantBacklogOf(sqlite3* db, const std::filesystem::path& databaseFile, int limit);
// Takes the changes up to `upTo` off the queue once the plant database holds them.
std::expected<void, Failure> ForgetForwarded(sqlite3* db, const std::filesystem::path& databaseFile, std::int64_t upTo);
// How many rows wait to go; 0 when nothing was ever queued.
std::expected<std::int64_t, Failure> PlantBacklogSize(sqlite3* db, const std::filesystem::path& databaseFile);
// Queues every job of the journal (a station moving over to a plant database); the count.
std::expected<std::int64_t, Failure> QueueWholeJournal(sqlite3* db, const std::filesystem::path& databaseFile);

}  // namespace tarnwick
