#pragma once

#include <string>

#include "base/failure.h"
#include "printer/print_server_address.h"

namespace tarnwick {

// What the operator is told of a label sent to a CUPS queue, whichever client sent it.

// Past this a wait on the server fails instead of leaving the window hanging.
inline constexpr int kServerTimeoutMs = 4000;
inline constexpr const char* kJobName = "AAAAAA";

Failure UnknownPrinter();
// Nothing listens where the print server should be: connecting fails before any request.
Failure NotRunning(const PrintServerAddress& server, const std::string& reason);
Failure Unreachable(const PrintServerAddress& server, const std::string& reason);
Failure JobFailed(const std::string& printerName, const std::string& reason);
// Every byte of the label went out but no answer came: the server may have queued the
// job, and nothing tells its number, so only the operator can tell whether it printed.
Failure MayHavePrinted(const PrintServerAddress& server, const std::string& printerName, const std::string& reason);
// The server took the job but will not print it yet: the operator must know.
std::string PausedNote(const std::string& printerName, const std::string& why);

// ipp://localhost/printers/NAME, the name escaped as a URI path segment.
std::string PrinterUri(const std::string& printerName);
// The HTTP resource of that URI.
std::string PrinterResource(const std::string& printerName);

}  // namespace tarnwick
