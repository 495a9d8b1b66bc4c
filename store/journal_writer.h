#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/failure.h"
#include "store/journal_rows.h"
#include "store/shared_plant.h"

namespace tarnwick {

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
    // A write, and what its caller is told once the commit it shares is done or failed.
    struct Task {
        std::function<void(PrintJournal&)> write;
        std::function<void(const std::expected<void, Failure>& committed)> told;
    };
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

// The one writer of a data.mdb's journal in this process, made by the first to ask and
// shared with every later one (the main window, History, Setup): rows are written in
// one order and each outage is told once, through the notice of whoever made it.
std::shared_ptr<JournalWriter> SharedJournalWriter(const std::filesystem::path& databaseFile, JournalNotice notice,
                                                   bool prune = true, std::shared_ptr<SharedPlant> shared = nullptr);

}  // namespace tarnwick
