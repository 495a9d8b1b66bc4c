#include "preview/pcx_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarnwick {
namespace {

constexpr std::size_t kHeaderSize = 128;
// Larger than any label a 203 dpi head can print; keeps a corrupt header from
// asking for gigabytes.
constexpr int kMaxSide = 16000;

int Word(std::string_view b, std::size_t at) {
    return static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8);
}

int Luminance(std::string_view b, std::size_t at) {
    return static_cast<unsigned char>(b[at]) + static_cast<unsigned char>(b[at + 1]) +
           static_cast<unsigned char>(b[at + 2]);
}

}  // namespace

std::expected<QImage, PcxError> ReadPcx(std::string_view bytes) {
    if (bytes.size() < kHeaderSize)
        return std::unexpected(
            PcxError{"the PCX header is cut short (" + std::to_string(bytes.size()) + " of 128 bytes)", bytes.size()});
    if (static_cast<unsigned char>(bytes[0]) != 0x0A)
        return std::unexpected(PcxError{"this is not a PCX picture (first byte is not 0x0A)", 0});
    const int encoding = static_cast<unsigned char>(bytes[2]);
    if (encoding > 1) return std::unexpected(PcxError{"unknown PCX encoding " + std::to_string(encoding), 2});
    const int bitsPerPixel = static_cast<unsigned char>(bytes[3]);
    if (bitsPerPixel != 1)
        return std::unexpected(PcxError{
            "the PCX picture has " + std::to_string(bitsPerPixel) + " bits per pixel; the printer takes 1", 3});
    const int planes = static_cast<unsigned char>(bytes[65]);
    if (planes != 1)
        return std::unexpected(
            PcxError{"the PCX picture has " + std::to_string(planes) + " colour planes; the printer takes 1", 65});

    const int xMin = Word(bytes, 4), yMin = Word(bytes, 6), xMax = Word(bytes, 8), yMax = Word(bytes, 10);
    if (xMax < xMin || yMax < yMin) return std::unexpected(PcxError{"the PCX picture's window is empty", 4});
    const int width = xMax - xMin + 1, height = yMax - yMin + 1;
    if (width > kMaxSide || height > kMaxSide)
        return std::unexpected(PcxError{
            "the PCX picture is too large (" + std::to_string(width) + " x " + std::to_string(height) + " dots)", 4});
    const int bytesPerLine = Word(bytes, 66);
    if (bytesPerLine * 8 < width)
        return std::unexpected(PcxError{"the PCX picture's line length (" + std::to_string(bytesPerLine) +
                                            " bytes) is too short for its width of " + std::to_string(width) + " dots",
                                        66});

    // A run byte pair yields at most 63 bytes, a plain byte one: a header asking for more
    // than the data can hold is refused before anything is allocated for it.
    const std::size_t needed = static_cast<std::size_t>(bytesPerLine) * static_cast<std::size_t>(height);
    const std::size_t data = bytes.size() - kHeaderSize;
    const std::size_t most = encoding == 1 ? data / 2 * 63 + data % 2 : data;
    if (needed > most)
        return std::unexpected(PcxError{"the PCX picture data is too short for its " + std::to_string(width) + " x " +
                                            std::to_string(height) + "-dot window (" + std::to_string(data) +
                                            " bytes of data for " + std::to_string(needed) + " bytes of lines)",
                                        bytes.size()});
    std::vector<std::uint8_t> plane;
    plane.reserve(needed);
    std::size_t at = kHeaderSize;
    while (plane.size() < needed) {
        if (at >= bytes.size())
            return std::unexpected(PcxError{"the PCX picture data ends early (" + std::to_string(plane.size()) +
                                                " of " + std::to_string(needed) + " bytes decoded)",
                                            at});
        const auto b = static_cast<std::uint8_t>(bytes[at++]);
        if (encoding == 1 && (b & 0xC0) == 0xC0) {
            if (at >= bytes.size()) return std::unexpected(PcxError{"the PCX picture ends inside a run", at});
            const auto value = static_cast<std::uint8_t>(bytes[at++]);
            // A run may spill past the last line; the surplus is padding.
            const std::size_t count = std::min<std::size_t>(b & 0x3F, needed - plane.size());
            plane.insert(plane.end(), count, value);
        } else {
            plane.push_back(b);
        }
    }

    // Monochrome PCX has a clear bit for black. A writer that fills the first two
    // palette entries says which one is dark; trust it when the entries differ.
    const int dark0 = Luminance(bytes, 16), dark1 = Luminance(bytes, 19);
    const int inkBit = dark0 == dark1 ? 0 : (dark1 < dark0 ? 1 : 0);

    // One bit a dot, most significant first, as PCX keeps them: a picture costs an eighth
    // of a byte a dot until the preview draws the part of it that lands on the label.
    QImage image(width, height, QImage::Format_Mono);
    if (image.isNull()) return std::unexpected(PcxError{"not enough memory for the PCX picture", 4});
    image.setColorTable(
        {inkBit == 0 ? qRgba(0, 0, 0, 255) : qRgba(0, 0, 0, 0), inkBit == 1 ? qRgba(0, 0, 0, 255) : qRgba(0, 0, 0, 0)});
    const std::size_t lineBytes = static_cast<std::size_t>(width + 7) / 8;
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(y), plane.data() + static_cast<std::size_t>(y) * bytesPerLine, lineBytes);
    return image;
}

}  // namespace tarnwick
