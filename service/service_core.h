#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plantdb/plant_station.h"
#include "service/http_server.h"
#include "startup/startup.h"
#include "store/journal_writer.h"
#include "store/tokens.h"

namespace tarnwick::service {

// The live notices of the browser station: each open event stream gets every notice, and
// a new one the notices standing now (an outage not yet over).
class EventHub {
public:
    std::shared_ptr<EventStream> Open();
    // source: "plant", "journal", "printer:NAME". A notice that clears ends its standing one.
    void Notice(const std::string& source, const Failure& notice);
    // A comment line to every stream, so a client that went away is found and let go.
    void Ping();
    // Ends every stream (the service stops).
    void CloseAll();

private:
    static std::string EventText(const std::string& source, const Failure& notice);
    std::mutex mutex_;
    std::vector<std::weak_ptr<EventStream>> streams_;
    std::map<std::string, Failure> standing_;
};

// Counters for /metrics, safe from every worker.
struct Metrics {
    std::mutex mutex;
    std::map<int, std::uint64_t> requests;  // by status
    std::map<std::string, std::uint64_t> jobs;  // by outcome
    std::uint64_t journalOutages = 0, plantOutages = 0;
    bool journalDown = false, plantDown = false;

    void Request(int status);
    void Job(const std::string& outcome);
};

// One line to stderr (the journal of systemd), whole: lines of workers never mix.
void LogLine(const std::string& line);

// What every request of the service shares: the plant folder started up once, its one
// journal writer, the plant database's station, the tokens, and the counters.
class ServiceCore {
public:
    static std::expected<std::unique_ptr<ServiceCore>, Failure> Start(const std::filesystem::path& folder);
    ServiceCore(const ServiceCore&) = delete;
    ServiceCore& operator=(const ServiceCore&) = delete;
    ~ServiceCore();

    Plant& plant() { return plant_; }
    JournalWriter& journal() { return *journal_; }
    PlantStation* station() { return station_.get(); }
    Metrics& metrics() { return metrics_; }

    // The token a secret names, its last use noted (at most once a minute a token).
    std::optional<TokenInfo> Authenticate(std::string_view secret);
    // SIGHUP: tokens read again (printers are read from data.mdb at each label already).
    std::expected<void, Failure> ReloadTokens();

    // Failed logins by address: whether this one must wait, and for how long.
    std::optional<std::chrono::seconds> LoginDelay(const std::string& peer);
    void LoginFailed(const std::string& peer);

    // An Idempotency-Key is held by one request at a time; false when another has it now.
    bool HoldKey(const std::string& key);
    void ReleaseKey(const std::string& key);

    // Set once a stop is asked for: long runs of labels end after the label in hand.
    std::atomic<bool> stopping = false;
    // Whether the service answers by TLS: its cookies are then Secure.
    bool tls = false;
    // Requests waiting for a worker or with one, for /metrics; set by whoever serves.
    std::function<std::size_t()> queueDepth;

    EventHub& events() { return events_; }

    // The browser station's sessions: a random id in an HttpOnly cookie, ended by sign-out
    // or by `idle` without a request.
    std::string OpenSession(const TokenInfo& token);
    std::optional<TokenInfo> SessionToken(const std::string& id);
    void CloseSession(const std::string& id);
    std::chrono::seconds sessionIdle() const { return sessionIdle_; }

    // Uploaded cut sheets, kept in a folder of the service's own under the plant folder.
    const std::filesystem::path& sheets() const { return sheets_; }

private:
    explicit ServiceCore(Plant plant);

    Plant plant_;
    std::shared_ptr<PlantStation> station_;
    std::shared_ptr<JournalWriter> journal_;
    Metrics metrics_;
    std::mutex tokensMutex_;
    TokenSet tokens_;
    std::map<std::string, std::chrono::steady_clock::time_point> used_;
    std::mutex loginMutex_;
    struct Failures {
        int count = 0;
        std::chrono::steady_clock::time_point first;
    };
    std::map<std::string, Failures> failures_;
    std::mutex keysMutex_;
    std::set<std::string> heldKeys_;
    std::filesystem::path sheets_;
    EventHub events_;
    std::mutex sessionsMutex_;
    struct Session {
        std::string token;  // the token's name: a revoked token ends its sessions
        std::chrono::steady_clock::time_point last;
    };
    std::map<std::string, Session> sessions_;
    std::chrono::seconds sessionIdle_{1800};
    std::jthread ticker_;
};

}  // namespace tarnwick::service
