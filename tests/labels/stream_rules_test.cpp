#include <gtest/gtest.h>

#include "label_test_support.h"
#include "labels/stream_rules.h"

namespace tarnwick {
namespace {

TEST(QuantityText, LeadingNumberRoundedHalfToEven) {
    const std::pair<const char*, const char*> cases[] = {
        {"24", "24"},           {"", "0"},          {"abc", "0"},         {"2.5", "2"},
        {"3.5", "4"},           {"-2.5", "-2"},     {"1 2", "12"},        {"12 boxes", "12"},
        {"-3", "-3"},           {"0", "0"},         {"\t7\n", "7"},       {"1E3", "1000"},
        {"&H10", "16"},         {"32767", "32767"}, {"-32768", "-32768"}, {"32767.4", "32767"},
        {"-32768.5", "-32768"},
    };
    for (const auto& [qty, expected] : cases) {
        const auto text = QuantityText(qty);
        ASSERT_TRUE(text.has_value()) << qty;
        EXPECT_EQ(*text, expected) << qty;
    }
}

TEST(QuantityText, OutsideSixteenBitsIsRefusedNamingQuantityAndRange) {
    for (const char* qty : {"32767.5", "32768", "-32769", "40000 boxes", "1E10"}) {
        const auto text = QuantityText(qty);
        ASSERT_FALSE(text.has_value()) << qty;
        EXPECT_NE(text.error().text.find(qty), std::string::npos) << text.error().text;
        EXPECT_NE(text.error().text.find("-32768 to 32767"), std::string::npos) << text.error().text;
    }
}

TEST(CenterFabricLines, HalfTheDifferenceRoundedDownAtTheFront) {
    using Lines = std::array<std::string, 3>;
    const std::pair<Lines, Lines> cases[] = {
        {{"65% POLYESTER", "35% COTTON", "MACHINE WASH"}, {"65% POLYESTER", " 35% COTTON", "MACHINE WASH"}},
        {{"100% WOOL", "DRY CLEAN", "ONLY"}, {"100% WOOL", "DRY CLEAN", "  ONLY"}},
        {{"", "", ""}, {"", "", ""}},
        {{"ABCDE", "", ""}, {"ABCDE", "  ", "  "}},
        {{"", "ABCD", ""}, {"  ", "ABCD", "  "}},
        {{"", "", "ABC"}, {" ", " ", "ABC"}},
        {{"A", "ABCDE", "ABC"}, {"  A", "ABCDE", " ABC"}},
        {{"  X", "X", "XY "}, {"  X", " X", "XY "}},  // blanks of the text count
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(CenterFabricLines(input[0], input[1], input[2]), expected)
            << input[0] << '|' << input[1] << '|' << input[2];
}

TEST(PadBarcode, BlanksUpToSeventeenNeverCut) {
    const std::pair<std::string, std::string> cases[] = {
        {"12345O07 32 30", "12345O07 32 30   "},          {"", std::string(17, ' ')},
        {"1234567890123456", "1234567890123456 "},        {"12345678901234567", "12345678901234567"},
        {"12345678901234567890", "12345678901234567890"}, {"A  ", "A" + std::string(16, ' ')},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(PadBarcode(input), expected) << '"' << input << '"';
}

class ImageFiles : public test::InPlantFolder {};

TEST_F(ImageFiles, WholeFileByteForByteAndAnewOnEveryCall) {
    const auto first = ReadImageBytes("images/calh021.pcx");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, Picture("calh021.pcx"));
    EXPECT_EQ(first->substr(0, 256), test::PictureBytes(256, 0));  // 0x00..0xFF in order

    test::WriteFile(ImageFile("calh021.pcx"), std::string("\x00\x1B\xFF", 3));
    const auto second = ReadImageBytes("images/calh021.pcx");
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, std::string("\x00\x1B\xFF", 3));

    test::WriteFile(ImageFile("calh021.pcx"), "");
    EXPECT_EQ(ReadImageBytes("images/calh021.pcx").value(), "");
}

TEST_F(ImageFiles, MissingOrNotAFileIsRefusedNamingIt) {
    std::filesystem::remove(ImageFile("calh021.pcx"));
    std::filesystem::create_directory(ImageFile("calh026.pcx").replace_extension(".dir"));
    for (const char* file : {"images/calh021.pcx", "images/calh026.dir"}) {
        const auto bytes = ReadImageBytes(file);
        ASSERT_FALSE(bytes.has_value()) << file;
        EXPECT_NE(bytes.error().text.find(file), std::string::npos) << bytes.error().text;
    }
}

TEST_F(ImageFiles, LengthCheckedOnlyWhenTheGraphicIsSent) {
    const GraphicImage image{"images/calh018.pcx", "GP01450,", 1450};
    EXPECT_EQ(ReadGraphic(image, true).value(), Picture("calh018.pcx"));

    test::WriteFile(ImageFile("calh018.pcx"), std::string(1449, 'x'));
    EXPECT_EQ(ReadGraphic(image, false).value(), std::string(1449, 'x'));
    const auto refused = ReadGraphic(image, true);
    ASSERT_FALSE(refused.has_value());
    for (const char* part : {"images/calh018.pcx", "1449", "1450"})
        EXPECT_NE(refused.error().text.find(part), std::string::npos) << refused.error().text;
}

}  // namespace
}  // namespace tarnwick
