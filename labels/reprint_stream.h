#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "base/failure.h"

namespace tarnwick {

// The quantity text of a finished stream: the digits of its final ESC "Q" command,
// which the frame puts just before the closing ESC "Z". Nullopt when the stream does
// not end that way.
std::optional<std::string_view> StreamQuantity(std::string_view stream);

// The same stream with only that quantity changed; every other byte stays as recorded.
std::expected<std::string, Failure> WithQuantity(std::string_view stream, int quantity);

// A quantity to reprint as typed: a whole number from 1 to 32767.
std::expected<int, Failure> ReprintQuantity(std::string_view text);

}  // namespace tarnwick
