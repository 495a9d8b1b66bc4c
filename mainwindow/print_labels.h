#pragma once

#include <expected>

#include "labels/failure.h"
#include "labels/print_request.h"
#include "labels/printer_output.h"

namespace tarnwick {

class frmMainMenu;

// The window's controls as Print Labels reads them.
PrintControls ReadPrintControls(const frmMainMenu& form);

// Print Labels with the window's controls, its LabelJob and the plant's settings: the
// style lookup first, on every run, then the request, with the stream sent to `out`.
// The button sends to the printer; the preview runs the same request into a capture.
std::expected<PrintedLabel, Failure> RunPrintRequest(frmMainMenu& form, PrinterOutput& out);

}  // namespace tarnwick
