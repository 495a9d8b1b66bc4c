#include <gtest/gtest.h>

#include <string>

#include "labels/sample_label.h"

namespace tarnwick {
namespace {

std::string Esc(std::string readable) {
    for (char& c : readable)
        if (c == '^') c = '\x1B';
    return readable;
}

TEST(Format0000, NumbersPadTextsStay) {
    const struct {
        const char* typed;
        const char* expected;
    } cases[] = {
        {"50", "0050"},   {"7", "0007"},    {"0", "0000"},        {"12345", "12345"},
        {"0050", "0050"}, {"-5", "-0005"},  {"-12345", "-12345"}, {"+8", "0008"},
        {"12.5", "0012"}, {"13.5", "0014"}, {"12.51", "0013"},    {"-2.5", "-0002"},
        {"-0.4", "0000"}, {" 50 ", "0050"}, {"1E2", "0100"},      {"&H10", "0016"},
        {"", ""},         {"abc", "abc"},   {"50mm", "50mm"},     {"1 2", "1 2"},
        {"  ", "  "},     {"-", "-"},       {"1E999", "1E999"},
    };
    for (const auto& c : cases) EXPECT_EQ(Format0000(c.typed), c.expected) << '"' << c.typed << '"';
}

TEST(SampleStream, WholeJobFromTheBoxes) {
    const struct {
        const char* x;
        const char* y;
        const char* expected;
    } cases[] = {
        {"50", "7", "^A^A3H0050V0007^H0000^V0000^OBSAMPLE TEXT^Q1^Z"},
        {"12345", "0", "^A^A3H12345V0000^H0000^V0000^OBSAMPLE TEXT^Q1^Z"},
        {"", "", "^A^A3HV^H0000^V0000^OBSAMPLE TEXT^Q1^Z"},
        {"left", "-3", "^A^A3HleftV-0003^H0000^V0000^OBSAMPLE TEXT^Q1^Z"},
    };
    for (const auto& c : cases) {
        const auto stream = SampleStream(c.x, c.y);
        ASSERT_TRUE(stream) << stream.error().text;
        EXPECT_EQ(*stream, Esc(c.expected)) << c.x << " / " << c.y;
    }
}

TEST(SampleStream, TypedTextGoesOutAsPrinterBytes) {
    const auto stream = SampleStream("\xC3\xA9", "1");  // é
    ASSERT_TRUE(stream);
    EXPECT_EQ(*stream, Esc("^A^A3H\xE9V0001^H0000^V0000^OBSAMPLE TEXT^Q1^Z"));
}

TEST(SampleStream, RefusesWhatThePrinterCannotTakeNamingTheBox) {
    const auto escInX = SampleStream("1\x1BZ", "0");
    ASSERT_FALSE(escInX);
    EXPECT_NE(escInX.error().text.find("base X box"), std::string::npos) << escInX.error().text;

    const auto arrowInY = SampleStream("0", "\xE2\x86\x90");  // ←, not in Windows-1252
    ASSERT_FALSE(arrowInY);
    EXPECT_NE(arrowInY.error().text.find("base Y box"), std::string::npos) << arrowInY.error().text;
}

}  // namespace
}  // namespace tarnwick
