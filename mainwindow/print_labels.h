#pragma once

#include <expected>

#include "base/failure.h"
#include "labels/print_request.h"
#include "labels/printer_output.h"
#include "printjob/label_request.h"

namespace tarnwick {

class frmMainMenu;

// The window's controls as Print Labels reads them.
PrintControls ReadPrintControls(const frmMainMenu& form);

// What Print Labels and Preview ask the core for: the one place the window's controls
// become a request.
LabelRequest RequestOf(const frmMainMenu& form);

}  // namespace tarnwick
