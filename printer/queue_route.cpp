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
// that cupsCreateJob uses can wait for minutes.
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

// A job that was created but did not get its document would wait on the server; drop it.
void CancelJob(const std::string& printerName, int jobId) {
    auto http = Connect();
    if (!http) return;
    Ipp request(ippNewRequest(IPP_OP_CANCEL_JOB));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 PrinterUri(printerName).c_str());
    ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    Ipp response(cupsDoRequest(http->get(), request.release(), "/jobs/"));
}

bool ServerDidNotAnswer(http_t* http, ipp_t* response) {
    return !response && (httpError(http) != 0 || cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE ||
                         cupsLastError() == IPP_STATUS_ERROR_INTERNAL);
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

    const std::string uri = PrinterUri(printerName);
    Ipp request(ippNewRequest(IPP_OP_CREATE_JOB));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, kJobName);
    const std::string resource = uri.substr(uri.find("/printers/"));  // escaped as in the URI
    Ipp created(cupsDoRequest(http, request.release(), resource.c_str()));

    if (ServerDidNotAnswer(http, created.get())) {
        const int error = httpError(http);
        return std::unexpected(Unreachable(error != 0 ? std::strerror(error) : StatusText(nullptr)));
    }
    const ipp_status_t status = created ? ippGetStatusCode(created.get()) : cupsLastError();
    if (status == IPP_STATUS_ERROR_NOT_FOUND) return std::unexpected(UnknownPrinter());
    if (status > IPP_STATUS_OK_CONFLICTING) {
        std::string reason = StatusText(created.get());
        if (status == IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS) {
            if (const std::string why = QueryPrinterState(http, printerName).message; !why.empty())
                reason += " (" + why + ")";
        }
        return std::unexpected(JobFailed(printerName, reason));
    }
    ipp_attribute_t* jobIdAttr = ippFindAttribute(created.get(), "job-id", IPP_TAG_INTEGER);
    if (!jobIdAttr) return std::unexpected(JobFailed(printerName, "the print server gave the job no number"));
    const int jobId = ippGetInteger(jobIdAttr, 0);

    auto failAndCancel = [&](const std::string& reason) {
        CancelJob(printerName, jobId);
        return std::unexpected(JobFailed(printerName, reason));
    };
    auto httpReason = [&](const char* step) {
        const int error = httpError(http);
        return std::string(step) + ": " + (error != 0 ? std::strerror(error) : StatusText(nullptr));
    };

    if (cupsStartDocument(http, printerName.c_str(), jobId, kJobName, CUPS_FORMAT_RAW, 1) != HTTP_STATUS_CONTINUE)
        return failAndCancel(httpReason("the server would not start the document"));
    if (!stream.empty() &&
        cupsWriteRequestData(http, stream.data(), stream.size()) != HTTP_STATUS_CONTINUE)
        return failAndCancel(httpReason("sending the label failed"));
    // Not cupsFinishDocument: when the connection is lost before the server answers, it
    // returns the status of the last answer there was, and the label would pass as printed.
    Ipp finished(cupsGetResponse(http, resource.c_str()));
    if (!finished) {
        const int error = httpError(http);
        return failAndCancel("the print server did not confirm the label (" +
                             std::string(error != 0 ? std::strerror(error) : "the connection was closed") + ")");
    }
    if (ippGetStatusCode(finished.get()) > IPP_STATUS_OK_CONFLICTING)
        return failAndCancel(StatusText(finished.get()));
    if (const PrinterState printer = QueryPrinterState(http, printerName); printer.state == IPP_PSTATE_STOPPED)
        return SendReceipt{PausedNote(printerName, printer.message)};
    return {};
}

}  // namespace tarnwick
