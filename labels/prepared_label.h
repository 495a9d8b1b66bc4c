#pragma once

#include <array>
#include <expected>
#include <string>

#include "base/failure.h"
#include "labels/label_job.h"

namespace tarnwick {

// A builder's arguments made ready for the stream, once, at its entry: every printed
// text in printer bytes, so that each length rule counts characters.
struct PreparedLabel {
    std::string wip, style, color, waist, lengthDesc;
    std::array<std::string, 3> lines;  // centred
    std::string barcode;  // padded to 17
    std::string quantity;  // text of the "Q" command
    std::string madeIn, rn;
    std::string baseH, baseV;
};

// Which of the arguments a layout prints; those it does not print are not checked.
struct FieldUse {
    bool color = true;
    bool madeInAndRn = false;
    bool baseFromPrinterSettings = false;  // family A: BaseX/BaseY, else BaseH/BaseV of config.txt
};

// Refuses a printed field or base text the printer cannot take, or a quantity out of
// range, naming it.
std::expected<PreparedLabel, Failure> PrepareLabel(const LabelArgs& args, const BasePoint& base, const FieldUse& use);

}  // namespace tarnwick
