#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "preview/pcx_reader.h"
#include "preview_test_support.h"

namespace tarnwick::test {
namespace {

// Wide enough that a line takes several bytes and long runs of 0xFF.
const Pattern kFrame = {
    "####################", "#..................#", "#..####......####..#",
    "#..................#", "#..................#", "####################",
};

// A shape whose lines repeat, so runs of equal bytes span line ends.
const Pattern kStripes = {
    "................................", "................................", "................................",
    "########################........", "########################........", "................................",
};

struct Case {
    const char* name;
    Pattern pattern;
    PcxOptions options;
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class PcxPictures : public ::testing::TestWithParam<Case> {};

TEST_P(PcxPictures, DecodeToTheDrawnPixels) {
    const Case& c = GetParam();
    const auto picture = ReadPcx(MakePcx(c.pattern, c.options));
    ASSERT_TRUE(picture) << picture.error().what << " at " << picture.error().offset;
    EXPECT_EQ(PatternOf(*picture), c.pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Pcx, PcxPictures,
    ::testing::Values(Case{"RunsCrossLineEnds", kStripes, {}},
                      Case{"RunsPerLine", kStripes, PcxWith([](PcxOptions& o) { o.runsCrossLines = false; })},
                      Case{"WidthNotAMultipleOfEight", kFrame, {}},
                      Case{"PaddedLines", kFrame, PcxWith([](PcxOptions& o) { o.bytesPerLine = 6; })},
                      Case{"PaddedLinesRunsPerLine", kFrame, PcxWith([](PcxOptions& o) {
                               o.bytesPerLine = 6;
                               o.runsCrossLines = false;
                           })},
                      Case{"StoredPlain", kFrame, PcxWith([](PcxOptions& o) { o.runLength = false; })},
                      Case{"PaletteWithInkOnSetBits", kFrame, PcxWith([](PcxOptions& o) { o.inkIsSetBit = true; })},
                      Case{"TrailingBytesIgnored", kStripes,
                           PcxWith([](PcxOptions& o) { o.trailer = std::string(40, '\x1B'); })},
                      Case{"SinglePixel", Pattern{"#"}, {}},
                      // Three bytes of data, a run of 63 and a literal, fill exactly the 64 bytes of lines.
                      Case{"LongestRunsFillTheLines", Pattern(64, "########"), {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pcx, RunCarriedOverFromOneLineToTheNext) {
    // Two lines of 2 bytes: one run of four 0x00 bytes covers both, then the surplus
    // of a run spilling past the last line is dropped.
    std::string pcx = MakePcx(Pattern{std::string(16, '#'), std::string(16, '#')});
    pcx.resize(128);
    pcx += std::string("\xC5\x00", 2);
    const auto picture = ReadPcx(pcx);
    ASSERT_TRUE(picture) << picture.error().what;
    EXPECT_EQ(PatternOf(*picture), (Pattern{std::string(16, '#'), std::string(16, '#')}));
}

TEST(Pcx, LiteralBytesWithTheTopBitsSetTravelAsRunsOfOne) {
    // 0xC3 = ##....## would read as a run count if written bare.
    const Pattern pattern = {"..####.."};
    const std::string pcx = MakePcx(pattern);
    ASSERT_EQ(pcx.substr(128), std::string("\xC1\xC3", 2));
    EXPECT_EQ(PatternOf(*ReadPcx(pcx)), pattern);
}

struct Broken {
    const char* name;
    std::string bytes;
    std::string what;
    std::size_t offset;
    friend void PrintTo(const Broken& b, std::ostream* os) { *os << b.name; }
};

std::string WithByte(std::string pcx, std::size_t at, char value) {
    pcx[at] = value;
    return pcx;
}

class BrokenPcx : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenPcx, AreRefusedSayingWhatAndWhere) {
    const Broken& b = GetParam();
    const auto picture = ReadPcx(b.bytes);
    ASSERT_FALSE(picture);
    EXPECT_NE(picture.error().what.find(b.what), std::string::npos) << picture.error().what;
    EXPECT_EQ(picture.error().offset, b.offset);
}

const std::string kGood = MakePcx(kFrame);
const std::string kPlain = MakePcx(kFrame, PcxWith([](PcxOptions& o) { o.runLength = false; }));

// A window of 16000 x 16000 dots in 2000-byte lines: 32 MB of lines.
std::string HugeWindow() {
    std::string pcx = kGood;
    for (const std::size_t at : {8u, 10u}) {
        pcx[at] = static_cast<char>(15999 & 0xFF);
        pcx[at + 1] = static_cast<char>(15999 >> 8);
    }
    pcx[66] = static_cast<char>(2000 & 0xFF);
    pcx[67] = static_cast<char>(2000 >> 8);
    return pcx;
}
const std::string kHuge = HugeWindow();

INSTANTIATE_TEST_SUITE_P(
    Pcx, BrokenPcx,
    ::testing::Values(Broken{"ShortHeader", kGood.substr(0, 100), "header is cut short (100 of 128", 100},
                      Broken{"NotPcx", WithByte(kGood, 0, 'B'), "not a PCX picture", 0},
                      Broken{"UnknownEncoding", WithByte(kGood, 2, 7), "unknown PCX encoding 7", 2},
                      Broken{"EightBitsPerPixel", WithByte(kGood, 3, 8), "8 bits per pixel", 3},
                      Broken{"ThreePlanes", WithByte(kGood, 65, 3), "3 colour planes", 65},
                      Broken{"LineTooShort", WithByte(kGood, 66, 2), "too short for its width of 20", 66},
                      Broken{"DataEndsEarly", kGood.substr(0, 131), "ends early", 131},
                      Broken{"EndsInsideARun", MakePcx(kStripes).substr(0, 131), "ends inside a run", 131},
                      Broken{"HeaderAsksForMoreThanItsData", kHuge.substr(0, 129),
                             "data is too short for its 16000 x 16000-dot window (1 bytes of data for 32000000 bytes",
                             129},
                      Broken{"RunsCannotFillTheLines", MakePcx(Pattern(65, "########")).substr(0, 131),
                             "(3 bytes of data for 65 bytes of lines)", 131},
                      Broken{"PlainDataOneByteShort", kPlain.substr(0, kPlain.size() - 1),
                             "(17 bytes of data for 18 bytes of lines)", kPlain.size() - 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pcx, DemoPicturesDecode) {
    const char* source = std::getenv("TARNWICK_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::filesystem::path folder = std::filesystem::path(source) / "demo" / "images";
    for (const char* name : {"calh018.pcx", "calh021.pcx", "calh023.pcx", "calh024.pcx", "calh026.pcx"}) {
        std::ifstream file(folder / name, std::ios::binary);
        ASSERT_TRUE(file) << name;
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const auto picture = ReadPcx(bytes);
        ASSERT_TRUE(picture) << name << ": " << picture.error().what << " at " << picture.error().offset;
        const Pattern pixels = PatternOf(*picture);
        std::size_t ink = 0;
        for (const auto& row : pixels) ink += static_cast<std::size_t>(std::count(row.begin(), row.end(), '#'));
        // A picture, neither blank nor solid (which an inverted palette would give).
        EXPECT_GT(ink, 0u) << name;
        EXPECT_LT(ink, static_cast<std::size_t>(picture->width() * picture->height()) / 2) << name;
    }
}

}  // namespace
}  // namespace tarnwick::test
