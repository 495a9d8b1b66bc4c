#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "base/failure.h"

namespace tarnwick {

// A base box's text under the "0000" pattern: a number becomes a whole number of at
// least four digits (50 gives 0050, 12345 stays 12345, -5 gives -0005, the printer's
// sign-and-four-digits form), a fraction rounded to the nearest, halves to even as Save
// Settings rounds BaseY; a text that is not a number stays as typed; empty stays empty.
std::string Format0000(std::string_view text);

// The setup window's one-line test label: SAMPLE TEXT in font OB at the base point
// given by the two boxes (UTF-8, as typed), one copy. A box that the printer cannot
// take is refused, naming the box.
std::expected<std::string, Failure> SampleStream(std::string_view baseXText, std::string_view baseYText);

}  // namespace tarnwick
