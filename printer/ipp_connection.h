#pragma once

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

#include "printer/print_server_address.h"

namespace tarnwick {

// One HTTP/1.1 connection to a print server, carrying IPP requests without TLS. Every
// wait while sending is bounded, and so is the whole wait for an answer, so a server
// that stops answering fails the label instead of leaving the program hanging.
class IppConnection {
public:
    struct Answer {
        int httpStatus = 0;
        std::string reason;  // the status line's words, e.g. "Unauthorized"
        std::string body;
    };
    struct Fault {
        enum class Stage { Sending, Answering } stage;
        int error = 0;  // errno; 0 when the server closed the connection
    };

    // Connects to the first address of the server that takes the connection; the
    // system's reason otherwise, e.g. "Connection refused".
    static std::expected<IppConnection, std::string> Open(const PrintServerAddress& server, int timeoutMs);

    IppConnection(IppConnection&& other) noexcept;
    IppConnection& operator=(IppConnection&&) = delete;
    ~IppConnection();

    // Posts one IPP message with the document after it and waits for the whole answer.
    std::expected<Answer, Fault> Post(std::string_view resource, std::string_view message,
                                      std::string_view document = {});
    // Whether another request may follow on this connection: not after a fault, nor
    // after an answer that closes it.
    bool Reusable() const { return reusable_; }

private:
    IppConnection(int fd, std::string hostHeader, int timeoutMs);
    std::expected<Answer, Fault> Exchange(std::string_view resource, std::string_view message,
                                          std::string_view document);
    std::expected<void, Fault> Send(std::string_view resource, std::string_view message, std::string_view document);
    std::expected<Answer, Fault> Receive();
    // Appends what arrives to buffer_ by the deadline; 0 on success, else errno (or 0
    // with closed set).
    int Fill(bool& closed, std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    std::string host_;
    int timeoutMs_ = 0;
    std::string buffer_;  // received and not yet used
    bool reusable_ = true;
};

}  // namespace tarnwick
