#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/failure.h"

namespace tarnwick {

// SHA-256 of the bytes, as 64 lowercase hex digits.
std::string Sha256Hex(std::string_view bytes);
// The same of a file's content, read a block at a time.
std::expected<std::string, Failure> FileSha256Hex(const std::filesystem::path& file);

// Bytes from the system's random source, as hex: 2 * `bytes` digits. Secrets (tokens,
// sessions) are made of these.
std::string RandomHex(std::size_t bytes);

// Whether two texts are equal, in a time that depends on their length only: a secret's
// comparison tells nothing of how much of it matched.
bool SameInConstantTime(std::string_view a, std::string_view b);

}  // namespace tarnwick
