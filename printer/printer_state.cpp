#include "printer/printer_state.h"

#include <cups/cups.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnwick {
namespace {

std::string Option(cups_dest_t* dest, const char* name) {
    const char* value = cupsGetOption(name, dest->num_options, dest->options);
    return value != nullptr ? value : "";
}

PrinterState QueueState(const std::string& name) {
    cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, name.c_str(), nullptr);
    if (dest == nullptr) {
        // No such queue and no answering server read alike to libcups; its last error tells.
        const ipp_status_t status = cupsLastError();
        if (status == IPP_STATUS_ERROR_NOT_FOUND || status == IPP_STATUS_OK)
            return {false, "missing", "the print server has no queue of that name"};
        return {false, "unreachable", cupsLastErrorString() != nullptr ? cupsLastErrorString() : ""};
    }
    PrinterState state;
    const std::string code = Option(dest, "printer-state");
    const std::string accepting = Option(dest, "printer-is-accepting-jobs");
    state.reason = Option(dest, "printer-state-reasons");
    if (state.reason == "none") state.reason.clear();
    cupsFreeDests(1, dest);
    if (accepting == "false" || accepting == "0") {
        state.state = "rejecting";
    } else if (code == "5") {
        state.state = "stopped";
    } else {
        state.state = code == "4" ? "printing" : "idle";
        state.ready = true;
    }
    return state;
}

}  // namespace

PrinterState StateOf(const OutputRoute& route) {
    if (route.queue) return QueueState(route.printerName);
    if (::access(route.device.c_str(), W_OK) == 0) return {true, "present", ""};
    const int error = errno;
    return {false, error == ENOENT ? "missing" : "unwritable", std::strerror(error)};
}

}  // namespace tarnwick
