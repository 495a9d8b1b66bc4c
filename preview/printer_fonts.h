#pragma once

#include <QImage>

namespace tarnwick {

// The printer's resident fonts that label streams use.
enum class PrinterFont { XS, XM, S, OB };

// A character cell in dots; characters stand in a row of cells with the printer's
// default pitch of two blank dots between them.
struct FontCell {
    int width;
    int height;
};
inline constexpr int kCharacterPitch = 2;

FontCell CellOf(PrinterFont font);

// One character of the printer's code page drawn into its cell: black ink on a
// transparent ground, no grey (the head has none). Made once per font and byte, then
// kept. Needs a QGuiApplication for the font files; safe to call from several threads.
const QImage& GlyphImage(PrinterFont font, unsigned char byte);

}  // namespace tarnwick
