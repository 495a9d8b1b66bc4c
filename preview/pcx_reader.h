#pragma once

#include <QImage>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace tarnwick {

// Why a PCX picture could not be read, and where (byte offset within the picture).
struct PcxError {
    std::string what;
    std::size_t offset;
};

// Reads a 1-bit, single-plane PCX picture (run-length encoded or plain) as the label
// printer's graphic command takes it. Ink pixels come back opaque black, the rest fully
// transparent, so drawing the picture only ever adds ink, as a thermal head does.
// Runs may carry over from one scan line into the next.
std::expected<QImage, PcxError> ReadPcx(std::string_view bytes);

}  // namespace tarnwick
