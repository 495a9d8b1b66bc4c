#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// 8-bit text in a Windows code page (932, 936, 949, 950, 1250 to 1258, 874, ...; 10000 and
// 32768 are Mac Roman, 1200 UTF-16LE), as UTF-8, through the C library's iconv. Nullopt when the library
// knows no such code page or the bytes are no text in it.
std::optional<std::string> CodePageToUtf8(std::string_view bytes, int codePage);

}  // namespace tarnwick
