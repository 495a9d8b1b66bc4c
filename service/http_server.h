#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/failure.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace tarnwick::service {

struct HttpRequest {
    std::string method;
    std::string path;  // without the query
    std::map<std::string, std::string> query;  // decoded
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string peer;  // the client's address, without its port

    // The header's value, "" when absent.
    const std::string& Header(const std::string& lowerName) const;
};

// A response that stays open and sends events as they come (text/event-stream): its
// connection is parked while there is nothing to send, and woken by Send.
class EventStream {
public:
    // Queues an event's text (whole "event:"/"data:" lines); false once the client is gone.
    bool Send(std::string text);
    // Ends the stream once what is queued has gone.
    void Close();
    bool open() const;

    // For the server.
    long Read(char* into, std::size_t room);
    void Attach(MHD_Connection* connection);
    void Detach();

private:
    void WakeLocked();
    mutable std::mutex mutex_;
    std::string pending_;
    MHD_Connection* connection_ = nullptr;
    bool suspended_ = false;
    bool closed_ = false;
    bool gone_ = false;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<EventStream> stream = nullptr;  // set: the body is this stream, not `body`
};

// HTTP through libmicrohttpd, its hostile clients bounded by the library's own options:
// one epoll thread for the network, a connection memory limit that bounds headers, a
// timeout for idle and slow connections, and per-address limits. Requests run on a few
// workers off the network thread, their connections suspended meanwhile; a full queue
// answers 503 at once.
class HttpServer {
public:
    struct Options {
        std::string address = "127.0.0.1";
        std::uint16_t port = 8631;  // 0: any free port
        std::string certificatePem, keyPem;  // both set: TLS
        std::size_t maxBody = 32u << 20;
        unsigned connectionLimit = 2048;
        unsigned perAddressLimit = 1024;
        unsigned timeoutSeconds = 10;
        std::size_t workers = 32;
        std::size_t queueLimit = 256;
    };
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    HttpServer(Options options, Handler handler);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    ~HttpServer();

    std::expected<void, Failure> Start();
    // New requests are answered 503 from now on; those in hand finish.
    void Drain();
    // Finishes the requests in hand, then closes every connection.
    void Stop();
    std::uint16_t port() const { return port_; }
    // Requests waiting for a worker or with one now.
    std::size_t depth() const;

    // What the network thread keeps of one request while it arrives.
    struct Exchange;

private:
    static int Access(void* self, MHD_Connection* connection, const char* url, const char* method, const char* version,
                      const char* uploadData, std::size_t* uploadSize, void** state);
    static void Completed(void* self, MHD_Connection* connection, void** state, int reason);
    void Work();

    Options options_;
    Handler handler_;
    MHD_Daemon* daemon_ = nullptr;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Exchange*> queue_;
    std::size_t busy_ = 0;
    std::size_t unsent_ = 0;  // requests taken whose answers have not gone yet
    bool draining_ = false;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace tarnwick::service
