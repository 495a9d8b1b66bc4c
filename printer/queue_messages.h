#pragma once

#include <string>
#include <string_view>

#include "base/failure.h"

namespace tarnwick {

// What the operator is told of a label sent to a CUPS queue.

inline constexpr const char* kJobName = "AAAAAA";

Failure UnknownPrinter();
// Nothing listens where the print server should be: connecting fails before any request.
Failure NotRunning(const std::string& server, const std::string& reason);
Failure Unreachable(const std::string& server, const std::string& reason);
Failure JobFailed(const std::string& printerName, const std::string& reason);
// The server took the label but its job ended without printing (cancelled, aborted) or
// stopped before printing it.
Failure JobEnded(const std::string& printerName, int job, std::string_view how, const std::string& reason);
// Every byte of the label went out but no answer came: the server may have queued the
// job, and nothing tells its number, so only the operator can tell whether it printed.
Failure MayHavePrinted(const std::string& server, const std::string& printerName, const std::string& reason);
// The server took the job but will not print it yet: the operator must know.
std::string PausedNote(const std::string& printerName, const std::string& why);

// A text the print server wrote (status-message, printer-state-message) as a message can
// carry it: control characters as blanks, runs of blanks as one, at most 200 characters.
std::string ServerText(std::string_view text);

// ipp://localhost/printers/NAME, the name escaped as a URI path segment.
std::string PrinterUri(const std::string& printerName);
// The HTTP resource of that URI.
std::string PrinterResource(const std::string& printerName);

}  // namespace tarnwick
