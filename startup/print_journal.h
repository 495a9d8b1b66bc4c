#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "labels/failure.h"

struct sqlite3;

namespace tarnwick {

// One label job as the journal keeps it: table PrintJournal of data.mdb.
struct JournalEntry {
    std::int64_t id = 0;             // given by the journal
    std::string time;                // UTC, ISO 8601 ("2026-12-08T09:15:02.123Z"); now when left empty
    std::string station;             // host name; this host's when left empty
    std::string source;              // "window", "cli", "sample" or "reprint"
    std::string layout;              // "A1" .. "E", "sample"; the lookup's code when no layout was chosen
    std::string wip, style, quantity;
    std::string cutSheet;            // empty for a typed label
    std::optional<int> cutRow;
    std::string route;               // "queue" or "device"
    std::string printer;             // the queue's name or the device's path
    std::string outcome;             // "sent", "refused" or "failed"
    std::string message;             // why it was refused or failed; a route's note when sent
    std::int64_t byteCount = 0;
    std::optional<std::string> stream;  // the exact bytes; none when nothing was composed
    std::optional<std::int64_t> reprintOf;
};

inline constexpr int kDefaultJournalDays = 180;

// Writes jobs to the journal of one data.mdb, creating the table on first use. Keeps
// its own connection, so a journal that cannot be written never touches the settings
// handle. The operator is told once per process and data.mdb that the journal is not
// being kept, however many journals the windows and commands open on it.
class PrintJournal {
public:
    explicit PrintJournal(std::filesystem::path databaseFile);
    // Writes through a connection the caller keeps open (a command's settings handle),
    // which spares a one-shot command a second open and schema read of data.mdb.
    PrintJournal(std::filesystem::path databaseFile, sqlite3* borrowed);
    PrintJournal(const PrintJournal&) = delete;
    PrintJournal& operator=(const PrintJournal&) = delete;
    ~PrintJournal();

    // The new row's id. The entry's stream, when there is one, gives the byte count.
    std::expected<std::int64_t, Failure> Record(JournalEntry entry);

    // Record, for callers that print whatever happens to the journal: the warning to
    // show when the row could not be written and the operator has not yet been told.
    std::optional<Failure> RecordOrWarn(JournalEntry entry);

    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
    bool owned_ = true;
};

// Writes journal rows on a thread of its own, so that Print Labels never waits for the
// disk: a durable commit costs several milliseconds of syncing, and a database held by
// another program up to the busy timeout. Rows are written in the order posted.
class JournalWriter {
public:
    // onWarning runs on the writer's thread, once, when a row cannot be written.
    JournalWriter(std::filesystem::path databaseFile, std::function<void(const Failure&)> onWarning);
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;
    // Writes what is still queued, then stops.
    ~JournalWriter();

    void Post(JournalEntry entry);
    // Returns once every row posted so far is written or given up.
    void Flush();

private:
    void Run();

    PrintJournal journal_;
    std::function<void(const Failure&)> onWarning_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<JournalEntry> queue_;
    bool writing_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// What the history shows: newest first. wip and style match whole values, or their
// beginnings with prefix set, ignoring ASCII case; since is a date or time as the
// journal writes them (2026-12-01, 2026-12-01T08:00); a limit of 0 lists every job.
struct JournalQuery {
    std::string wip, style;
    bool prefix = false;
    std::string since;
    int limit = 0;
};

// The jobs without their streams. A data.mdb without a journal has no jobs; reading
// never creates the table.
std::expected<std::vector<JournalEntry>, Failure> ReadJournal(const std::filesystem::path& databaseFile,
                                                              const JournalQuery& query);

// One job with its stream.
std::expected<JournalEntry, Failure> ReadJournalJob(const std::filesystem::path& databaseFile, std::int64_t id);

// Days a job is kept: column JournalDays of the Settings row when the column is there
// and holds a whole number; 180 otherwise. 0 keeps every job.
int JournalDays(sqlite3* db);

// Sets the retention in column JournalDays of the Settings row, adding the column to
// an older data.mdb; 0 keeps every job.
std::expected<void, Failure> SetJournalDays(const std::filesystem::path& databaseFile, int days);

// Removes, in one transaction, the jobs older than the retention before `now`. The
// number of jobs removed; 0 when there is no journal.
std::expected<int, Failure> PruneJournal(const std::filesystem::path& databaseFile,
                                         std::chrono::system_clock::time_point now);
// The same through an open connection to it.
std::expected<int, Failure> PruneJournal(sqlite3* db, const std::filesystem::path& databaseFile,
                                         std::chrono::system_clock::time_point now);

// UTC ISO 8601 with milliseconds, as the journal writes times.
std::string JournalTime(std::chrono::system_clock::time_point when);

}  // namespace tarnwick
