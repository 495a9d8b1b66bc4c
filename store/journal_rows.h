#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "base/held_signals.h"
#include "store/journal_retention.h"
#include "store/sqlite_file.h"

struct sqlite3;

namespace tarnwick {

// One label job as the journal keeps it: table PrintJournal of data.mdb.
struct JournalEntry {
    std::int64_t id = 0;  // given by the journal
    std::string time;  // UTC, ISO 8601 ("2026-12-08T09:15:02.123Z"); now when left empty
    std::string station;  // host name; this host's when left empty
    std::string source;  // "window", "cli", "sample" or "reprint"
    std::string layout;  // "A1" .. "E", "sample"; the lookup's code when no layout was chosen
    std::string wip, style, quantity;
    std::string cutSheet;  // empty for a typed label
    std::optional<int> cutRow;
    std::string route;  // "queue" or "device"
    std::string printer;  // the queue's name or the device's path
    // "sending" (written ahead of the bytes), then "sent", "failed", or "unconfirmed" (every
    // byte went but the server never said it took them); "refused" when nothing was sent
    std::string outcome;
    std::string message;  // why it was refused or failed; a route's note when sent
    std::int64_t byteCount = 0;
    std::optional<std::string> stream;  // the exact bytes; none when nothing was composed
    std::optional<std::int64_t> reprintOf;
    std::string reprintOfStation;  // the station whose job reprintOf is; empty for this station's
    std::string stationId;  // the plant's history only: the station's id there
    // A service request's Idempotency-Key and the digest of its body, kept with the row in
    // the row's own transaction (table RequestKeys): a retry finds the job, never a second.
    std::string requestKey, requestDigest;
};

// The outcome of a row written ahead of its bytes until the printer has answered. A row
// still "sending" when nobody is sending it is a label that may have gone.
inline constexpr const char* kSending = "sending";

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
// handle. Each outage is told once, through `notice`, and so is the journal being kept
// again; a process keeps one journal for a data.mdb (SharedJournalWriter), so that is
// once for the process.
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
    PrintJournal(std::filesystem::path databaseFile, sqlite3* borrowed, JournalNotice notice = {}, bool forward = false,
                 SendOn sendOn = {});
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

    // For a run of labels (a whole cut sheet): a label's outcome waits for the next
    // label's row and shares its commit, one commit a label instead of two. A label whose
    // outcome waits is still in hand, so a stop request waits for it too (FlushOutcome).
    void ShareOutcomeCommits() { shareOutcomes_ = true; }
    // Writes the outcome that waits, if any; the run's end, or a stop requested.
    void FlushOutcome();

    // Runs `work`, this journal's own writes, in one transaction: rows and outcomes that
    // wait together share one commit. When the lock cannot be had within a row's wait,
    // `work` runs as it would alone. A commit that fails is the failure of every write
    // in it.
    std::expected<void, Failure> Together(const std::function<void()>& work);

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
    // The plant is handed a finished row before data.mdb is locked for its outcome.
    bool Deliver(sqlite3* db, std::int64_t id, std::string_view outcome, std::string_view message);
    std::expected<void, Failure> WriteOutcome(sqlite3* db, std::int64_t id, std::string_view outcome,
                                              std::string_view message, bool delivered);
    // Whether the row was begun in the file now in place; forgets it.
    bool StillInPlace(std::int64_t id);

    struct Outcome {
        std::int64_t id;
        std::string outcome, message;
    };

    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
    bool owned_ = true;
    std::optional<FileIdentity> identity_;
    std::map<std::int64_t, FileIdentity> begunIn_;  // the file each row written ahead is in
    JournalNotice notice_;
    JournalPruning pruning_;
    bool forward_ = false;
    SendOn sendOn_;
    bool columnsChecked_ = false;
    bool down_ = false;  // what the notice last told
    bool shareOutcomes_ = false;
    std::optional<Outcome> waiting_;
    std::optional<HeldSignals> waitingHeld_;
};

}  // namespace tarnwick
