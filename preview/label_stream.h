#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "preview/printer_fonts.h"

namespace tarnwick {

enum class ItemKind { Text, Barcode, Picture };

// One printed item of a label stream, placed on the label.
struct LabelItem {
    ItemKind kind = ItemKind::Text;
    std::size_t offset = 0;  // byte offset of the command that printed it
    QPoint anchor;  // its print position, base point applied, in dots
    int rotation = 0;  // the ESC %n setting in force: 1 = 90° counter-clockwise, 2 = 180°, 3 = 90° clockwise
    QRect area;  // the dots it covers; may reach off the label, where the head cannot print
    std::string data;  // text or bar-code bytes as in the stream (Windows-1252); empty for a picture

    PrinterFont font = PrinterFont::XS;  // text
    int moduleWidth = 0;  // bar code: narrow module in dots
    int barHeight = 0;  // bar code: in dots
    std::vector<std::uint8_t> modules;  // bar code: 1 = bar, one entry per module
    QImage picture;  // picture: ink opaque black, the rest transparent
};

struct LabelPlan {
    std::vector<LabelItem> items;
    int quantity = 0;
};

// Reads a label job's command stream the way the printer does: ESC "A" first, ESC "Z"
// last, ESC "Q" for the quantity, and each item placed by the base point, the position
// commands and the rotation in force. The item's area follows the rotation about its
// print position, which stays the item's own top left corner as it reads. A text or
// bar code without a position of its own continues where the previous item ended.
// A stream the printer would not take as written is refused, naming what and the byte
// offset, rather than guessed at.
std::expected<LabelPlan, Failure> ReadLabelStream(std::string_view stream);

}  // namespace tarnwick
