#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "store/shared_plant.h"
#include "store/sqlite_file.h"

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
    // "sending" (written ahead of the bytes), then "sent", "failed", or "unconfirmed" (every
    // byte went but the server never said it took them); "refused" when nothing was sent
    std::string outcome;
    std::string message;             // why it was refused or failed; a route's note when sent
    std::int64_t byteCount = 0;
    std::optional<std::string> stream;  // the exact bytes; none when nothing was composed
    std::optional<std::int64_t> reprintOf;
    std::string reprintOfStation;    // the station whose job reprintOf is; empty for this station's
    std::string stationId;           // the plant's history only: the station's id there
};

inline constexpr int kDefaultJournalDays = 180;

// The outcome of a row written ahead of its bytes until the printer has answered. A row
// still "sending" when nobody is sending it is a label that may have gone.
inline constexpr const char* kSending = "sending";

// The outcome and message as History and tarnwick-cli history show them.
struct ShownOutcome {
    std::string outcome, message;
};
ShownOutcome ShowOutcome(const JournalEntry& job);

// What the operator is told of the journal: it has stopped being kept, or is kept again.
using JournalNotice = std::function<void(const Failure&)>;

// How a front end keeps its label jobs: each job's row is committed before its bytes
// leave and given its outcome after the printer's answer, so a label never leaves
// without a row and no row says sent for a label that did not go.
class JobRecorder {
public:
    virtual ~JobRecorder() = default;
    // Writes a row (outcome "sending" when none is given); its id, or why it could not be
    // written within a short wait. The recorder tells its notice of each outage too.
    virtual std::expected<std::int64_t, Failure> Begin(JournalEntry entry) = 0;
    virtual void Complete(std::int64_t id, std::string outcome, std::string message) = 0;
};

// Writes jobs to the journal of one data.mdb, creating the table on first use. Keeps
// its own connection, so a journal that cannot be written never touches the settings
// handle. Each outage is told once, through `notice`, however many journals the windows
// and commands open on the same data.mdb, and so is the journal being kept again.
class PrintJournal final : public JobRecorder {
public:
    // With forward set each row and outcome is also queued, in the same transaction, for
    // the plant database (a station that names one).
    explicit PrintJournal(std::filesystem::path databaseFile, JournalNotice notice = {}, bool forward = false);
    // Writes through a connection the caller keeps open (a command's settings handle),
    // which spares a one-shot command a second open and schema read of data.mdb.
    // forward as above. A one-shot command may give sendOn, which hands a finished row (with its outcome) to
    // the plant at once and says whether the plant has it: the row then leaves the queue
    // in the outcome's own commit, which spares data.mdb a third write for each label.
    using SendOn = std::function<bool(const JournalEntry&)>;
    PrintJournal(std::filesystem::path databaseFile, sqlite3* borrowed, JournalNotice notice = {},
                 bool forward = false, SendOn sendOn = {});
    PrintJournal(const PrintJournal&) = delete;
    PrintJournal& operator=(const PrintJournal&) = delete;
    ~PrintJournal() override;

    // One whole row; its id. The entry's stream, when there is one, gives the byte count.
    std::expected<std::int64_t, Failure> Record(JournalEntry entry);
    // A row's outcome and message, once the printer has answered. The label has gone by
    // then, so this waits longer for another station's lock than Record.
    std::expected<void, Failure> Finish(std::int64_t id, std::string_view outcome, std::string_view message);

    std::expected<std::int64_t, Failure> Begin(JournalEntry entry) override;
    void Complete(std::int64_t id, std::string outcome, std::string message) override;

    // Removes the jobs older than the retention, a short transaction at a time (see
    // PruneJournal); false when there is nothing (more) to remove or it failed.
    bool PruneBatch(std::chrono::system_clock::time_point now);

    const std::filesystem::path& file() const { return file_; }

private:
    // Tells the operator when the journal stops or starts being kept again.
    template <class T>
    T Told(T result);
    Failure NotKept(std::string_view cause, std::string_view remedy) const;
    std::expected<sqlite3*, Failure> Connect();

    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
    bool owned_ = true;
    std::optional<FileIdentity> identity_;
    std::map<std::int64_t, FileIdentity> begunIn_;  // the file each row written ahead is in
    JournalNotice notice_;
    int pruneBatch_ = 1000;
    bool forward_ = false;
    SendOn sendOn_;
    bool columnsChecked_ = false;
};

// Writes journal rows on a thread of its own, so that Print Labels waits only for the
// rows written ahead of labels, never for an outcome or for pruning. Rows ahead are
// written first in, first out, before the outcomes waiting; the outcomes in the order
// asked; pruning a short batch at a time between them.
class JournalWriter final : public JobRecorder {
public:
    // notice runs on the writer's thread. With prune set, old jobs are removed once,
    // starting now.
    // With `shared` set, each row and outcome is also queued for the plant database, and
    // `shared` is told when rows are written.
    JournalWriter(std::filesystem::path databaseFile, JournalNotice notice, bool prune = true,
                  std::shared_ptr<SharedPlant> shared = nullptr);
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;
    // Writes what is still queued, then stops; pruning left over waits for the next start.
    ~JournalWriter() override;

    // Waits for the row: the label must not leave before it.
    std::expected<std::int64_t, Failure> Begin(JournalEntry entry) override;
    void Complete(std::int64_t id, std::string outcome, std::string message) override;
    // Returns once every row posted so far is written or given up.
    void Flush();

private:
    void Run();
    using Task = std::function<void(PrintJournal&)>;
    void Enqueue(Task task, bool rowAhead);

    PrintJournal journal_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Task> rowsAhead_;
    std::deque<Task> queue_;
    bool writing_ = false;
    bool pruning_ = false;
    bool stop_ = false;
    std::shared_ptr<SharedPlant> shared_;
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
    std::string station;  // the plant's history only: one station's jobs
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

// The rows waiting to go to the plant database, in the order they changed, each with its
// stream as it stands now, and the last queued change they cover.
struct PlantBacklog {
    std::int64_t upTo = 0;
    std::vector<JournalEntry> jobs;
};
std::expected<PlantBacklog, Failure> PlantBacklogOf(sqlite3* db, const std::filesystem::path& databaseFile,
                                                    int limit);
// Takes the changes up to `upTo` off the queue once the plant database holds them.
std::expected<void, Failure> ForgetForwarded(sqlite3* db, const std::filesystem::path& databaseFile,
                                             std::int64_t upTo);
// How many rows wait to go; 0 when nothing was ever queued.
std::expected<std::int64_t, Failure> PlantBacklogSize(sqlite3* db, const std::filesystem::path& databaseFile);
// Queues every job of the journal (a station moving over to a plant database); the count.
std::expected<std::int64_t, Failure> QueueWholeJournal(sqlite3* db, const std::filesystem::path& databaseFile);

// UTC ISO 8601 with milliseconds, as the journal writes times.
std::string JournalTime(std::chrono::system_clock::time_point when);
// A journal time as the station's clock reads it, "2026-12-01 09:30:05", as History shows
// times; the text unchanged when it is no journal time.
std::string LocalJournalTime(const std::string& journalTime);

}  // namespace tarnwick
