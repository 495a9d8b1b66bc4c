#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// A recorded text made safe to show on a terminal or in a window: control characters
// (C0, DEL, and C1 such as U+009B, which a terminal may take as a command) and bytes
// that are no UTF-8 are written as \xHH or \u00HH; everything else is kept.
std::string PrintableText(std::string_view text);

}  // namespace tarnwick
