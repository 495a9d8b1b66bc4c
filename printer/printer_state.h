#pragma once

#include <string>

#include "printer/send_to_printer.h"

namespace tarnwick {

// Whether a route would take a label now, as a list of printers shows it: a queue's state
// from its print server (idle, printing, stopped, not accepting jobs, unknown), a raw
// device present and writable or not. Reading it sends nothing to the printer.
struct PrinterState {
    bool ready = false;
    std::string state;  // "idle", "printing", "stopped", "rejecting", "missing", "unreachable", "present", "unwritable"
    std::string reason;  // the server's reasons, or why the device cannot be written; empty when none
};

PrinterState StateOf(const OutputRoute& route);

}  // namespace tarnwick
