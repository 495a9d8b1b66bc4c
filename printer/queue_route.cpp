#include <cups/cups.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "printer/queue_messages.h"
#include "printer/routes.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};
struct IppDelete {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Http = std::unique_ptr<http_t, HttpClose>;
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Ends every wait on the server at the label's deadline. libcups gives up a wait that
// hears nothing, but a server that keeps talking (endless header lines, "100 Continue"
// after "100 Continue") keeps it reading: at the deadline the connection is shut, and
// every read and write on it fails at once.
class Deadline {
public:
    // A descriptor of its own on the connection's socket: libcups may close its number and
    // open another connection, and the number may then name anything else.
    Deadline(int fd, Clock::time_point at)
        : fd_(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), at_(at), thread_([this] {
              std::unique_lock lock(mutex_);
              if (!wake_.wait_until(lock, at_, [this] { return done_; })) {
                  passed_ = true;
                  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
              }
          }) {}
    ~Deadline() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    bool passed() {
        const std::lock_guard lock(mutex_);
        return passed_ || Clock::now() >= at_;
    }

private:
    int fd_;
    Clock::time_point at_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool passed_ = false;
    std::thread thread_;
};

// The server as messages name it: host:port, or the local socket's path.
std::string ServerName() {
    const std::string host = cupsServer();
    if (host.starts_with('/')) return host;
    return host + ":" + std::to_string(ippPort());
}

// Why nothing could be connected to: libcups says "Host is down" of a refused connection,
// so one plain connect asks the system. Empty when the server takes a connection.
std::string ConnectError(int milliseconds) {
    http_addrlist_t* addresses = httpAddrGetList(cupsServer(), AF_UNSPEC, std::to_string(ippPort()).c_str());
    if (addresses == nullptr) return "the name " + std::string(cupsServer()) + " is not known";
    int error = 0;
    for (http_addrlist_t* a = addresses; a != nullptr; a = a->next) {
        const int fd = ::socket(a->addr.addr.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        const bool connected = ::connect(fd, &a->addr.addr, static_cast<socklen_t>(httpAddrLength(&a->addr))) == 0;
        error = connected ? 0 : errno;
        ::close(fd);
        if (connected) break;
    }
    httpAddrFreeList(addresses);
    return error != 0 ? std::strerror(error) : "";
}

std::string Said(ipp_t* answer, const char* name) {
    ipp_attribute_t* attribute = answer ? ippFindAttribute(answer, name, IPP_TAG_ZERO) : nullptr;
    const char* text = attribute ? ippGetString(attribute, 0, nullptr) : nullptr;
    return text ? ServerText(text) : "";
}

// The server's words for a failed request, or libcups's.
std::string StatusText(ipp_t* answer) {
    if (std::string said = Said(answer, "status-message"); !said.empty()) return said;
    const char* last = cupsLastErrorString();
    return ServerText(last && *last ? last : ippErrorString(cupsLastError()));
}

std::string SystemErrorOr(http_t* http, const std::string& otherwise) {
    const int error = httpError(http);
    // A connection the server closed, or the deadline shut, reads as a broken pipe.
    if (error == EPIPE || error == ECONNRESET) return otherwise;
    // libcups's word for an answer that is no HTTP or no IPP.
    if (error == EINVAL) return "its answer could not be read";
    return error != 0 ? std::strerror(error) : otherwise;
}

// An answer to this request: libcups reads whatever answer comes next, and a server
// may have sent one nobody asked for.
bool Answers(ipp_t* answer, ipp_t* request) { return answer && ippGetRequestId(answer) == ippGetRequestId(request); }

struct PrinterState {
    ipp_pstate_t state = IPP_PSTATE_IDLE;
    std::string message;  // why it is stopped or refuses jobs (cupsreject -r, cupsdisable -r)
};

// Unknown (all defaults) when the server does not say in time.
PrinterState QueryPrinterState(http_t* http, const std::string& printerName) {
    Ipp request(ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 PrinterUri(printerName).c_str());
    static const char* const wanted[] = {"printer-state", "printer-state-message"};
    ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, wanted);
    const int id = ippGetRequestId(request.get());
    Ipp answer(cupsDoRequest(http, request.release(), "/"));
    PrinterState result;
    if (!answer || ippGetRequestId(answer.get()) != id) return result;
    if (ipp_attribute_t* state = ippFindAttribute(answer.get(), "printer-state", IPP_TAG_ENUM))
        result.state = static_cast<ipp_pstate_t>(ippGetInteger(state, 0));
    result.message = Said(answer.get(), "printer-state-message");
    return result;
}

}  // namespace

SendResult SendToQueue(const std::string& printerName, std::string_view stream, std::chrono::milliseconds limit) {
    if (printerName.empty()) return std::unexpected(UnknownPrinter());
    const Clock::time_point deadline = Clock::now() + limit;
    const std::string within = "no answer within " + std::to_string((limit.count() + 999) / 1000) + " s";

    // libcups keeps what it read of the environment and client.conf at its first use in
    // a thread; a label reads them as they are now. A server that wants a password is
    // reported, never answered from the terminal.
    cupsSetServer(nullptr);
    cupsSetEncryption(static_cast<http_encryption_t>(-1));
    cupsSetUser(nullptr);
    cupsSetPasswordCB2([](const char*, http_t*, const char*, const char*, void*) -> const char* { return nullptr; },
                       nullptr);
    const std::string server = ServerName();

    Http http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, MillisecondsLeft(deadline),
                           nullptr));
    if (!http) {
        if (const std::string refused = ConnectError(MillisecondsLeft(deadline) + 1); !refused.empty())
            return std::unexpected(NotRunning(server, refused));
        // The server answers: what failed is a step of libcups's own, such as TLS.
        std::string reason = ServerText(cupsLastErrorString() ? cupsLastErrorString() : "");
        if (reason.ends_with('.')) reason.pop_back();
        return std::unexpected(Unreachable(server, reason.empty() ? "no connection" : reason));
    }
    // A wait that hears nothing is looked at every quarter second, and given up at the deadline.
    httpSetTimeout(
        http.get(), 0.25, [](http_t*, void* at) { return Clock::now() < *static_cast<Clock::time_point*>(at) ? 1 : 0; },
        const_cast<Clock::time_point*>(&deadline));
    Deadline shut(httpGetFd(http.get()), deadline);

    // One Print-Job carries the label: a server that fails before the last byte has no
    // job, so there is never one to cancel.
    const std::string resource = PrinterResource(printerName);
    Ipp request(ippNewRequest(IPP_OP_PRINT_JOB));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 PrinterUri(printerName).c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, kJobName);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, CUPS_FORMAT_RAW);

    // The length covers the IPP message as well as the label.
    http_status_t sending =
        cupsSendRequest(http.get(), request.get(), resource.c_str(), ippLength(request.get()) + stream.size());
    if (sending == HTTP_STATUS_ERROR || sending == HTTP_STATUS_SERVICE_UNAVAILABLE)
        return std::unexpected(
            Unreachable(server, shut.passed() ? within : SystemErrorOr(http.get(), StatusText(nullptr))));
    if (sending == HTTP_STATUS_CONTINUE && !stream.empty()) {
        // A connection that breaks here leaves the server short of the announced length: no
        // job. Written and flushed here, so that a failure means bytes did not go; libcups's
        // own write may also fail on an early look at the answer, after the last byte.
        if (httpWrite2(http.get(), stream.data(), stream.size()) < 0 || httpFlushWrite(http.get()) < 0)
            return std::unexpected(JobFailed(
                printerName, "sending the label failed: " +
                                 (shut.passed() ? within : SystemErrorOr(http.get(), "the connection was closed"))));
    }
    Ipp answer;
    if (sending == HTTP_STATUS_CONTINUE || sending == HTTP_STATUS_OK) {
        answer.reset(cupsGetResponse(http.get(), resource.c_str()));
        if (shut.passed() && !answer) return std::unexpected(MayHavePrinted(server, printerName, within));
        const bool heardNothing =
            !answer &&
            (httpError(http.get()) != 0 || httpGetStatus(http.get()) == HTTP_STATUS_ERROR ||
             cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || cupsLastError() == IPP_STATUS_ERROR_INTERNAL);
        if (heardNothing)
            return std::unexpected(
                MayHavePrinted(server, printerName, SystemErrorOr(http.get(), "the connection was closed")));
        if (answer && !Answers(answer.get(), request.get()))
            return std::unexpected(MayHavePrinted(server, printerName, "its answer was to another request"));
    }
    if (!answer) {  // an HTTP refusal (not found, unauthorised) before any job
        if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND || httpGetStatus(http.get()) == HTTP_STATUS_NOT_FOUND)
            return std::unexpected(UnknownPrinter());
        return std::unexpected(JobFailed(printerName, StatusText(nullptr)));
    }

    const ipp_status_t status = ippGetStatusCode(answer.get());
    if (status == IPP_STATUS_ERROR_NOT_FOUND) return std::unexpected(UnknownPrinter());
    if (status > IPP_STATUS_OK_CONFLICTING) {
        std::string reason = StatusText(answer.get());
        if (status == IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS) {
            if (const std::string why = QueryPrinterState(http.get(), printerName).message; !why.empty())
                reason += " (" + why + ")";
        }
        return std::unexpected(JobFailed(printerName, reason));
    }
    // Taken is not printed: a job the server has already cancelled, aborted or stopped
    // will not come out of the printer as it stands.
    ipp_attribute_t* jobState = ippFindAttribute(answer.get(), "job-state", IPP_TAG_ENUM);
    const int state = jobState ? ippGetInteger(jobState, 0) : 0;
    if (state == IPP_JSTATE_STOPPED || state == IPP_JSTATE_CANCELED || state == IPP_JSTATE_ABORTED) {
        ipp_attribute_t* id = ippFindAttribute(answer.get(), "job-id", IPP_TAG_INTEGER);
        std::string reason = Said(answer.get(), "job-state-message");
        if (reason.empty()) reason = Said(answer.get(), "job-state-reasons");
        if (reason.empty()) reason = Said(answer.get(), "status-message");
        const char* how = state == IPP_JSTATE_STOPPED    ? "stopped"
                          : state == IPP_JSTATE_CANCELED ? "cancelled"
                                                         : "aborted";
        return std::unexpected(JobEnded(printerName, id ? ippGetInteger(id, 0) : 0, how, reason));
    }
    if (state == IPP_JSTATE_HELD) {
        std::string reason = Said(answer.get(), "job-state-reasons");
        return SendReceipt{"The print server holds the label's job for printer \"" + printerName + "\"" +
                           (reason.empty() ? "" : " (" + reason + ")") +
                           ": it prints once the job is released (for example with lp -i JOB -H resume)."};
    }
    if (shut.passed()) return {};
    if (const PrinterState printer = QueryPrinterState(http.get(), printerName); printer.state == IPP_PSTATE_STOPPED)
        return SendReceipt{PausedNote(printerName, printer.message)};
    return {};
}

}  // namespace tarnwick
