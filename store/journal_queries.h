#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "base/failure.h"
#include "store/journal_rows.h"

namespace tarnwick {

// The outcome and message as History and tarnwick-cli history show them.
struct ShownOutcome {
    std::string outcome, message;
};
ShownOutcome ShowOutcome(const JournalEntry& job);

// What the history shows: newest first. wip and style match whole values, or their
// beginnings with prefix set, ignoring ASCII case; since is a date or time as the
// journal writes them (2026-12-01, 2026-12-01T08:00); a limit of 0 lists every job.
struct JournalQuery {
    std::string wip, style;
    bool prefix = false;
    std::string since;
    int limit = 0;
    std::string station;  // the plant's history only: one station's jobs
};

// The jobs without their streams. A data.mdb without a journal has no jobs; reading
// never creates the table.
std::expected<std::vector<JournalEntry>, Failure> ReadJournal(const std::filesystem::path& databaseFile,
                                                              const JournalQuery& query);

// One job with its stream.
std::expected<JournalEntry, Failure> ReadJournalJob(const std::filesystem::path& databaseFile, std::int64_t id);

// UTC ISO 8601 with milliseconds, as the journal writes times.
std::string JournalTime(std::chrono::system_clock::time_point when);
// A journal time as the station's clock reads it, "2026-12-01 09:30:05", as History shows
// times; the text unchanged when it is no journal time.
std::string LocalJournalTime(const std::string& journalTime);

}  // namespace tarnwick
