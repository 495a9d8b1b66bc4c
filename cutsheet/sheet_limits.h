#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/windows1252.h"
#include "cutsheet/cut_sheet.h"

namespace tarnwick {

// The spreadsheet programs' own limits. A file that goes past them was not written by
// one, and numbers beyond them are never used in arithmetic.
inline constexpr int kSheetRows = 1048576;
inline constexpr int kSheetColumns = 16384;  // XFD
inline constexpr std::size_t kCellCharacters = 32767;

// The cut rules read columns 1 to 13; readers keep nothing to the right of them.
inline constexpr int kKeptColumns = 13;

// Raw bytes beyond this hold more than kCellCharacters characters in any encoding a
// reader takes (UTF-8 needs at most four bytes a character), so a reader can stop
// collecting a cell there without counting.
inline constexpr std::size_t kCellBytes = 4 * kCellCharacters;

// What one opened sheet may hold of the cells it has read (texts and bookkeeping).
// A full cut sheet (32,767 rows of 13 short cells) holds under 30 MB.
inline constexpr std::size_t kHeldBytes = 64u << 20;

// What a reader works through of one part (inflated XML, CSV text) before refusing:
// keeps a hostile file from keeping the program busy for minutes. The first 32,767
// rows of a real cut sheet come to a few tens of MB.
inline constexpr std::uint64_t kReadBytes = 128u << 20;

inline std::string TooLongProblem(int row, int column) {
    return "cell " + CellName(row, column) + " holds more than 32,767 characters, more than a spreadsheet cell can";
}

inline std::string BeyondRowsProblem(std::string_view row) {
    return "it is damaged, naming row " + std::string(row) + ", past the last row a sheet can have (1,048,576)";
}

inline std::string RepeatPastRowsProblem() {
    return "it is damaged, a repeat count running past the last row a sheet can have (1,048,576)";
}

inline std::string BeyondColumnsProblem(long long row) {
    return "it is damaged, with cells in row " + std::to_string(row) + " past the last column a sheet can have (XFD)";
}

inline std::string HeldTooMuchProblem() {
    return "the cells read hold more than 64 MB, far more than a cut sheet does";
}

inline std::string ReadTooMuchProblem(std::string_view part) {
    return std::string(part) + " holds more than 128 MB before the rows asked for, far more than a cut sheet does";
}

}  // namespace tarnwick
