#pragma once

#include <expected>

#include "base/failure.h"
#include "labels/print_request.h"
#include "labels/printer_output.h"

namespace tarnwick {

class frmMainMenu;

// The window's controls as Print Labels reads them.
PrintControls ReadPrintControls(const frmMainMenu& form);

}  // namespace tarnwick
