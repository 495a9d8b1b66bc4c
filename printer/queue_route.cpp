#include <cups/cups.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "printer/routes.h"

namespace tarnwick {
namespace {

// Past this a wait on the server fails instead of leaving the window hanging. libcups
// first waits up to a second for "100 Continue", so a silent server fails in five.
constexpr int kServerTimeoutMs = 4000;
constexpr const char* kJobName = "AAAAAA";

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};
struct IppDelete {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Http = std::unique_ptr<http_t, HttpClose>;
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

std::string ServerName() {
    const std::string server = cupsServer();
    if (!server.empty() && server.front() == '/') return server;
    return server + ":" + std::to_string(ippPort());
}

Failure UnknownPrinter() {
    return {"The Printer Name you typed wasn't recognized.", "Tarnwick", MessageIcon::None};
}

// Nothing listens where the print server should be: connecting fails before any request.
Failure NotRunning(const std::string& reason) {
    return {"The print server at " + ServerName() + " is not running or refused the connection (" + reason +
                "). The label was not printed. Start the print service (CUPS) on that computer, or correct the "
                "server that CUPS_SERVER or client.conf names, then print the label again.",
            "Tarnwick", MessageIcon::Critical};
}

Failure Unreachable(const std::string& reason) {
    return {"The print server " + ServerName() + " could not be reached (" + reason +
                "). The label was not printed. Check that the print service is running, then print the label "
                "again.",
            "Tarnwick", MessageIcon::Critical};
}

Failure JobFailed(const std::string& printerName, const std::string& reason) {
    return {"The printer \"" + printerName + "\" did not take the label: " + reason +
                ". The label was not printed. Check the printer's queue, then print the label again.",
            "Tarnwick", MessageIcon::Critical};
}

// Why nothing answers at the server's address, as the system says it. libcups reports a
// refused connection as "Host is down", so a plain connect of our own asks again.
std::string ConnectRefusal(const std::string& libraryReason) {
    const std::string server = cupsServer();
    std::vector<std::pair<sockaddr_storage, socklen_t>> addresses;
    if (!server.empty() && server.front() == '/') {
        sockaddr_un local{};
        local.sun_family = AF_UNIX;
        if (server.size() >= sizeof local.sun_path) return libraryReason;
        std::memcpy(local.sun_path, server.c_str(), server.size() + 1);
        sockaddr_storage storage{};
        std::memcpy(&storage, &local, sizeof local);
        addresses.emplace_back(storage, static_cast<socklen_t>(sizeof local));
    } else {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int error = ::getaddrinfo(server.c_str(), std::to_string(ippPort()).c_str(), &hints, &found);
        if (error != 0) return ::gai_strerror(error);
        for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
            sockaddr_storage storage{};
            std::memcpy(&storage, a->ai_addr, a->ai_addrlen);
            addresses.emplace_back(storage, a->ai_addrlen);
        }
        ::freeaddrinfo(found);
    }
    int lastError = 0;
    for (const auto& [address, length] : addresses) {
        const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int error = 0;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd entry{fd, POLLOUT, 0};
                socklen_t size = sizeof error;
                if (::poll(&entry, 1, kServerTimeoutMs) <= 0) error = ETIMEDOUT;
                else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
            }
        }
        ::close(fd);
        if (error == 0) return libraryReason;  // it answers now; keep what libcups saw
        lastError = error;
    }
    return lastError != 0 ? std::strerror(lastError) : libraryReason;
}

// Our own connection, so that every wait on the server is bounded; the hidden one
// that libcups keeps can wait for minutes.
std::expected<Http, std::string> Connect() {
    Http http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, kServerTimeoutMs,
                           nullptr));
    if (!http) {
        const char* reason = cupsLastErrorString();
        return std::unexpected(ConnectRefusal(reason && *reason ? reason : "no connection"));
    }
    httpSetTimeout(http.get(), kServerTimeoutMs / 1000.0, nullptr, nullptr);
    return http;
}

std::string PrinterUri(const std::string& printerName) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/printers/%s",
                     printerName.c_str());
    return uri;
}

std::string StatusText(ipp_t* response) {
    if (response) {
        if (ipp_attribute_t* message = ippFindAttribute(response, "status-message", IPP_TAG_TEXT)) {
            if (const char* text = ippGetString(message, 0, nullptr); text && *text) return text;
        }
    }
    const char* last = cupsLastErrorString();
    return last && *last ? last : ippErrorString(cupsLastError());
}

struct PrinterState {
    ipp_pstate_t state = IPP_PSTATE_IDLE;
    std::string message;  // why it is stopped or refuses jobs, as the operator wrote it (cupsreject -r)
};

PrinterState QueryPrinterState(http_t* http, const std::string& printerName) {
    Ipp request(ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 PrinterUri(printerName).c_str());
    static const char* const wanted[] = {"printer-state", "printer-state-message"};
    ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, wanted);
    Ipp response(cupsDoRequest(http, request.release(), "/"));
    PrinterState result;
    if (!response) return result;
    if (ipp_attribute_t* state = ippFindAttribute(response.get(), "printer-state", IPP_TAG_ENUM))
        result.state = static_cast<ipp_pstate_t>(ippGetInteger(state, 0));
    ipp_attribute_t* message = ippFindAttribute(response.get(), "printer-state-message", IPP_TAG_TEXT);
    if (const char* text = message ? ippGetString(message, 0, nullptr) : nullptr) result.message = text;
    return result;
}

// The server took the job but will not print it yet: the operator must know.
std::string PausedNote(const std::string& printerName, const std::string& why) {
    // cupsdisable without a reason says just "Paused".
    const bool saysMore = !why.empty() && why != "Paused";
    return "The queue of printer \"" + printerName + "\" is paused" + (saysMore ? " (" + why + ")" : "") +
           ": it holds the label until the queue is resumed. Resume the queue (for example with cupsenable " +
           printerName + ") to print it.";
}

// Every byte of the label went out but no answer came: the server may have queued the
// job, and nothing tells its number, so only the operator can tell whether it printed.
Failure MayHavePrinted(const std::string& printerName, const std::string& reason) {
    return {"The print server " + ServerName() + " did not confirm the label sent to printer \"" + printerName +
                "\" (" + reason + "). The label may have been printed: check the printer and its queue before "
                "printing it again.",
            "Tarnwick", MessageIcon::Critical};
}

bool ServerDidNotAnswer(http_t* http, ipp_t* response) {
    return !response && (httpError(http) != 0 || httpGetStatus(http) == HTTP_STATUS_ERROR ||
                         cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE ||
                         cupsLastError() == IPP_STATUS_ERROR_INTERNAL);
}

std::string ErrnoOr(http_t* http, const std::string& otherwise) {
    const int error = httpError(http);
    return error != 0 ? std::strerror(error) : otherwise;
}

}  // namespace

SendResult SendToQueue(const std::string& printerName, std::string_view stream) {
    if (printerName.empty()) return std::unexpected(UnknownPrinter());

    // A server that wants a password is reported, never answered from the terminal.
    cupsSetPasswordCB2([](const char*, http_t*, const char*, const char*, void*) -> const char* { return nullptr; },
                       nullptr);
    auto connected = Connect();
    if (!connected) return std::unexpected(NotRunning(connected.error()));
    http_t* http = connected->get();

    // One Print-Job carries the label: a server that fails before the last byte has no
    // job, so there is never one to cancel.
    const std::string uri = PrinterUri(printerName);
    Ipp request(ippNewRequest(IPP_OP_PRINT_JOB));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, kJobName);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, CUPS_FORMAT_RAW);
    const std::string resource = uri.substr(uri.find("/printers/"));  // escaped as in the URI

    // The length covers the IPP message as well as the label.
    http_status_t sending =
        cupsSendRequest(http, request.get(), resource.c_str(), ippLength(request.get()) + stream.size());
    if (sending == HTTP_STATUS_ERROR || sending == HTTP_STATUS_SERVICE_UNAVAILABLE)
        return std::unexpected(Unreachable(ErrnoOr(http, StatusText(nullptr))));
    if (sending == HTTP_STATUS_CONTINUE && !stream.empty()) {
        // A connection that breaks here leaves the server short of the announced length: no job.
        sending = cupsWriteRequestData(http, stream.data(), stream.size());
        if (sending == HTTP_STATUS_ERROR)
            return std::unexpected(
                JobFailed(printerName, "sending the label failed: " + ErrnoOr(http, StatusText(nullptr))));
    }
    Ipp answer;
    if (sending == HTTP_STATUS_CONTINUE || sending == HTTP_STATUS_OK) {
        answer.reset(cupsGetResponse(http, resource.c_str()));
        if (ServerDidNotAnswer(http, answer.get()))
            // libcups reports a connection closed by the server as a broken pipe.
            return std::unexpected(MayHavePrinted(
                printerName, httpError(http) == EPIPE ? "the connection was closed"
                                                      : ErrnoOr(http, "the connection was closed")));
    }
    if (!answer) {  // an HTTP refusal (not found, unauthorised) before any job
        if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return std::unexpected(UnknownPrinter());
        return std::unexpected(JobFailed(printerName, StatusText(nullptr)));
    }

    const ipp_status_t status = ippGetStatusCode(answer.get());
    if (status == IPP_STATUS_ERROR_NOT_FOUND) return std::unexpected(UnknownPrinter());
    if (status > IPP_STATUS_OK_CONFLICTING) {
        std::string reason = StatusText(answer.get());
        if (status == IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS) {
            if (const std::string why = QueryPrinterState(http, printerName).message; !why.empty())
                reason += " (" + why + ")";
        }
        return std::unexpected(JobFailed(printerName, reason));
    }
    if (const PrinterState printer = QueryPrinterState(http, printerName); printer.state == IPP_PSTATE_STOPPED)
        return SendReceipt{PausedNote(printerName, printer.message)};
    return {};
}

}  // namespace tarnwick
