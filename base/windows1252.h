#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace tarnwick {

// Characters of UTF-8 text (code points; a stray byte counts as one): every length rule
// on a label or in a sheet counts characters, not bytes.
inline std::size_t Utf8Characters(std::string_view text) {
    std::size_t n = 0;
    for (const unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

bool IsValidUtf8(std::string_view bytes);

// One code point appended to UTF-8 text.
void AppendUtf8(std::string& out, char32_t codePoint);

// Windows-1252 bytes to UTF-8. The five unassigned bytes (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) map to the C1 controls of the same value, as Windows does.
std::string Windows1252ToUtf8(std::string_view bytes);

// UTF-8 text (valid UTF-8 as a file of ours, else Windows-1252) to UTF-8.
std::string DecodeText(std::string_view bytes);

// Why a text could not be turned into printer bytes, and at which character (0-based).
struct EncodeError {
    enum class Kind { InvalidUtf8, ControlCharacter, NotInCodePage } kind;
    std::size_t characterIndex;
    char32_t codePoint;
};

// UTF-8 to the printer's one byte per character. Control characters (below 0x20,
// 0x7F) are refused: in a label field they would be taken as printer commands.
std::expected<std::string, EncodeError> EncodeWindows1252(std::string_view utf8);

// Same, but control characters pass; for texts that are not printed as data.
std::expected<std::string, EncodeError> EncodeWindows1252AllowControls(std::string_view utf8);

}  // namespace tarnwick
