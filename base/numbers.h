#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The leading number of a text, read the way the plant's label system always read
// quantities and config values: blanks, tabs and line feeds are skipped anywhere,
// then an optional sign, digits, a full stop with digits, an exponent (E or D);
// "&H" and "&O" read hexadecimal and octal. No leading number gives 0.
double LeadingNumber(std::string_view text);

// Whether the whole text (surrounding blanks aside) is one number as LeadingNumber
// reads it, as an unquoted config field must be to count as a number.
bool IsWholeNumberText(std::string_view text);

// Nearest integer, halves to the even neighbour; nullopt outside -32768..32767.
std::optional<std::int16_t> RoundToInt16(double value);

// Ordinary decimal text of a number: whole numbers as plain digits (-0 as 0),
// others with at most 15 significant digits and no trailing zeros, exponent form
// only for magnitudes the plain form cannot show.
std::string FormatNumber(double value);

}  // namespace tarnwick
