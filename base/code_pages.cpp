#include "base/code_pages.h"

#include <iconv.h>

#include <cerrno>

namespace tarnwick {

std::optional<std::string> CodePageToUtf8(std::string_view bytes, int codePage) {
    const std::string name = codePage == 10000 || codePage == 32768 ? "MACINTOSH"
                             : codePage == 1200                     ? "UTF-16LE"
                                                                    : "CP" + std::to_string(codePage);
    const iconv_t convert = ::iconv_open("UTF-8", name.c_str());
    if (convert == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    // Four bytes of UTF-8 at most for each byte of a double-byte code page.
    std::string text(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* out = text.data();
    std::size_t outLeft = text.size();
    const bool whole = ::iconv(convert, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1) &&
                       ::iconv(convert, nullptr, nullptr, &out, &outLeft) != static_cast<std::size_t>(-1);
    ::iconv_close(convert);
    if (!whole) return std::nullopt;
    text.resize(text.size() - outLeft);
    return text;
}

}  // namespace tarnwick
