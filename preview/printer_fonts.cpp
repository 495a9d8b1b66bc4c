#include "preview/printer_fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <array>
#include <mutex>
#include <string>

#include "base/windows1252.h"

namespace tarnwick {
namespace {

// Outlines are taken at a large size and scaled into the cell, so hinting for one
// pixel size does not bend them.
constexpr int kOutlineSize = 200;

constexpr std::array<const char*, 3> kOcrBFiles = {
    "/usr/share/fonts/opentype/ocr-b/OCRB.otf",
    "/usr/share/fonts/truetype/ocr-b/OCRB.ttf",
    "/usr/share/fonts/opentype/ocr-b/OCRBS.otf",
};

QFont OcrBFont() {
    QFont font(QStringLiteral("OCR B"));
    if (QFontInfo(font).family() == QStringLiteral("OCR B")) return font;
    for (const char* file : kOcrBFiles) {
        const int id = QFontDatabase::addApplicationFont(QString::fromUtf8(file));
        if (id < 0) continue;
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (!families.isEmpty()) return QFont(families.front());
    }
    return QFontDatabase::systemFont(QFontDatabase::FixedFont);
}

QFont MonospaceFont() {
    for (const char* family : {"Liberation Mono", "DejaVu Sans Mono"}) {
        QFont font(QString::fromUtf8(family));
        if (QFontInfo(font).family() == QString::fromUtf8(family)) return font;
    }
    return QFontDatabase::systemFont(QFontDatabase::FixedFont);
}

QFont FaceOf(PrinterFont font) {
    QFont face = font == PrinterFont::OB ? OcrBFont() : MonospaceFont();
    face.setPixelSize(kOutlineSize);
    face.setStyleHint(QFont::Monospace);
    // The resident X fonts are heavy strokes; a regular face looks too faint beside OCR-B.
    if (font != PrinterFont::OB) face.setBold(true);
    face.setKerning(false);
    return face;
}

QChar CharacterOf(unsigned char byte) {
    const QString text = QString::fromStdString(Windows1252ToUtf8(std::string(1, static_cast<char>(byte))));
    return text.isEmpty() ? QChar(u' ') : text.front();
}

QImage DrawGlyph(PrinterFont font, unsigned char byte) {
    const FontCell cell = CellOf(font);
    QImage glyph(cell.width, cell.height, QImage::Format_ARGB32_Premultiplied);
    glyph.fill(Qt::transparent);
    if (byte < 0x20 || byte == 0x7F) return glyph;

    const QFont face = FaceOf(font);
    const QFontMetricsF metrics(face);
    const QChar character = CharacterOf(byte);
    // Capitals and digits fill the cell from its top; descenders use the rest.
    const qreal advance = metrics.horizontalAdvance(QChar(u'0'));
    const qreal body = metrics.capHeight() + metrics.descent();
    QPainterPath path;
    path.addText(0, 0, face, QString(character));

    // An accent above a capital would leave the cell; squeeze that one character
    // down to fit rather than lose the accent, as a printer's dot matrix does.
    const qreal top = -path.boundingRect().top();
    const qreal squeeze = top > metrics.capHeight() ? metrics.capHeight() / top : 1.0;

    QPainter painter(&glyph);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.scale(cell.width / advance, cell.height / body);
    painter.translate(0, metrics.capHeight());
    painter.scale(1.0, squeeze);
    painter.drawPath(path);
    return glyph;
}

}  // namespace

FontCell CellOf(PrinterFont font) {
    switch (font) {
        case PrinterFont::XS: return {17, 17};
        case PrinterFont::XM: return {24, 24};
        case PrinterFont::S: return {8, 15};
        case PrinterFont::OB: return {20, 24};
    }
    return {0, 0};
}

const QImage& GlyphImage(PrinterFont font, unsigned char byte) {
    static std::mutex mutex;
    static std::array<std::array<QImage, 256>, 4> glyphs;
    const std::lock_guard lock(mutex);
    QImage& glyph = glyphs[static_cast<std::size_t>(font)][byte];
    if (glyph.isNull()) glyph = DrawGlyph(font, byte);
    return glyph;
}

}  // namespace tarnwick
