#pragma once

#include <expected>
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

}  // namespace tarnwick
