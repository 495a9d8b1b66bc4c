#include <cups/cups.h>

#include <cerrno>
#include <cstring>
#include <memory>

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

// Our own connection, so that every wait on the server is bounded; the hidden one
// that cupsCreateJob uses can wait for minutes.
std::expected<Http, std::string> Connect() {
    Http http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, kServerTimeoutMs,
                           nullptr));
    if (!http) return std::unexpected(errno != 0 ? std::string(std::strerror(errno)) : "no connection");
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

// Why a queue refuses jobs, as the operator who stopped it wrote it (cupsreject -r).
std::string PrinterStateMessage(http_t* http, const std::string& printerName) {
    Ipp request(ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 PrinterUri(printerName).c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-state-message");
    Ipp response(cupsDoRequest(http, request.release(), "/"));
    if (!response) return {};
    ipp_attribute_t* message = ippFindAttribute(response.get(), "printer-state-message", IPP_TAG_TEXT);
    const char* text = message ? ippGetString(message, 0, nullptr) : nullptr;
    return text ? text : "";
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
    errno = 0;
    auto connected = Connect();
    if (!connected) return std::unexpected(Unreachable(connected.error()));
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
            if (const std::string why = PrinterStateMessage(http, printerName); !why.empty())
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
    const ipp_status_t finished = cupsFinishDocument(http, printerName.c_str());
    if (finished > IPP_STATUS_OK_CONFLICTING) return failAndCancel(StatusText(nullptr));
    return {};
}

}  // namespace tarnwick
