#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "labels/label_job.h"

namespace tarnwick {

// The station's own printer: the Settings row and config.txt, never a row of Printers.
inline constexpr std::string_view kDefaultPrinter = "default";

// DeviceTimeout of a printer, in whole seconds, as config.txt allows it.
inline constexpr int kLongestPrinterTimeout = 3600;

// One printer as the list shows it. For `default` every value is the one its labels
// take; for a row of Printers an unset value (monostate, nullopt) is inherited from
// `default`.
struct PrinterEntry {
    std::string name;
    bool queue = false;  // true: a raw job to the queue named target
    std::string target;  // the queue name, or the device path made absolute from the plant folder
    BaseValue baseX;
    std::optional<std::int16_t> baseY;
    BaseValue baseH;
    std::optional<std::string> baseV;
    std::optional<std::chrono::seconds> deviceTimeout;
};

// The rows of table Printers of data.mdb in the plant folder, by name (case ignored); a
// data.mdb without the table has none, and nothing is written.
std::expected<std::vector<PrinterEntry>, Failure> ReadPrinters(const std::filesystem::path& plantFolder);

// The row of that name (case ignored); nullopt when there is none.
std::expected<std::optional<PrinterEntry>, Failure> FindPrinter(const std::filesystem::path& plantFolder,
                                                                std::string_view name);

// Whether a name is the station's own printer's, whatever its case.
bool IsDefaultPrinter(std::string_view name);

// "There is no printer named …", with how to add one and `then`.
Failure NoSuchPrinter(std::string_view name, const std::filesystem::path& plantFolder, std::string_view then);

// What to store for a printer, each value as typed. nullopt: not given (add: inherited;
// set: kept). An empty text: inherited from `default`. route is "queue" or "device" and
// comes with target, the queue name or device path (relative: from the plant folder).
struct PrinterChange {
    std::string name;
    std::optional<std::string> route;
    std::optional<std::string> target;
    std::optional<std::string> baseX;  // kept as text, as Setup keeps BaseX
    std::optional<std::string> baseY;  // a whole number from -32768 to 32767
    std::optional<std::string> baseH;  // kept as text, as a quoted BaseH in config.txt
    std::optional<std::string> baseV;
    std::optional<std::string> deviceTimeout;  // whole seconds, 1 to 3600
};

// Adds a printer to data.mdb in the plant folder, making table Printers on the first.
// Names are compared ignoring ASCII case, as styles are, and kept as typed.
std::expected<void, Failure> AddPrinter(const std::filesystem::path& plantFolder, const PrinterChange& change);
// Changes only the values given of an existing printer.
std::expected<void, Failure> SetPrinter(const std::filesystem::path& plantFolder, const PrinterChange& change);
std::expected<void, Failure> RemovePrinter(const std::filesystem::path& plantFolder, std::string_view name);

}  // namespace tarnwick
