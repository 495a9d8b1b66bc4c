#include "printjob/printers.h"

#include <variant>

#include "labels/base_point.h"

namespace tarnwick {

ResolvedPrinter DefaultPrinter(const Plant& plant) {
    const PrinterSettings& own = plant.printer;
    return {std::string(kDefaultPrinter),
            {own.USBPrinter, own.USBPrinterName, plant.rawDevice(), plant.config.DeviceTimeout},
            {FamilyABase(own.BaseX, own.BaseY), OtherFamiliesBase(plant.config.BaseH, plant.config.BaseV)}};
}

std::expected<std::vector<PrinterEntry>, Failure> ListPrinters(const Plant& plant) {
    const PrinterSettings& own = plant.printer;
    std::vector<PrinterEntry> printers{{std::string(kDefaultPrinter), own.USBPrinter,
                                        own.USBPrinter ? own.USBPrinterName : plant.rawDevice().string(), own.BaseX,
                                        own.BaseY, plant.config.BaseH, plant.config.BaseV, plant.config.DeviceTimeout}};
    auto rows = ReadPrinters(plant.folder);
    if (!rows) return std::unexpected(rows.error());
    printers.insert(printers.end(), std::make_move_iterator(rows->begin()), std::make_move_iterator(rows->end()));
    return printers;
}

std::expected<ResolvedPrinter, Failure> ResolvePrinter(const Plant& plant, std::string_view name) {
    if (name.empty() || IsDefaultPrinter(name)) return DefaultPrinter(plant);
    const auto row = FindPrinter(plant.folder, name);
    if (!row) return std::unexpected(row.error());
    if (!*row) return std::unexpected(NoSuchPrinter(name, plant.folder, ", or print to another."));
    const PrinterEntry& p = **row;
    const PrinterSettings& own = plant.printer;
    const auto inherit = [](const BaseValue& value, const BaseValue& from) {
        return std::holds_alternative<std::monostate>(value) ? from : value;
    };
    return ResolvedPrinter{
        p.name,
        {p.queue, p.queue ? p.target : std::string(),
         p.queue ? std::filesystem::path() : std::filesystem::path(p.target),
         p.deviceTimeout.value_or(plant.config.DeviceTimeout)},
        {FamilyABase(inherit(p.baseX, own.BaseX), p.baseY.value_or(own.BaseY)),
         OtherFamiliesBase(inherit(p.baseH, plant.config.BaseH), p.baseV.value_or(plant.config.BaseV))}};
}

}  // namespace tarnwick
