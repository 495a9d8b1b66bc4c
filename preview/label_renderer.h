#pragma once

#include <QImage>
#include <expected>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "preview/label_stream.h"

namespace tarnwick {

// A label drawn as a 203 dpi printer prints it: one dot a pixel at scale 1, black ink
// on white. The quantity is told, not drawn: the printer repeats the one label.
struct Rendering {
    QImage image;
    int quantity = 0;
    std::vector<LabelItem> items;
};

// White border kept round the ink so the label's edge and the bar code's quiet zone show.
inline constexpr int kLabelMargin = 16;

// Draws a label job's command stream. The picture spans the label from its top left
// corner (the printer's origin) to the farthest item plus a margin; ink placed above
// or left of the origin is lost, as on the printer, and so is ink beyond a metre of
// label. `scale` (1 or more) enlarges each dot to a square of that many pixels. Text
// needs a QGuiApplication for its fonts.
std::expected<Rendering, Failure> RenderLabel(std::string_view stream, int scale = 1);

}  // namespace tarnwick
