#include "preview/label_renderer.h"

#include <QGuiApplication>
#include <QPainter>
#include <QTransform>
#include <algorithm>
#include <climits>

#include "preview/printer_fonts.h"

namespace tarnwick {
namespace {

// Code 128 wants ten modules of white on either side to scan.
constexpr int kQuietModules = 10;
// Positions reach 9999 dots from a base point that may itself be 9999 away; nothing
// past a metre of label is on any roll, so the picture stops there.
constexpr int kMaxLabelDots = 8000;
// A metre of label each way at one pixel a dot (256 MB); keeps a large label at a large
// scale from asking for more.
constexpr qint64 kMaxPixels = qint64{kMaxLabelDots} * kMaxLabelDots;

// The part `part` of an item as it stands before rotation; only that part is built, so
// an item reaching far off the label costs no more than the label itself.
QImage UnrotatedPart(const LabelItem& item, QRect part) {
    if (item.kind == ItemKind::Picture)
        return item.picture.copy(part).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QImage image(part.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.translate(-part.topLeft());
    if (item.kind == ItemKind::Text) {
        const FontCell cell = CellOf(item.font);
        const int step = cell.width + kCharacterPitch;
        const auto count = static_cast<int>(std::min<std::size_t>(item.data.size(), INT_MAX));
        const int last = std::min(count - 1, (part.x() + part.width() - 1) / step);
        for (int i = std::max(0, part.x() / step); i <= last; ++i)
            painter.drawImage(
                i * step, 0, GlyphImage(item.font, static_cast<unsigned char>(item.data[static_cast<std::size_t>(i)])));
    } else {
        const int count = static_cast<int>(item.modules.size());
        for (int m = 0; m < count;) {
            int run = 1;
            while (m + run < count &&
                   item.modules[static_cast<std::size_t>(m + run)] == item.modules[static_cast<std::size_t>(m)])
                ++run;
            if (item.modules[static_cast<std::size_t>(m)])
                painter.fillRect(m * item.moduleWidth, 0, run * item.moduleWidth, item.barHeight, Qt::black);
            m += run;
        }
    }
    return image;
}

// Where `visible`, a part of the item's area on the label, lies in the item before it
// was turned; `size` is the unturned item's.
QRect UnrotatedRect(const LabelItem& item, QRect visible, QSize size) {
    const QRect v = visible.translated(-item.area.topLeft());
    const int w = size.width(), h = size.height();
    switch (item.rotation) {
        case 1: return QRect(w - v.y() - v.height(), v.x(), v.height(), v.width());
        case 2: return QRect(w - v.x() - v.width(), h - v.y() - v.height(), v.width(), v.height());
        case 3: return QRect(v.y(), h - v.x() - v.width(), v.height(), v.width());
        default: return v;
    }
}

QImage Rotated(const QImage& image, int rotation) {
    // Quarter turns of QImage move whole pixels; nothing is resampled.
    static constexpr qreal kDegrees[] = {0, 270, 180, 90};
    if (rotation == 0) return image;
    return image.transformed(QTransform().rotate(kDegrees[rotation]));
}

// The part of the label an item needs kept white or inked, quiet zones included.
QRect Extent(const LabelItem& item) {
    if (item.kind != ItemKind::Barcode || item.area.isEmpty()) return item.area;
    const int quiet = kQuietModules * item.moduleWidth;
    return item.rotation % 2 == 0 ? item.area.adjusted(-quiet, 0, quiet, 0) : item.area.adjusted(0, -quiet, 0, quiet);
}

}  // namespace

std::expected<Rendering, Failure> RenderLabel(std::string_view stream, int scale) {
    scale = std::max(scale, 1);
    auto plan = ReadLabelStream(stream);
    if (!plan) return std::unexpected(plan.error());
    const bool hasText = std::any_of(plan->items.begin(), plan->items.end(),
                                     [](const LabelItem& i) { return i.kind == ItemKind::Text && !i.data.empty(); });
    if (hasText && qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
        return std::unexpected(
            Failure{"Cannot preview this label: the text fonts need the Qt GUI, which is not running.", "Tarnwick",
                    MessageIcon::Critical});

    int right = 0, bottom = 0;
    for (const LabelItem& item : plan->items) {
        const QRect extent = Extent(item);
        if (extent.isEmpty()) continue;
        right = std::max(right, extent.x() + extent.width());
        bottom = std::max(bottom, extent.y() + extent.height());
    }
    const int width = std::min(right + kLabelMargin, kMaxLabelDots);
    const int height = std::min(bottom + kLabelMargin, kMaxLabelDots);
    if (static_cast<qint64>(width) * height * scale * scale > kMaxPixels)
        return std::unexpected(Failure{"Cannot preview this label at " + std::to_string(scale) + " pixels a dot: the " +
                                           std::to_string(width) + " x " + std::to_string(height) +
                                           "-dot label would be too large a picture. Use a smaller scale.",
                                       "Tarnwick", MessageIcon::Critical});
    QImage label(width, height, QImage::Format_RGB32);
    label.fill(Qt::white);
    {
        QPainter painter(&label);
        for (const LabelItem& item : plan->items) {
            const QRect visible = item.area & label.rect();
            if (visible.isEmpty()) continue;
            const QSize size = item.rotation % 2 == 0 ? item.area.size() : item.area.size().transposed();
            const QRect part = UnrotatedRect(item, visible, size);
            painter.drawImage(visible.topLeft(), Rotated(UnrotatedPart(item, part), item.rotation));
        }
    }
    if (scale > 1)
        label =
            label.scaled(label.width() * scale, label.height() * scale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    return Rendering{std::move(label), plan->quantity, std::move(plan->items)};
}

}  // namespace tarnwick
