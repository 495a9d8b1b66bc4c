#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/failure.h"

namespace tarnwick {

// The rules every layout applies to the label's fields. Texts here are already in the
// printer's one byte per character, so a length in bytes is a length in characters.

// The text of the "Q" command: the leading number of the quantity, rounded halves to
// even, in plain decimal. Refused outside -32768..32767.
std::expected<std::string, Failure> QuantityText(std::string_view qty);

// Centres the three fabric lines against the longest with leading blanks, half the
// difference rounded down; no line is cut and nothing is appended.
std::array<std::string, 3> CenterFabricLines(std::string text1, std::string text2, std::string text3);

// Blanks appended up to 17 characters; a longer value is sent whole.
std::string PadBarcode(std::string barcode);

// The whole file, byte for byte, below `folder` (the plant folder whose images/ hold the
// pictures; empty: the current folder). Read on every call: the plant may swap a
// picture between labels.
std::expected<std::string, Failure> ReadImageBytes(const std::string& file, const std::filesystem::path& folder = {});

// A picture a layout embeds with ESC "GP" + five-digit count + ",". The count is part of
// the layout; the file must be exactly that long or the printer garbles the label.
struct GraphicImage {
    std::string_view file;  // "images/calh021.pcx"
    std::string_view prefix;  // "GP02713,"
    std::size_t length;  // 2713
};

// The picture's bytes (ReadImageBytes). When it is to be sent, a length other than its
// "GP" command announces is refused; left out, only its readability counts.
std::expected<std::string, Failure> ReadGraphic(const GraphicImage& image, bool sent,
                                                const std::filesystem::path& folder = {});

}  // namespace tarnwick
