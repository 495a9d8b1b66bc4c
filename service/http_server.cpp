#include "service/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <charconv>
#include <algorithm>
#include <cstring>

namespace tarnwick::service {

struct HttpServer::Exchange {
    HttpRequest request;
    HttpResponse response;
    MHD_Connection* connection = nullptr;
    bool tooLarge = false;
    bool answered = false;  // the worker's answer is in `response`
    bool queued = false;
};

namespace {

const std::string kNoValue;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

MHD_Result KeepHeader(void* into, MHD_ValueKind, const char* key, const char* value) {
    auto& headers = *static_cast<std::map<std::string, std::string>*>(into);
    // Repeated headers are joined as one, as HTTP reads them.
    std::string& kept = headers[Lower(key)];
    kept += (kept.empty() ? "" : ", ") + std::string(value != nullptr ? value : "");
    return MHD_YES;
}

MHD_Result KeepArgument(void* into, MHD_ValueKind, const char* key, const char* value) {
    (*static_cast<std::map<std::string, std::string>*>(into))[key] = value != nullptr ? value : "";
    return MHD_YES;
}

std::string PeerOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "";
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

ssize_t ReadStream(void* stream, std::uint64_t, char* into, std::size_t room) {
    return (*static_cast<std::shared_ptr<EventStream>*>(stream))->Read(into, room);
}

void FreeStream(void* stream) {
    auto* held = static_cast<std::shared_ptr<EventStream>*>(stream);
    (*held)->Detach();
    delete held;
}

MHD_Result Answer(MHD_Connection* connection, const HttpResponse& answer) {
    MHD_Response* response = nullptr;
    if (answer.stream) {
        answer.stream->Attach(connection);
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &ReadStream,
                                                     new std::shared_ptr<EventStream>(answer.stream), &FreeStream);
    } else {
        response = MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()),
                                                   MHD_RESPMEM_MUST_COPY);
    }
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", answer.contentType.c_str());
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : answer.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

HttpResponse Plain(int status, std::string code, std::string message) {
    // The API's own error shape, written here without the JSON library's help.
    return {status,
            "application/json",
            "{\"error\":{\"code\":\"" + code + "\",\"message\":\"" + message + "\",\"field\":null}}",
            {}};
}

}  // namespace

bool EventStream::Send(std::string text) {
    const std::lock_guard lock(mutex_);
    if (gone_ || closed_) return false;
    // A client that reads nothing is not given memory without end.
    if (pending_.size() > (1u << 20)) return false;
    pending_ += text;
    WakeLocked();
    return true;
}

void EventStream::Close() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    WakeLocked();
}

bool EventStream::open() const {
    const std::lock_guard lock(mutex_);
    return !gone_ && !closed_;
}

void EventStream::WakeLocked() {
    if (!suspended_ || connection_ == nullptr) return;
    suspended_ = false;
    MHD_resume_connection(connection_);
}

long EventStream::Read(char* into, std::size_t room) {
    const std::lock_guard lock(mutex_);
    if (!pending_.empty()) {
        const std::size_t n = std::min(room, pending_.size());
        std::memcpy(into, pending_.data(), n);
        pending_.erase(0, n);
        return static_cast<long>(n);
    }
    if (closed_) return MHD_CONTENT_READER_END_OF_STREAM;
    // Nothing to send: the connection is parked until Send wakes it.
    suspended_ = true;
    MHD_suspend_connection(connection_);
    return 0;
}

void EventStream::Attach(MHD_Connection* connection) {
    const std::lock_guard lock(mutex_);
    connection_ = connection;
}

void EventStream::Detach() {
    const std::lock_guard lock(mutex_);
    connection_ = nullptr;
    gone_ = true;
}

const std::string& HttpRequest::Header(const std::string& lowerName) const {
    const auto found = headers.find(lowerName);
    return found == headers.end() ? kNoValue : found->second;
}

HttpServer::HttpServer(Options options, Handler handler) : options_(std::move(options)), handler_(std::move(handler)) {}

HttpServer::~HttpServer() { Stop(); }

std::expected<void, Failure> HttpServer::Start() {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        inet_pton(AF_INET, options_.address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(options_.port);
        length = sizeof(sockaddr_in);
    } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
               inet_pton(AF_INET6, options_.address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(options_.port);
        length = sizeof(sockaddr_in6);
    } else {
        return std::unexpected(Failure{"ServiceListen names \"" + options_.address +
                                       "\", which is not an IP address (127.0.0.1, ::1 or a local address)."});
    }
    (void)length;
    const bool tls = !options_.certificatePem.empty() && !options_.keyPem.empty();
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    if (tls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_SOCK_ADDR, 0, &address},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(options_.timeoutSeconds), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(options_.connectionLimit), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(options_.perAddressLimit), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(32 * 1024), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpServer::Completed), this},
    };
    if (tls) {
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(options_.keyPem.c_str())});
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(options_.certificatePem.c_str())});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, options_.port, nullptr, nullptr,
                               reinterpret_cast<MHD_AccessHandlerCallback>(&HttpServer::Access), this, MHD_OPTION_ARRAY,
                               items.data(), MHD_OPTION_END);
    if (daemon_ == nullptr)
        return std::unexpected(Failure{"The service cannot listen on " + options_.address + " port " +
                                       std::to_string(options_.port) + ": " + std::strerror(errno) +
                                       (tls ? " (or its certificate and key were refused)" : "") + "."});
    const MHD_DaemonInfo* bound = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = bound != nullptr ? bound->port : options_.port;
    for (std::size_t i = 0; i < options_.workers; ++i) workers_.emplace_back([this] { Work(); });
    return {};
}

void HttpServer::Drain() {
    const std::lock_guard lock(mutex_);
    draining_ = true;
}

void HttpServer::Stop() {
    {
        std::unique_lock lock(mutex_);
        draining_ = true;
        // Every suspended connection must be resumed before the daemon goes, and the
        // answers of the labels in hand sent: a client that reads nothing is not waited for
        // past the connection timeout.
        idle_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
        idle_.wait_for(lock, std::chrono::seconds(options_.timeoutSeconds), [this] { return unsent_ == 0; });
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

std::size_t HttpServer::depth() const {
    const std::lock_guard lock(mutex_);
    return queue_.size() + busy_;
}

int HttpServer::Access(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                       const char* uploadData, std::size_t* uploadSize, void** state) {
    auto& server = *static_cast<HttpServer*>(self);
    auto* exchange = static_cast<Exchange*>(*state);
    if (exchange == nullptr) {
        // The first call has the headers only: a body over the limit is refused before a
        // byte of it is read.
        exchange = new Exchange;
        *state = exchange;
        exchange->connection = connection;
        exchange->request.method = method;
        exchange->request.path = url;
        exchange->request.peer = PeerOf(connection);
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &KeepHeader, &exchange->request.headers);
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &KeepArgument, &exchange->request.query);
        const std::string& declared = exchange->request.Header("content-length");
        std::size_t length = 0;
        if (!declared.empty()) {
            const auto [end, error] = std::from_chars(declared.data(), declared.data() + declared.size(), length);
            if (error != std::errc() || end != declared.data() + declared.size() || length > server.options_.maxBody)
                return Answer(connection, Plain(413, "too_large",
                                                "The request's body is larger than the service takes (" +
                                                    std::to_string(server.options_.maxBody >> 20) + " MiB)."));
        }
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        // A body without a length (chunked) that grows past the limit ends its connection.
        if (exchange->request.body.size() + *uploadSize > server.options_.maxBody) return MHD_NO;
        exchange->request.body.append(uploadData, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    if (exchange->answered) return Answer(connection, exchange->response);
    {
        std::unique_lock lock(server.mutex_);
        if (server.draining_)
            return Answer(connection, [] {
                HttpResponse r = Plain(503, "stopping", "The service is stopping; send the request again later.");
                r.headers.emplace_back("Retry-After", "5");
                return r;
            }());
        if (server.queue_.size() >= server.options_.queueLimit)
            return Answer(connection, [] {
                HttpResponse r = Plain(503, "busy", "The service has too many requests waiting; try again shortly.");
                r.headers.emplace_back("Retry-After", "1");
                return r;
            }());
        exchange->queued = true;
        ++server.unsent_;
        MHD_suspend_connection(connection);
        server.queue_.push_back(exchange);
    }
    server.wake_.notify_one();
    return MHD_YES;
}

void HttpServer::Completed(void* self, MHD_Connection*, void** state, int) {
    auto* exchange = static_cast<Exchange*>(*state);
    if (exchange != nullptr && exchange->queued) {
        auto& server = *static_cast<HttpServer*>(self);
        const std::lock_guard lock(server.mutex_);
        --server.unsent_;
        server.idle_.notify_all();
    }
    delete exchange;
    *state = nullptr;
}

void HttpServer::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        Exchange* exchange = queue_.front();
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        try {
            exchange->response = handler_(exchange->request);
        } catch (const std::exception& e) {
            exchange->response = Plain(500, "internal", "The service failed on this request.");
        }
        exchange->answered = true;
        MHD_resume_connection(exchange->connection);
        lock.lock();
        --busy_;
        if (queue_.empty() && busy_ == 0) idle_.notify_all();
    }
}

}  // namespace tarnwick::service
