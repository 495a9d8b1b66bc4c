#include "base/windows1252.h"

#include <array>
#include <optional>

namespace tarnwick {
namespace {

// Code points of bytes 0x80..0x9F; the rest of the page is Latin-1.
constexpr std::array<char32_t, 32> kHigh = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Decodes one UTF-8 sequence at i; nullopt when it is malformed, overlong or a surrogate.
std::optional<char32_t> NextCodePoint(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len;
    char32_t cp;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
    } else return std::nullopt;
    if (i + len > s.size()) return std::nullopt;
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    i += len;
    return cp;
}

std::optional<unsigned char> ToByte(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<unsigned char>(cp);
    for (std::size_t k = 0; k < kHigh.size(); ++k)
        if (kHigh[k] == cp) return static_cast<unsigned char>(0x80 + k);
    return std::nullopt;
}

std::expected<std::string, EncodeError> Encode(std::string_view utf8, bool allowControls) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0, index = 0;
    while (i < utf8.size()) {
        const auto cp = NextCodePoint(utf8, i);
        if (!cp) return std::unexpected(EncodeError{EncodeError::Kind::InvalidUtf8, index, 0});
        if (!allowControls && (*cp < 0x20 || *cp == 0x7F))
            return std::unexpected(EncodeError{EncodeError::Kind::ControlCharacter, index, *cp});
        const auto byte = ToByte(*cp);
        if (!byte) return std::unexpected(EncodeError{EncodeError::Kind::NotInCodePage, index, *cp});
        out.push_back(static_cast<char>(*byte));
        ++index;
    }
    return out;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool IsValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size())
        if (!NextCodePoint(bytes, i)) return false;
    return true;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        AppendUtf8(out, b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : char32_t{b});
    }
    return out;
}

std::string DecodeText(std::string_view bytes) {
    return IsValidUtf8(bytes) ? std::string(bytes) : Windows1252ToUtf8(bytes);
}

std::expected<std::string, EncodeError> EncodeWindows1252(std::string_view utf8) { return Encode(utf8, false); }

std::expected<std::string, EncodeError> EncodeWindows1252AllowControls(std::string_view utf8) {
    return Encode(utf8, true);
}

}  // namespace tarnwick
