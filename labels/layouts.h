#pragma once

#include <expected>
#include <optional>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "labels/label_job.h"
#include "labels/printer_output.h"

namespace tarnwick {

// A layout builder composes one label job and makes exactly one SendToPrinter call,
// or refuses and sends nothing.
using LayoutBuilder = SendResult (*)(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);

SendResult PrintLayoutA1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutA2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutB1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutB2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutB3(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutB4(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutC1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutC2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutD1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutD2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);
SendResult PrintLayoutE(const LabelArgs& args, const BasePoint& base, PrinterOutput& out);

struct Layout {
    std::string_view name;  // "A1" .. "E"
    LayoutBuilder build;
    bool usesPrinterSettingsBase;  // family A: BaseX/BaseY; the others BaseH/BaseV
};

// The builder of a layout code ("calh021" ...), exact and case-sensitive.
std::optional<Layout> LayoutForCode(std::string_view code);

// Every code LayoutForCode knows, in alphabetical order.
std::vector<std::string_view> LayoutCodes();

// A builder by its name ("A1" .. "E").
std::optional<Layout> LayoutByName(std::string_view name);

}  // namespace tarnwick
