#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "base/failure.h"

namespace tarnwick {

// A text for the label, UTF-8, as the printer's one byte per character. `what` names the
// text in the refusal ("The Style field"): a control character would be taken by the
// printer as a command, and a character outside Windows-1252 cannot be printed at all.
std::expected<std::string, Failure> EncodeLabelText(std::string_view what, std::string_view utf8);

}  // namespace tarnwick
