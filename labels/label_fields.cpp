#include "labels/label_fields.h"

#include <cstdio>

#include "base/windows1252.h"

namespace tarnwick {
namespace {

std::string CodePointName(char32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
    return buf;
}

std::string Utf8Of(char32_t cp) {
    std::string out;
    AppendUtf8(out, cp);
    return out;
}

}  // namespace

std::expected<std::string, Failure> EncodeLabelText(std::string_view what, std::string_view utf8) {
    auto encoded = EncodeWindows1252(utf8);
    if (encoded) return std::move(*encoded);
    const EncodeError& e = encoded.error();
    const std::string position = "character " + std::to_string(e.characterIndex + 1);
    std::string text(what);
    switch (e.kind) {
        case EncodeError::Kind::ControlCharacter:
            text += " holds a control character (" + CodePointName(e.codePoint) + ") at " + position +
                    ", which the printer would take as a command. Remove it and print again.";
            break;
        case EncodeError::Kind::NotInCodePage:
            text += " holds \"" + Utf8Of(e.codePoint) + "\" (" + CodePointName(e.codePoint) + ") at " + position +
                    ", which the label printer cannot print. Replace it and print again.";
            break;
        case EncodeError::Kind::InvalidUtf8:
            text += " is not readable text from " + position + " on. Retype it, then print again.";
            break;
    }
    return std::unexpected(Failure{std::move(text), "Tarnwick", MessageIcon::Critical});
}

}  // namespace tarnwick
