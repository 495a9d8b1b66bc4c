#include "store/journal_writer.h"

#include <chrono>

namespace tarnwick {

JournalWriter::JournalWriter(std::filesystem::path databaseFile, JournalNotice notice, bool prune,
                             std::shared_ptr<SharedPlant> shared)
    : journal_(std::move(databaseFile), std::move(notice), shared != nullptr),
      pruning_(prune),
      shared_(std::move(shared)),
      thread_([this] { Run(); }) {}

JournalWriter::~JournalWriter() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void JournalWriter::Enqueue(Task task, bool rowAhead) {
    {
        const std::lock_guard lock(mutex_);
        // A label waits for the rows ahead of it, never for the outcomes queued before it.
        (rowAhead ? rowsAhead_ : queue_).push_back(std::move(task));
    }
    wake_.notify_one();
}

std::expected<std::int64_t, Failure> JournalWriter::Begin(JournalEntry entry) {
    std::mutex done;
    std::condition_variable written;
    bool finished = false;
    std::expected<std::int64_t, Failure> id = std::unexpected(Failure{});
    Enqueue(
        [&](PrintJournal& journal) {
            auto result = journal.Begin(std::move(entry));
            const std::lock_guard lock(done);
            id = result;
            finished = true;
            written.notify_one();
        },
        true);
    std::unique_lock lock(done);
    written.wait(lock, [&] { return finished; });
    return id;
}

void JournalWriter::Complete(std::int64_t id, std::string outcome, std::string message) {
    Enqueue(
        [id, outcome = std::move(outcome), message = std::move(message)](PrintJournal& journal) mutable {
            journal.Complete(id, std::move(outcome), std::move(message));
        },
        false);
}

void JournalWriter::Flush() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return rowsAhead_.empty() && queue_.empty() && !writing_; });
}

void JournalWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto ready = [this] { return stop_ || !rowsAhead_.empty() || !queue_.empty(); };
        // While pruning, a short pause between batches; otherwise asleep until asked.
        if (pruning_) wake_.wait_for(lock, std::chrono::milliseconds(5), ready);
        else wake_.wait(lock, ready);
        if (rowsAhead_.empty() && queue_.empty()) {
            if (stop_) return;
            if (!pruning_) continue;
            // Between rows: one short batch, then the queue is looked at again.
            lock.unlock();
            const bool more = journal_.PruneBatch(std::chrono::system_clock::now());
            lock.lock();
            pruning_ = more;
            continue;
        }
        std::deque<Task>& next = rowsAhead_.empty() ? queue_ : rowsAhead_;
        auto task = std::move(next.front());
        next.pop_front();
        writing_ = true;
        lock.unlock();
        task(journal_);
        // The plant's side sends rows on from a thread of its own: no label waits for it.
        if (shared_) shared_->RowsWritten();
        lock.lock();
        writing_ = false;
        if (rowsAhead_.empty() && queue_.empty()) idle_.notify_all();
    }
}

}  // namespace tarnwick
