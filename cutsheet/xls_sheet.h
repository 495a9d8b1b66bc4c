#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>

#include "cutsheet/cut_sheet.h"

namespace tarnwick {

// Largest xls file read: a full cut sheet (32,767 rows) is about 7 MB, and the whole
// file is held in memory while its workbook is taken out of it.
inline constexpr std::uintmax_t kLargestXlsFile = 64u << 20;

// An xls workbook (Excel 5 to 2003) given as its bytes; `file` names it in messages.
// Also takes a bare BIFF stream, so Excel 2-4 files, which have no container, are
// refused by name.
std::expected<std::unique_ptr<CutSheet>, Failure> OpenXlsSheetFromBytes(std::string bytes,
                                                                        const std::filesystem::path& file);

}  // namespace tarnwick
