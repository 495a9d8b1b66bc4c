#pragma once

#include <expected>
#include <optional>
#include <string_view>

#include "labels/failure.h"
#include "labels/label_job.h"
#include "labels/printer_output.h"

namespace tarnwick {

// A layout builder composes one label job and makes exactly one SendToPrinter call,
// or refuses and sends nothing.
using LayoutBuilder = std::expected<void, Failure> (*)(const LabelArgs& args, const BasePoint& base,
                                                        PrinterOutput& out);

std::expected<void, Failure> PrintLayoutA1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutA2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutB1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutB2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutB3(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutB4(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutC1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutC2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutD1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutD2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
std::expected<void, Failure> PrintLayoutE(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);

struct Layout {
    std::string_view name;  // "A1" .. "E"
    LayoutBuilder build;
    bool usesPrinterSettingsBase;  // family A: BaseX/BaseY; the others BaseH/BaseV
};

// The builder of a layout code ("calh021" ...), exact and case-sensitive.
std::optional<Layout> LayoutForCode(std::string_view code);

// A builder by its name ("A1" .. "E").
std::optional<Layout> LayoutByName(std::string_view name);

}  // namespace tarnwick
