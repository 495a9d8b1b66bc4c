#pragma once

// tarnwickd started on a free port of loopback against a plant folder of the test's, and a
// client that speaks HTTP/1.1 over a plain socket: the hostile clients need the socket.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace tarnwick::testing {

struct Reply {
    int status = 0;  // 0: no answer (the connection closed or timed out)
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

inline int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads one answer from the connection (more may follow on it: pipelining).
inline Reply ReadReply(int fd, std::string& pending, std::chrono::milliseconds wait = std::chrono::seconds(20)) {
    Reply reply;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    const auto fill = [&]() {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
        return true;
    };
    std::size_t end = 0;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos)
        if (!fill()) return reply;
    const std::string head = pending.substr(0, end);
    pending.erase(0, end + 4);
    std::size_t line = head.find("\r\n");
    reply.status = std::stoi(head.substr(9, 3));
    while (line != std::string::npos) {
        const std::size_t next = head.find("\r\n", line + 2);
        const std::string header =
            head.substr(line + 2, next == std::string::npos ? std::string::npos : next - line - 2);
        const std::size_t colon = header.find(':');
        if (colon != std::string::npos) {
            std::string name = header.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            reply.headers[name] = header.substr(header.find_first_not_of(' ', colon + 1));
        }
        line = next;
    }
    std::size_t length = 0;
    if (const auto found = reply.headers.find("content-length"); found != reply.headers.end())
        length = std::stoul(found->second);
    while (pending.size() < length)
        if (!fill()) break;
    reply.body = pending.substr(0, length);
    pending.erase(0, length);
    return reply;
}

inline std::string RequestBytes(const std::string& method, const std::string& path, const std::string& body,
                                const std::vector<std::string>& headers) {
    std::string bytes = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& header : headers) bytes += header + "\r\n";
    if (!body.empty() || method == "POST" || method == "PUT")
        bytes += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return bytes + "\r\n" + body;
}

// tarnwickd on 127.0.0.1, a free port, the plant folder given; stopped (SIGKILL) when this goes.
class RunningService {
public:
    explicit RunningService(const std::filesystem::path& folder, std::vector<std::string> more = {}) : folder_(folder) {
        Start(std::move(more));
    }
    ~RunningService() { Kill(SIGKILL); }
    RunningService(const RunningService&) = delete;
    RunningService& operator=(const RunningService&) = delete;

    void Start(std::vector<std::string> more = {}) {
        log_ = folder_ / ("tarnwickd." + std::to_string(++starts_) + ".log");
        std::vector<std::string> words{TARNWICKD, "--folder", folder_.string(), "--listen", "127.0.0.1:0"};
        words.insert(words.end(), more.begin(), more.end());
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(posix_spawn(&pid_, TARNWICKD, &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
        // The first line says where it listens.
        static const std::regex kListening(R"(tarnwickd .* serving .* port (\d+))");
        for (int i = 0; i < 1000 && port_ == 0; ++i) {
            std::smatch match;
            const std::string said = Log();
            if (std::regex_search(said, match, kListening))
                port_ = static_cast<std::uint16_t>(std::stoi(match[1].str()));
            else if (::waitpid(pid_, &status_, WNOHANG) == pid_) break;
            else std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_NE(port_.load(), 0) << "tarnwickd did not start: " << Log();
    }

    // Sends the signal and waits for the process; its wait status.
    int Kill(int signal) {
        if (pid_ <= 0) return status_;
        ::kill(pid_, signal);
        ::waitpid(pid_, &status_, 0);
        pid_ = 0;
        port_ = 0;
        return status_;
    }
    void Signal(int signal) const { ::kill(pid_, signal); }

    Reply Call(const std::string& method, const std::string& path, const std::string& body = "",
               std::vector<std::string> headers = {}) const {
        const int fd = Connect(port_);
        if (fd < 0) return {};
        headers.push_back("Connection: close");
        std::string pending;
        Reply reply = SendAll(fd, RequestBytes(method, path, body, headers)) ? ReadReply(fd, pending) : Reply{};
        ::close(fd);
        return reply;
    }

    std::string Log() const {
        std::ifstream in(log_);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::uint16_t port() const { return port_; }

private:
    std::filesystem::path folder_, log_;
    pid_t pid_ = 0;
    int status_ = 0;
    int starts_ = 0;
    std::atomic<std::uint16_t> port_ = 0;
};

}  // namespace tarnwick::testing
