#include "service/service_core.h"

#include <unistd.h>

#include <condition_variable>
#include <iostream>

#include <nlohmann/json.hpp>

#include "base/digest.h"

#include "store/journal_queries.h"
#include "store/request_keys.h"

namespace tarnwick::service {
namespace {

// Five wrong tokens from one address within this window, and it waits out the rest of it.
constexpr int kFailedLogins = 5;
constexpr auto kLoginWindow = std::chrono::seconds(60);

}  // namespace

std::string EventHub::EventText(const std::string& source, const Failure& notice) {
    const nlohmann::json data = {{"source", source}, {"text", notice.text}, {"clears", notice.clears}};
    return "event: notice\ndata: " + data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n\n";
}

std::shared_ptr<EventStream> EventHub::Open() {
    auto stream = std::make_shared<EventStream>();
    const std::lock_guard lock(mutex_);
    // The browser reconnects by itself after this long when the stream breaks.
    stream->Send("retry: 3000\n\n");
    for (const auto& [source, notice] : standing_) stream->Send(EventText(source, notice));
    std::erase_if(streams_, [](const std::weak_ptr<EventStream>& s) { return s.expired(); });
    streams_.push_back(stream);
    return stream;
}

void EventHub::Notice(const std::string& source, const Failure& notice) {
    const std::lock_guard lock(mutex_);
    const auto standing = standing_.find(source);
    // Only a change is news: the same outage told again, or an end of none, is not.
    if (notice.clears ? standing == standing_.end()
                      : standing != standing_.end() && standing->second.text == notice.text)
        return;
    if (notice.clears) standing_.erase(standing);
    else standing_[source] = notice;
    const std::string text = EventText(source, notice);
    for (const auto& weak : streams_)
        if (auto stream = weak.lock()) stream->Send(text);
}

void EventHub::Ping() {
    const std::lock_guard lock(mutex_);
    std::erase_if(streams_, [](const std::weak_ptr<EventStream>& weak) {
        auto stream = weak.lock();
        return !stream || !stream->Send(": ping\n\n");
    });
}

void EventHub::CloseAll() {
    const std::lock_guard lock(mutex_);
    for (const auto& weak : streams_)
        if (auto stream = weak.lock()) stream->Close();
    streams_.clear();
}

void Metrics::Request(int status) {
    const std::lock_guard lock(mutex);
    ++requests[status];
}

void Metrics::Job(const std::string& outcome) {
    const std::lock_guard lock(mutex);
    ++jobs[outcome];
}

void LogLine(const std::string& line) {
    static std::mutex guard;
    const std::lock_guard lock(guard);
    const std::string whole = line + "\n";
    // One write: systemd's journal takes a line as it comes.
    (void)!::write(STDERR_FILENO, whole.data(), whole.size());
}

ServiceCore::ServiceCore(Plant plant) : plant_(std::move(plant)), sheets_(plant_.folder / "uploads") {}

std::string ServiceCore::OpenSession(const TokenInfo& token) {
    const std::string id = RandomHex(32);
    const std::lock_guard lock(sessionsMutex_);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(sessions_, [&](const auto& s) { return now - s.second.last > sessionIdle_; });
    sessions_[id] = {token.name, now};
    return id;
}

std::optional<TokenInfo> ServiceCore::SessionToken(const std::string& id) {
    std::string name;
    {
        const std::lock_guard lock(sessionsMutex_);
        const auto found = sessions_.find(id);
        if (found == sessions_.end()) return std::nullopt;
        const auto now = std::chrono::steady_clock::now();
        if (now - found->second.last > sessionIdle_) {
            sessions_.erase(found);
            return std::nullopt;
        }
        found->second.last = now;
        name = found->second.token;
    }
    const std::lock_guard lock(tokensMutex_);
    auto token = tokens_.Named(name);
    // A token revoked (and the tokens read again) ends the sessions it opened.
    if (!token) CloseSession(id);
    return token;
}

void ServiceCore::CloseSession(const std::string& id) {
    const std::lock_guard lock(sessionsMutex_);
    sessions_.erase(id);
}

ServiceCore::~ServiceCore() {
    events_.CloseAll();
    // The rows still queued are written before the plant's side goes.
    if (journal_) journal_->Flush();
    journal_.reset();
    plant_.shared.reset();
    station_.reset();
}

std::expected<std::unique_ptr<ServiceCore>, Failure> ServiceCore::Start(const std::filesystem::path& folder) {
    auto plant = StartUp(folder);
    if (!plant) return std::unexpected(plant.error());
    std::unique_ptr<ServiceCore> core(new ServiceCore(std::move(*plant)));
    Metrics* metrics = &core->metrics_;
    ServiceCore* raw = core.get();
    core->station_ = JoinPlant(
        core->plant_,
        [metrics, core = raw](const Failure& notice) {
            {
                const std::lock_guard lock(metrics->mutex);
                if (!notice.clears && !metrics->plantDown) ++metrics->plantOutages;
                metrics->plantDown = !notice.clears;
            }
            LogLine("plant: " + notice.text);
            core->events_.Notice("plant", notice);
        },
        true);
    core->journal_ = SharedJournalWriter(
        core->plant_.databaseFile(),
        [metrics, raw](const Failure& notice) {
            {
                const std::lock_guard lock(metrics->mutex);
                if (!notice.clears && !metrics->journalDown) ++metrics->journalOutages;
                metrics->journalDown = !notice.clears;
            }
            LogLine("journal: " + notice.text);
            raw->events_.Notice("journal", notice);
        },
        true, core->station_);
    if (auto tokens = core->ReloadTokens(); !tokens) return std::unexpected(tokens.error());
    // Keys answer retries for a week, at least the day a caller may retry within.
    if (auto forgotten = ForgetRequestKeys(core->plant_.databaseFile(), std::chrono::system_clock::now(),
                                           std::chrono::hours(24 * 7));
        !forgotten)
        LogLine("idempotency keys: old ones not forgotten: " + forgotten.error().text);
    core->sessionIdle_ = core->plant_.config.ServiceSessionIdle;
    core->ticker_ = std::jthread([raw](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        while (!stop.stop_requested()) {
            wake.wait_for(lock, stop, std::chrono::seconds(15), [] { return false; });
            if (!stop.stop_requested()) raw->events_.Ping();
        }
    });
    return core;
}

std::expected<void, Failure> ServiceCore::ReloadTokens() {
    auto loaded = TokenSet::Load(plant_.databaseFile());
    if (!loaded) return std::unexpected(loaded.error());
    const std::lock_guard lock(tokensMutex_);
    tokens_ = std::move(*loaded);
    return {};
}

std::optional<TokenInfo> ServiceCore::Authenticate(std::string_view secret) {
    std::optional<TokenInfo> found;
    bool record = false;
    {
        const std::lock_guard lock(tokensMutex_);
        found = tokens_.Find(secret);
        if (!found) return std::nullopt;
        const auto now = std::chrono::steady_clock::now();
        auto& last = used_[found->name];
        if (last.time_since_epoch().count() == 0 || now - last >= std::chrono::minutes(1)) {
            last = now;
            record = true;
        }
    }
    if (record) {
        // Last use is a convenience: a data.mdb that cannot take it does not refuse the login.
        if (auto noted =
                RecordTokenUse(plant_.databaseFile(), found->name, JournalTime(std::chrono::system_clock::now()));
            !noted)
            LogLine("tokens: the last use of " + found->name + " was not recorded: " + noted.error().text);
    }
    return found;
}

std::optional<std::chrono::seconds> ServiceCore::LoginDelay(const std::string& peer) {
    const std::lock_guard lock(loginMutex_);
    const auto found = failures_.find(peer);
    if (found == failures_.end()) return std::nullopt;
    const auto passed = std::chrono::steady_clock::now() - found->second.first;
    if (passed >= kLoginWindow) {
        failures_.erase(found);
        return std::nullopt;
    }
    if (found->second.count < kFailedLogins) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::seconds>(kLoginWindow - passed) + std::chrono::seconds(1);
}

void ServiceCore::LoginFailed(const std::string& peer) {
    const std::lock_guard lock(loginMutex_);
    auto& failures = failures_[peer];
    const auto now = std::chrono::steady_clock::now();
    if (failures.count == 0 || now - failures.first >= kLoginWindow) failures = {0, now};
    ++failures.count;
    // An address list that only grows would be memory an attacker chooses.
    if (failures_.size() > 10000)
        std::erase_if(failures_, [&](const auto& f) { return now - f.second.first >= kLoginWindow; });
}

bool ServiceCore::HoldKey(const std::string& key) {
    const std::lock_guard lock(keysMutex_);
    return heldKeys_.insert(key).second;
}

void ServiceCore::ReleaseKey(const std::string& key) {
    const std::lock_guard lock(keysMutex_);
    heldKeys_.erase(key);
}

}  // namespace tarnwick::service
