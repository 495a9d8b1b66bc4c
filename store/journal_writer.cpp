#include "store/journal_writer.h"

#include <map>
#include <vector>

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
    // The caller hears of its row once the row is committed: its label must not leave before.
    Enqueue({[&](PrintJournal& journal) { id = journal.Begin(std::move(entry)); },
             [&](const std::expected<void, Failure>& committed) {
                 const std::lock_guard lock(done);
                 if (!committed && id) id = std::unexpected(committed.error());
                 finished = true;
                 written.notify_one();
             }},
            true);
    std::unique_lock lock(done);
    written.wait(lock, [&] { return finished; });
    return id;
}

void JournalWriter::Complete(std::int64_t id, std::string outcome, std::string message) {
    Enqueue({[id, outcome = std::move(outcome), message = std::move(message)](PrintJournal& journal) mutable {
                 journal.Complete(id, std::move(outcome), std::move(message));
             },
             {}},
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
        // Whatever waits now goes in one commit, the rows ahead first.
        std::vector<Task> batch;
        for (std::deque<Task>* waiting : {&rowsAhead_, &queue_}) {
            for (Task& task : *waiting) batch.push_back(std::move(task));
            waiting->clear();
        }
        writing_ = true;
        lock.unlock();
        std::expected<void, Failure> committed;
        if (batch.size() == 1) batch.front().write(journal_);
        else
            committed = journal_.Together([&] {
                for (Task& task : batch) task.write(journal_);
            });
        for (Task& task : batch)
            if (task.told) task.told(committed);
        // The plant's side sends rows on from a thread of its own: no label waits for it.
        if (shared_) shared_->RowsWritten();
        lock.lock();
        writing_ = false;
        if (rowsAhead_.empty() && queue_.empty()) idle_.notify_all();
    }
}

std::shared_ptr<JournalWriter> SharedJournalWriter(const std::filesystem::path& databaseFile, JournalNotice notice,
                                                   bool prune, std::shared_ptr<SharedPlant> shared) {
    static std::mutex guard;
    static std::map<std::filesystem::path, std::weak_ptr<JournalWriter>> writers;
    std::error_code ec;
    const std::filesystem::path key =
        std::filesystem::weakly_canonical(std::filesystem::absolute(databaseFile, ec), ec);
    const std::lock_guard lock(guard);
    std::weak_ptr<JournalWriter>& known = writers[key];
    if (auto writer = known.lock()) return writer;
    auto writer = std::make_shared<JournalWriter>(databaseFile, std::move(notice), prune, std::move(shared));
    known = writer;
    return writer;
}

}  // namespace tarnwick
