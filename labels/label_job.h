#pragma once

#include <filesystem>
#include <string>
#include <variant>

namespace tarnwick {

// A label's own values, however they came (typed, read from a cut sheet's row, handed
// to a builder), in the builders' argument order: UTF-8 text, blank for unset.
struct LabelFields {
    std::string WIP, Style, Color, Waist, Length, LengthDesc;
    std::string Text1, Text2, Text3, Barcode, Qty;
};

// The main window's label values.
struct LabelJob : LabelFields {
    std::string MadeIn;
};

// What a builder receives, in the builders' argument order. The builder encodes the text
// for the printer. MadeIn and RN are read by the new-format layouts only.
struct LabelArgs : LabelFields {
    bool PrintHeaders = false;
    std::string MadeIn, RN;
    // The plant folder whose images/ a layout's picture is read below; empty: the current
    // folder. Each request carries its own, so one process may serve several folders.
    std::filesystem::path pictures = {};
};

// A setting that is a number or a text, kept as read, because its text form on the
// label depends on which (an unquoted 0050 prints 50, a quoted "0050" prints 0050).
using BaseValue = std::variant<std::monostate, double, std::string>;

// The text written for a base value: a number in plain decimal, a text as it is,
// nothing for an unset value.
std::string BaseText(const BaseValue& value);

// The two texts of the base reference command ESC "A3H" h "V" v.
struct BasePoint {
    std::string h;
    std::string v;
};

}  // namespace tarnwick
