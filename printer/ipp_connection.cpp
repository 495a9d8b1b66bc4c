#include "printer/ipp_connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

namespace tarnwick {
namespace {

// Answers to the requests sent here are a few hundred bytes; more is not a print server.
constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxBody = 1024 * 1024;

int ConnectTo(const sockaddr* address, socklen_t length, int timeoutMs, int& fd) {
    fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return errno;
    if (address->sa_family != AF_UNIX) {  // each request goes out whole at once: never hold a part back
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int error = 0;
    // A local socket whose queue of waiting connections is full says EAGAIN: try again.
    for (;;) {
        error = ::connect(fd, address, length) == 0 ? 0 : errno;
        if (error != EAGAIN || std::chrono::steady_clock::now() >= deadline) break;
        ::poll(nullptr, 0, 5);
    }
    if (error == EAGAIN) error = ETIMEDOUT;
    if (error == EINPROGRESS) {
        pollfd entry{fd, POLLOUT, 0};
        socklen_t size = sizeof error;
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready == 0) error = ETIMEDOUT;
        else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    }
    if (error != 0) {
        ::close(fd);
        fd = -1;
    }
    return error;
}

bool HeaderIs(std::string_view line, std::string_view name, std::string_view& value) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if ((line[i] | 0x20) != (name[i] | 0x20)) return false;
    value = line.substr(name.size() + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return true;
}

bool ParseSize(std::string_view text, int base, std::size_t& size) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size, base);
    return error == std::errc() && end != text.data();
}

}  // namespace

std::expected<IppConnection, std::string> IppConnection::Open(const PrintServerAddress& server, int timeoutMs) {
    int fd = -1;
    if (server.LocalSocket()) {
        sockaddr_un local{};
        local.sun_family = AF_UNIX;
        if (server.host.size() >= sizeof local.sun_path) return std::unexpected(std::strerror(ENAMETOOLONG));
        std::memcpy(local.sun_path, server.host.c_str(), server.host.size() + 1);
        if (const int error = ConnectTo(reinterpret_cast<sockaddr*>(&local), sizeof local, timeoutMs, fd))
            return std::unexpected(std::strerror(error));
        return IppConnection(fd, "localhost", timeoutMs);
    }
    if (server.host == "localhost") {  // always the loopback (RFC 6761): no name service to ask
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(server.port));
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int error = ConnectTo(reinterpret_cast<sockaddr*>(&v4), sizeof v4, timeoutMs, fd);
        if (error != 0) {
            sockaddr_in6 v6{};
            v6.sin6_family = AF_INET6;
            v6.sin6_port = v4.sin_port;
            v6.sin6_addr = in6addr_loopback;
            if (ConnectTo(reinterpret_cast<sockaddr*>(&v6), sizeof v6, timeoutMs, fd) == 0) error = 0;
        }
        if (error != 0) return std::unexpected(std::strerror(error));
        return IppConnection(fd, server.Name(), timeoutMs);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int error = ::getaddrinfo(server.host.c_str(), std::to_string(server.port).c_str(), &hints, &found))
        return std::unexpected(::gai_strerror(error));
    int error = EHOSTUNREACH;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next)
        error = ConnectTo(a->ai_addr, a->ai_addrlen, timeoutMs, fd);
    ::freeaddrinfo(found);
    if (fd < 0) return std::unexpected(std::strerror(error));
    return IppConnection(fd, server.Name(), timeoutMs);
}

IppConnection::IppConnection(int fd, std::string hostHeader, int timeoutMs)
    : fd_(fd), host_(std::move(hostHeader)), timeoutMs_(timeoutMs) {}

IppConnection::IppConnection(IppConnection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), host_(std::move(other.host_)), timeoutMs_(other.timeoutMs_),
      buffer_(std::move(other.buffer_)), reusable_(other.reusable_) {}

IppConnection::~IppConnection() {
    if (fd_ >= 0) ::close(fd_);
}

std::expected<IppConnection::Answer, IppConnection::Fault> IppConnection::Post(std::string_view resource,
                                                                              std::string_view message,
                                                                              std::string_view document) {
    auto answer = Exchange(resource, message, document);
    if (!answer) reusable_ = false;
    return answer;
}

std::expected<IppConnection::Answer, IppConnection::Fault> IppConnection::Exchange(std::string_view resource,
                                                                                  std::string_view message,
                                                                                  std::string_view document) {
    if (!reusable_) return std::unexpected(Fault{Fault::Stage::Sending, EPIPE});
    const auto sent = Send(resource, message, document);
    if (sent) return Receive();
    // A server that refuses a request may answer and close before taking it all.
    if (sent.error().error != ETIMEDOUT) {
        if (auto early = Receive()) return early;
    }
    return std::unexpected(sent.error());
}

std::expected<void, IppConnection::Fault> IppConnection::Send(std::string_view resource, std::string_view message,
                                                              std::string_view document) {
    const std::string head = "POST " + std::string(resource) + " HTTP/1.1\r\nHost: " + host_ +
                             "\r\nContent-Type: application/ipp\r\nContent-Length: " +
                             std::to_string(message.size() + document.size()) + "\r\n\r\n";
    std::string_view parts[] = {head, message, document};
    std::size_t part = 0;
    while (part < 3) {
        if (parts[part].empty()) {
            ++part;
            continue;
        }
        iovec pieces[3];
        int count = 0;
        for (std::size_t i = part; i < 3; ++i)
            pieces[count++] = {const_cast<char*>(parts[i].data()), parts[i].size()};
        msghdr out{};
        out.msg_iov = pieces;
        out.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = ::sendmsg(fd_, &out, MSG_NOSIGNAL);
        if (sent < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            if (error != EAGAIN) return std::unexpected(Fault{Fault::Stage::Sending, error});
            pollfd entry{fd_, POLLOUT, 0};
            const int ready = ::poll(&entry, 1, timeoutMs_);
            if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
            return std::unexpected(Fault{Fault::Stage::Sending, ready == 0 ? ETIMEDOUT : errno});
        }
        for (std::size_t left = static_cast<std::size_t>(sent); left > 0 && part < 3;) {
            const std::size_t used = std::min(left, parts[part].size());
            parts[part].remove_prefix(used);
            left -= used;
            if (parts[part].empty()) ++part;
        }
    }
    return {};
}

int IppConnection::Fill(bool& closed, std::chrono::steady_clock::time_point deadline) {
    char chunk[16 * 1024];
    for (;;) {
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(got));
            return 0;
        }
        if (got == 0) {
            closed = true;
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return errno;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return ETIMEDOUT;
        pollfd entry{fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready == 0) return ETIMEDOUT;
        if (ready < 0 && errno != EINTR) return errno;
    }
}

std::expected<IppConnection::Answer, IppConnection::Fault> IppConnection::Receive() {
    const auto fault = [](int error) { return std::unexpected(Fault{Fault::Stage::Answering, error}); };
    // The whole answer within the time, so that a server trickling bytes cannot hold the label.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    for (;;) {
        std::size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (buffer_.size() > kMaxHead) return fault(EBADMSG);
            bool closed = false;
            if (const int error = Fill(closed, deadline)) return fault(error);
            if (closed) return fault(0);
        }
        const std::string head = buffer_.substr(0, headEnd);
        buffer_.erase(0, headEnd + 4);

        Answer answer;
        // "HTTP/1.1 200 OK"
        const std::string_view statusLine = std::string_view(head).substr(0, head.find("\r\n"));
        if (!statusLine.starts_with("HTTP/1.") || statusLine.size() < 12 || statusLine[8] != ' ' ||
            (statusLine.size() > 12 && statusLine[12] != ' '))
            return fault(EBADMSG);
        std::size_t code = 0;
        if (!ParseSize(statusLine.substr(9, 3), 10, code)) return fault(EBADMSG);
        answer.httpStatus = static_cast<int>(code);
        if (statusLine.size() > 13) answer.reason = statusLine.substr(13);

        std::optional<std::size_t> length;
        bool chunked = false;
        for (std::size_t at = statusLine.size() + 2; at < head.size();) {
            const std::size_t end = std::min(head.find("\r\n", at), head.size());
            const std::string_view line = std::string_view(head).substr(at, end - at);
            at = end + 2;
            std::string_view value;
            if (HeaderIs(line, "Content-Length", value)) {
                std::size_t size = 0;
                if (!ParseSize(value, 10, size)) return fault(EBADMSG);
                length = size;
            } else if (HeaderIs(line, "Transfer-Encoding", value)) {
                chunked = value.find("chunked") != std::string_view::npos;
            } else if (HeaderIs(line, "Connection", value)) {
                if (value.find("close") != std::string_view::npos) reusable_ = false;
            }
        }
        if (answer.httpStatus >= 100 && answer.httpStatus < 200) continue;  // e.g. 100 Continue

        bool closed = false;
        if (chunked) {
            for (;;) {
                std::size_t lineEnd;
                while ((lineEnd = buffer_.find("\r\n")) == std::string::npos) {
                    if (buffer_.size() > kMaxHead) return fault(EBADMSG);
                    if (const int error = Fill(closed, deadline)) return fault(error);
                    if (closed) return fault(0);
                }
                std::size_t size = 0;
                if (!ParseSize(std::string_view(buffer_).substr(0, lineEnd), 16, size) ||
                    size > kMaxBody - answer.body.size())
                    return fault(EBADMSG);
                while (buffer_.size() < lineEnd + 2 + size + 2) {
                    if (const int error = Fill(closed, deadline)) return fault(error);
                    if (closed) return fault(0);
                }
                if (size == 0) {  // the last chunk, then trailer lines up to an empty one
                    buffer_.erase(0, lineEnd + 2);
                    for (;;) {
                        while ((lineEnd = buffer_.find("\r\n")) == std::string::npos) {
                            if (buffer_.size() > kMaxHead) return fault(EBADMSG);
                            if (const int error = Fill(closed, deadline)) return fault(error);
                            if (closed) return fault(0);
                        }
                        buffer_.erase(0, lineEnd + 2);
                        if (lineEnd == 0) return answer;
                    }
                }
                answer.body.append(buffer_, lineEnd + 2, size);
                buffer_.erase(0, lineEnd + 2 + size + 2);
            }
        }
        if (length) {
            if (*length > kMaxBody) return fault(EBADMSG);
            while (buffer_.size() < *length) {
                if (const int error = Fill(closed, deadline)) return fault(error);
                if (closed) return fault(0);
            }
            answer.body = buffer_.substr(0, *length);
            buffer_.erase(0, *length);
            return answer;
        }
        // Neither: the body runs to the end of the connection.
        reusable_ = false;
        while (!closed) {
            if (buffer_.size() > kMaxBody) return fault(EBADMSG);
            if (const int error = Fill(closed, deadline)) return fault(error);
        }
        answer.body = std::move(buffer_);
        buffer_.clear();
        return answer;
    }
}

}  // namespace tarnwick
