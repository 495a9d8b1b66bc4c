#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "labels/print_request.h"
#include "printer/send_to_printer.h"
#include "startup/startup.h"
#include "store/printers.h"

namespace tarnwick {

// `default`, the station's own printer with the values its labels take, then the rows of
// table Printers by name.
std::expected<std::vector<PrinterEntry>, Failure> ListPrinters(const Plant& plant);

// Where a label to a printer goes and the base points it takes.
struct ResolvedPrinter {
    std::string name;
    OutputRoute route;
    PrintBases bases;
};

// The printer of that name; `default` or an empty name is the station's own printer,
// exactly as the Settings row and config.txt give it. A value a row leaves unset is
// default's.
std::expected<ResolvedPrinter, Failure> ResolvePrinter(const Plant& plant, std::string_view name);

// The station's own printer.
ResolvedPrinter DefaultPrinter(const Plant& plant);

}  // namespace tarnwick
