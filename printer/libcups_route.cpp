#include "printer/libcups_route.h"

#include <cups/cups.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/loaded_library.h"
#include "printer/ipp_connection.h"
#include "printer/queue_messages.h"

namespace tarnwick {
namespace {

#define TARNWICK_CUPS_FUNCTIONS(X)                                                                              \
    X(cupsSetPasswordCB2) X(httpConnect2) X(cupsLastErrorString) X(cupsLastError) X(httpSetTimeout)           \
    X(ippFindAttribute) X(ippGetString) X(ippErrorString) X(ippNewRequest) X(ippAddString) X(ippAddStrings)   \
    X(cupsDoRequest) X(ippGetInteger) X(httpError) X(httpGetStatus) X(cupsSendRequest) X(ippLength)            \
    X(cupsWriteRequestData) X(cupsGetResponse) X(ippGetStatusCode) X(ippDelete) X(httpClose)

struct Libcups {
#define TARNWICK_CUPS_POINTER(name) decltype(&::name) name = nullptr;
    TARNWICK_CUPS_FUNCTIONS(TARNWICK_CUPS_POINTER)
#undef TARNWICK_CUPS_POINTER
    std::string loadError;
};

const Libcups& LoadLibcups() {
    static const Libcups cups = [] {
        Libcups loaded;
        LoadedLibrary library("libcups.so.2");
#define TARNWICK_CUPS_BIND(name) library.Bind(loaded.name, #name);
        TARNWICK_CUPS_FUNCTIONS(TARNWICK_CUPS_BIND)
#undef TARNWICK_CUPS_BIND
        loaded.loadError = library.error();
        return loaded;
    }();
    return cups;
}

class Sender {
public:
    Sender(const Libcups& cups, const PrintServerAddress& server, const std::string& printerName)
        : cups_(cups), server_(server), printerName_(printerName) {}

    SendResult Send(std::string_view stream);

private:
    struct HttpClose {
        const Libcups* cups;
        void operator()(http_t* http) const { cups->httpClose(http); }
    };
    struct IppDelete {
        const Libcups* cups;
        void operator()(ipp_t* ipp) const { cups->ippDelete(ipp); }
    };
    using Http = std::unique_ptr<http_t, HttpClose>;
    using Ipp = std::unique_ptr<ipp_t, IppDelete>;

    Ipp Own(ipp_t* ipp) const { return Ipp(ipp, IppDelete{&cups_}); }

    std::string StatusText(ipp_t* response) const {
        if (response) {
            if (ipp_attribute_t* message = cups_.ippFindAttribute(response, "status-message", IPP_TAG_TEXT)) {
                if (const char* text = cups_.ippGetString(message, 0, nullptr); text && *text) return text;
            }
        }
        const char* last = cups_.cupsLastErrorString();
        return last && *last ? last : cups_.ippErrorString(cups_.cupsLastError());
    }

    std::string ErrnoOr(http_t* http, const std::string& otherwise) const {
        const int error = cups_.httpError(http);
        return error != 0 ? std::strerror(error) : otherwise;
    }

    bool ServerDidNotAnswer(http_t* http, ipp_t* response) const {
        return !response && (cups_.httpError(http) != 0 || cups_.httpGetStatus(http) == HTTP_STATUS_ERROR ||
                             cups_.cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE ||
                             cups_.cupsLastError() == IPP_STATUS_ERROR_INTERNAL);
    }

    struct PrinterState {
        ipp_pstate_t state = IPP_PSTATE_IDLE;
        std::string message;
    };

    PrinterState QueryPrinterState(http_t* http) const {
        Ipp request = Own(cups_.ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES));
        cups_.ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                           PrinterUri(printerName_).c_str());
        static const char* const wanted[] = {"printer-state", "printer-state-message"};
        cups_.ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                            wanted);
        Ipp response = Own(cups_.cupsDoRequest(http, request.release(), "/"));
        PrinterState result;
        if (!response) return result;
        if (ipp_attribute_t* state = cups_.ippFindAttribute(response.get(), "printer-state", IPP_TAG_ENUM))
            result.state = static_cast<ipp_pstate_t>(cups_.ippGetInteger(state, 0));
        ipp_attribute_t* message = cups_.ippFindAttribute(response.get(), "printer-state-message", IPP_TAG_TEXT);
        if (const char* text = message ? cups_.ippGetString(message, 0, nullptr) : nullptr) result.message = text;
        return result;
    }

    const Libcups& cups_;
    const PrintServerAddress& server_;
    const std::string& printerName_;
};

SendResult Sender::Send(std::string_view stream) {
    // A server that wants a password is reported, never answered from the terminal.
    cups_.cupsSetPasswordCB2([](const char*, http_t*, const char*, const char*, void*) -> const char* { return nullptr; },
                             nullptr);
    // As found now: libcups keeps what it read at its first use in this thread.
    using Encryption = PrintServerAddress::Encryption;
    const http_encryption_t encryption = server_.encryption == Encryption::Always     ? HTTP_ENCRYPTION_ALWAYS
                                         : server_.encryption == Encryption::Required ? HTTP_ENCRYPTION_REQUIRED
                                         : server_.encryption == Encryption::Never    ? HTTP_ENCRYPTION_NEVER
                                                                                       : HTTP_ENCRYPTION_IF_REQUESTED;
    Http http(cups_.httpConnect2(server_.host.c_str(), server_.port, nullptr, AF_UNSPEC, encryption, 1,
                                 kServerTimeoutMs, nullptr),
              HttpClose{&cups_});
    if (!http) {
        // libcups reports a refused connection as "Host is down": a plain connect asks again.
        if (auto plain = IppConnection::Open(server_, kServerTimeoutMs); !plain)
            return std::unexpected(NotRunning(server_, plain.error()));
        // The server answers: what failed is a step of libcups's own, such as TLS.
        std::string reason = cups_.cupsLastErrorString() ? cups_.cupsLastErrorString() : "";
        if (reason.ends_with('.')) reason.pop_back();
        return std::unexpected(Unreachable(server_, reason.empty() ? "no connection" : reason));
    }
    // Every wait is bounded; libcups first waits up to a second for "100 Continue".
    cups_.httpSetTimeout(http.get(), kServerTimeoutMs / 1000.0, nullptr, nullptr);

    const std::string uri = PrinterUri(printerName_);
    const std::string resource = PrinterResource(printerName_);
    Ipp request = Own(cups_.ippNewRequest(IPP_OP_PRINT_JOB));
    cups_.ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    cups_.ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                       server_.user.c_str());
    cups_.ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, kJobName);
    cups_.ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                       CUPS_FORMAT_RAW);

    // The length covers the IPP message as well as the label.
    http_status_t sending = cups_.cupsSendRequest(http.get(), request.get(), resource.c_str(),
                                                  cups_.ippLength(request.get()) + stream.size());
    if (sending == HTTP_STATUS_ERROR || sending == HTTP_STATUS_SERVICE_UNAVAILABLE)
        return std::unexpected(Unreachable(server_, ErrnoOr(http.get(), StatusText(nullptr))));
    if (sending == HTTP_STATUS_CONTINUE && !stream.empty()) {
        // A connection that breaks here leaves the server short of the announced length: no job.
        sending = cups_.cupsWriteRequestData(http.get(), stream.data(), stream.size());
        if (sending == HTTP_STATUS_ERROR)
            return std::unexpected(
                JobFailed(printerName_, "sending the label failed: " + ErrnoOr(http.get(), StatusText(nullptr))));
    }
    Ipp answer = Own(nullptr);
    if (sending == HTTP_STATUS_CONTINUE || sending == HTTP_STATUS_OK) {
        answer = Own(cups_.cupsGetResponse(http.get(), resource.c_str()));
        if (ServerDidNotAnswer(http.get(), answer.get()))
            // libcups reports a connection closed by the server as a broken pipe.
            return std::unexpected(MayHavePrinted(server_, printerName_,
                                                  cups_.httpError(http.get()) == EPIPE
                                                      ? "the connection was closed"
                                                      : ErrnoOr(http.get(), "the connection was closed")));
    }
    if (!answer) {  // an HTTP refusal (not found, unauthorised) before any job
        if (cups_.cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return std::unexpected(UnknownPrinter());
        return std::unexpected(JobFailed(printerName_, StatusText(nullptr)));
    }

    const ipp_status_t status = cups_.ippGetStatusCode(answer.get());
    if (status == IPP_STATUS_ERROR_NOT_FOUND) return std::unexpected(UnknownPrinter());
    if (status > IPP_STATUS_OK_CONFLICTING) {
        std::string reason = StatusText(answer.get());
        if (status == IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS) {
            if (const std::string why = QueryPrinterState(http.get()).message; !why.empty()) reason += " (" + why + ")";
        }
        return std::unexpected(JobFailed(printerName_, reason));
    }
    if (const PrinterState printer = QueryPrinterState(http.get()); printer.state == IPP_PSTATE_STOPPED)
        return SendReceipt{PausedNote(printerName_, printer.message)};
    return {};
}

}  // namespace

SendResult SendThroughLibcups(const PrintServerAddress& server, const std::string& printerName,
                              std::string_view stream) {
    const Libcups& cups = LoadLibcups();
    if (!cups.loadError.empty())
        return std::unexpected(Failure{
            "The print server " + server.Name() +
                " asks for encryption or a login, and the CUPS library that provides them could not be loaded (" +
                cups.loadError + "). The label was not printed. Install the CUPS client library (libcups2), "
                "then print the label again.",
            "Tarnwick", MessageIcon::Critical});
    return Sender(cups, server, printerName).Send(stream);
}

}  // namespace tarnwick
