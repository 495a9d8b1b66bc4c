#include "base/printable_text.h"

#include <cstdio>

namespace tarnwick {
namespace {

// The length of the UTF-8 sequence at the start of text, 0 when it is none.
std::size_t SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80) return 0;
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F) || (lead == 0xF0 && byte(1) < 0x90) ||
        (lead == 0xF4 && byte(1) > 0x8F))
        return 0;
    return length;
}

}  // namespace

std::string PrintableText(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    char escape[8];
    while (!text.empty()) {
        const std::size_t length = SequenceLength(text);
        const auto lead = static_cast<unsigned char>(text[0]);
        if (length == 0 || (length == 1 && (lead < 0x20 || lead == 0x7F))) {
            std::snprintf(escape, sizeof escape, "\\x%02X", lead);
            shown += escape;
            text.remove_prefix(1);
            continue;
        }
        if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) {
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned char>(text[1]));
            shown += escape;
        } else {
            shown.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return shown;
}

}  // namespace tarnwick
