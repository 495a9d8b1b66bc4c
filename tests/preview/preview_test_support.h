#pragma once

#include <QImage>
#include <QRect>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "labels/label_test_support.h"  // Esc, the worked-example jobs

namespace tarnwick::test {

// A monochrome picture as rows of '#' (ink) and '.' (blank).
using Pattern = std::vector<std::string>;

// The smallest rectangle holding every dark pixel; empty when there is none.
inline QRect InkBox(const QImage& image) {
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 128) box |= QRect(x, y, 1, 1);
    return box;
}

inline bool Inked(const QImage& image, int x, int y) {
    return x >= 0 && y >= 0 && x < image.width() && y < image.height() && qGray(image.pixel(x, y)) < 128;
}

struct PcxOptions {
    int bytesPerLine = 0;  // 0: the fewest that hold a line
    bool runLength = true;  // encoding 1, else stored plain
    bool runsCrossLines = true;  // encode the picture as one sequence, not line by line
    bool inkIsSetBit = false;  // palette entry 1 dark, entry 0 light
    std::string trailer;  // bytes after the picture data
};

inline PcxOptions PcxWith(void (*set)(PcxOptions&)) {
    PcxOptions options;
    set(options);
    return options;
}

// A 1-bit PCX file of the pattern, written the way picture tools write them.
inline std::string MakePcx(const Pattern& pattern, const PcxOptions& options = {}) {
    const int height = static_cast<int>(pattern.size());
    const int width = height == 0 ? 0 : static_cast<int>(pattern.front().size());
    const int bytesPerLine = options.bytesPerLine ? options.bytesPerLine : (width + 7) / 8;
    std::string header(128, '\0');
    auto word = [&](int at, int value) {
        header[static_cast<std::size_t>(at)] = static_cast<char>(value & 0xFF);
        header[static_cast<std::size_t>(at + 1)] = static_cast<char>(value >> 8);
    };
    header[0] = 0x0A;
    header[1] = 5;
    header[2] = options.runLength ? 1 : 0;
    header[3] = 1;
    word(4, 0);
    word(6, 0);
    word(8, width - 1);
    word(10, height - 1);
    word(12, 203);
    word(14, 203);
    const char dark = 0, light = static_cast<char>(0xFF);
    for (int i = 0; i < 3; ++i) {
        header[static_cast<std::size_t>(16 + i)] = options.inkIsSetBit ? light : dark;
        header[static_cast<std::size_t>(19 + i)] = options.inkIsSetBit ? dark : light;
    }
    header[65] = 1;
    word(66, bytesPerLine);
    word(68, 1);

    std::vector<std::uint8_t> plane;
    for (const std::string& row : pattern) {
        std::vector<std::uint8_t> line(static_cast<std::size_t>(bytesPerLine), options.inkIsSetBit ? 0x00 : 0xFF);
        for (int x = 0; x < width; ++x) {
            const bool ink = row[static_cast<std::size_t>(x)] == '#';
            const auto bit = static_cast<std::uint8_t>(0x80 >> (x & 7));
            auto& b = line[static_cast<std::size_t>(x >> 3)];
            if (ink == options.inkIsSetBit) b |= bit;
            else b &= static_cast<std::uint8_t>(~bit);
        }
        plane.insert(plane.end(), line.begin(), line.end());
    }

    std::string data;
    auto encode = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to;) {
            std::size_t run = 1;
            while (i + run < to && run < 63 && plane[i + run] == plane[i]) ++run;
            if (run > 1 || (plane[i] & 0xC0) == 0xC0) data.push_back(static_cast<char>(0xC0 | run));
            data.push_back(static_cast<char>(plane[i]));
            i += run;
        }
    };
    if (!options.runLength) {
        data.assign(plane.begin(), plane.end());
    } else if (options.runsCrossLines) {
        encode(0, plane.size());
    } else {
        for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y)
            encode(y * bytesPerLine, (y + 1) * bytesPerLine);
    }
    return header + data + options.trailer;
}

// The image's pixels back as a pattern, for comparing with the one drawn.
inline Pattern PatternOf(const QImage& image) {
    Pattern rows;
    for (int y = 0; y < image.height(); ++y) {
        std::string row;
        for (int x = 0; x < image.width(); ++x) row.push_back(qAlpha(image.pixel(x, y)) > 0 ? '#' : '.');
        rows.push_back(row);
    }
    return rows;
}

}  // namespace tarnwick::test
