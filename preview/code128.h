#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The modules of a Code 128 symbol started in code set B, one entry per module
// (1 = bar, 0 = space), quiet zones and human-readable text left out. `data` is the
// printer's bytes; those above 0x7F go through FNC4 as Latin-1, as the printer does.
// No data gives no modules, so an empty bar code draws nothing.
std::expected<std::vector<std::uint8_t>, std::string> Code128BModules(std::string_view data);

}  // namespace tarnwick
