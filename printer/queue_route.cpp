#include <cerrno>
#include <cstring>
#include <optional>

#include "printer/ipp_connection.h"
#include "printer/ipp_message.h"
#include "printer/libcups_route.h"
#include "printer/queue_messages.h"
#include "printer/routes.h"

namespace tarnwick {
namespace {

// The server wants a login (401) or TLS (426): only libcups can give them, and no job
// exists yet, so the label goes again through it.
bool NeedsLibcups(int httpStatus) { return httpStatus == 401 || httpStatus == 426; }

std::string Reason(int error, const char* whenClosed) {
    if (error == EBADMSG) return "its answer could not be read: it is no well-formed HTTP answer";
    return error != 0 ? std::strerror(error) : whenClosed;
}

struct PrinterState {
    int state = 0;
    std::string message;  // why it is stopped or refuses jobs, as the operator wrote it (cupsreject -r)
};

std::string StateRequest(const std::string& printerName) {
    return IppRequest(ipp::kGetPrinterAttributes, 2)
        .Add(IppTag::Uri, "printer-uri", PrinterUri(printerName))
        .Add(IppTag::Keyword, "requested-attributes", "printer-state")
        .AddValue(IppTag::Keyword, "printer-state-message")
        .Encoded();
}

std::optional<IppAnswer> Decoded(const std::expected<IppConnection::Answer, IppConnection::Fault>& answered) {
    if (!answered || answered->httpStatus != 200) return std::nullopt;
    auto answer = DecodeIppAnswer(answered->body);
    if (!answer || !answer->Succeeded()) return std::nullopt;
    return std::move(*answer);
}

// Unknown (all defaults) when the server does not say.
PrinterState QueryPrinterState(IppConnection& connection, const PrintServerAddress& server,
                               const std::string& printerName) {
    const std::string request = StateRequest(printerName);
    std::expected<IppConnection::Answer, IppConnection::Fault> answered =
        std::unexpected(IppConnection::Fault{IppConnection::Fault::Stage::Sending, 0});
    if (connection.Reusable()) answered = connection.Post("/", request);
    if (!answered) {  // a server that closes after each request: once more on a new connection
        if (auto again = IppConnection::Open(server, kServerTimeoutMs)) answered = again->Post("/", request);
    }
    const std::optional<IppAnswer> answer = Decoded(answered);
    PrinterState result;
    if (!answer) return result;
    result.state = answer->Integer("printer-state").value_or(0);
    result.message = answer->Text("printer-state-message").value_or("");
    return result;
}

}  // namespace

SendResult SendToQueue(const std::string& printerName, std::string_view stream) {
    if (printerName.empty()) return std::unexpected(UnknownPrinter());
    const PrintServerAddress server = FindPrintServer();
    if (server.EncryptionRequired()) return SendThroughLibcups(server, printerName, stream);

    auto connection = IppConnection::Open(server, kServerTimeoutMs);
    if (!connection) return std::unexpected(NotRunning(server, connection.error()));

    // One Print-Job carries the label: a server that fails before the last byte has no
    // job, so there is never one to cancel.
    const std::string message = IppRequest(ipp::kPrintJob, 1)
                                    .Add(IppTag::Uri, "printer-uri", PrinterUri(printerName))
                                    .Add(IppTag::Name, "requesting-user-name", server.user)
                                    .Add(IppTag::Name, "job-name", kJobName)
                                    .Add(IppTag::MimeType, "document-format", "application/vnd.cups-raw")
                                    .Encoded();
    auto posted = connection->Post(PrinterResource(printerName), message, stream);
    if (!posted) {
        const IppConnection::Fault fault = posted.error();
        // A connection that breaks while sending leaves the server short of the announced length: no job.
        if (fault.stage == IppConnection::Fault::Stage::Sending)
            return std::unexpected(
                JobFailed(printerName, "sending the label failed: " + Reason(fault.error, "the connection was closed")));
        return std::unexpected(
            MayHavePrinted(server, printerName, Reason(fault.error, "the connection was closed")));
    }
    if (NeedsLibcups(posted->httpStatus)) return SendThroughLibcups(server, printerName, stream);
    if (posted->httpStatus == 404) return std::unexpected(UnknownPrinter());
    if (posted->httpStatus != 200)  // refused before any job
        return std::unexpected(JobFailed(
            printerName, posted->reason.empty() ? "HTTP status " + std::to_string(posted->httpStatus) : posted->reason));

    const auto answer = DecodeIppAnswer(posted->body);
    if (!answer)  // the job may exist: nothing readable says whether it does
        return std::unexpected(MayHavePrinted(server, printerName, "its answer could not be read: " + answer.error()));
    if (answer->status == ipp::kNotFound) return std::unexpected(UnknownPrinter());
    if (!answer->Succeeded()) {
        const std::optional<std::string> said = answer->Text("status-message");
        std::string reason = said && !said->empty() ? *said : IppStatusName(answer->status);
        if (answer->status == ipp::kNotAcceptingJobs) {
            if (const std::string why = QueryPrinterState(*connection, server, printerName).message; !why.empty())
                reason += " (" + why + ")";
        }
        return std::unexpected(JobFailed(printerName, reason));
    }
    if (const PrinterState printer = QueryPrinterState(*connection, server, printerName); printer.state == ipp::kPrinterStopped)
        return SendReceipt{PausedNote(printerName, printer.message)};
    return {};
}

}  // namespace tarnwick
