#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <utility>

#include "cutsheet/cut_sheet.h"

namespace tarnwick {

// Cell results built in place: GCC 12 with the sanitizers warns (wrongly) that a
// variant moved into an expected may be uninitialised.
inline std::expected<CellValue, Failure> EmptyCell() { return std::expected<CellValue, Failure>(std::in_place); }
inline std::expected<CellValue, Failure> NumberCell(double value) {
    return std::expected<CellValue, Failure>(std::in_place, std::in_place_index<1>, value);
}
inline std::expected<CellValue, Failure> TextCell(std::string text) {
    return std::expected<CellValue, Failure>(std::in_place, std::in_place_index<2>, std::move(text));
}
// Refused by the cut rules when read; `cells` shows the text.
inline std::expected<CellValue, Failure> ErrorCell(std::string text) {
    return std::expected<CellValue, Failure>(std::in_place, std::in_place_index<3>, CellError{std::move(text)});
}

// A formula cell whose file holds no result for it: reading it as empty would print a
// blank field, so it is refused whenever it is read.
inline Failure UnsavedFormulaFailure(const std::filesystem::path& file, int row, int column) {
    return Failure{"The cut sheet " + file.string() + " cannot be read: cell " + CellName(row, column) +
                       " holds a formula whose result was never saved. Open the sheet in a spreadsheet program, "
                       "save it, and choose it again.",
                   "Tarnwick", MessageIcon::Critical};
}

}  // namespace tarnwick
