#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "store/settings_store.h"

namespace tarnwick {

// A list of style,code rows as a spreadsheet saves it: UTF-8 (BOM allowed) or
// Windows-1252, double quotes around fields that hold commas ("" for a quote).
// Blank lines are skipped, as is a first line "Style,PrintStyle" or "Style,Code".
// Blanks around an unquoted field are dropped. fileName names the file in messages.
std::expected<std::vector<StyleCode>, Failure> ParseStyleCsv(std::string_view bytes, const std::string& fileName);

// Reads and parses a style list. Only a regular file is read: a folder, a FIFO or a
// device is refused by name, without waiting on it.
std::expected<std::vector<StyleCode>, Failure> ReadStyleCsv(const std::filesystem::path& file);

}  // namespace tarnwick
