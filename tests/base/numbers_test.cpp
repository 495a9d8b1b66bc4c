#include "base/numbers.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>

namespace tarnwick {
namespace {

struct QuantityCase {
    const char* text;
    double leading;
    std::optional<std::int16_t> rounded;
};

// Quantities and config values: the leading number, then the 16-bit rounding.
TEST(Numbers, LeadingNumberThenRoundToInt16) {
    const QuantityCase cases[] = {
        {"24", 24, 24},
        {"", 0, 0},
        {"abc", 0, 0},
        {"2.5", 2.5, 2},
        {"3.5", 3.5, 4},
        {"-2.5", -2.5, -2},
        {"0.5", 0.5, 0},
        {".5", 0.5, 0},
        {"1.5", 1.5, 2},
        {"1 2", 12, 12},
        {"12 boxes", 12, 12},
        {" \t\n-3", -3, -3},
        {"- 3", -3, -3},
        {"+5", 5, 5},
        {"\r7", 0, 0},  // only blanks, tabs and line feeds are skipped
        {"1,000", 1, 1},
        {"1.2.3", 1.2, 1},
        {"0x10", 0, 0},
        {"&H1F", 31, 31},
        {"&h1f", 31, 31},
        {"&H 1F", 31, 31},
        {"&HFFFF", -1, -1},
        {"&H8000", -32768, -32768},
        {"&O17", 15, 15},
        {"&O18", 1, 1},
        {"&", 0, 0},
        {"1E3", 1000, 1000},
        {"1e3", 1000, 1000},
        {"1D2", 100, 100},
        {"2.5E-1", 0.25, 0},
        {"1E", 1, 1},
        {"1E+", 1, 1},
        {"32767", 32767, 32767},
        {"32767.4", 32767.4, 32767},
        {"32767.5", 32767.5, std::nullopt},
        {"-32768.5", -32768.5, -32768},
        {"-32769", -32769, std::nullopt},
        {"&HFFFFF", 1048575, std::nullopt},
        {"1E400", HUGE_VAL, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(LeadingNumber(c.text), c.leading) << '"' << c.text << '"';
        EXPECT_EQ(RoundToInt16(LeadingNumber(c.text)), c.rounded) << '"' << c.text << '"';
    }
}

TEST(Numbers, RoundToInt16KeepsToNearestEvenUnderAnyRoundingMode) {
    std::fesetround(FE_UPWARD);
    EXPECT_EQ(RoundToInt16(12.5), std::optional<std::int16_t>(12));
    EXPECT_EQ(RoundToInt16(-0.4), std::optional<std::int16_t>(0));
    EXPECT_EQ(std::fegetround(), FE_UPWARD);
    std::fesetround(FE_TONEAREST);
    EXPECT_EQ(RoundToInt16(std::nan("")), std::nullopt);
}

TEST(Numbers, WholeNumberText) {
    const std::pair<const char*, bool> cases[] = {
        {"0050", true}, {" 12 ", true}, {"\t-2.5", true}, {"&H1F", true}, {"1E3", true},    {"12.", true},
        {"", false},    {"  ", false},  {"abc", false},   {"1 2", false}, {"12abc", false}, {".", false},
        {"+", false},   {"1E", false},  {"1,5", false},   {"- 3", false},
    };
    for (const auto& [text, whole] : cases) EXPECT_EQ(IsWholeNumberText(text), whole) << '"' << text << '"';
}

TEST(Numbers, FormatNumber) {
    const std::pair<double, const char*> cases[] = {
        {50, "50"},
        {-0.0, "0"},
        {-7, "-7"},
        {12.5, "12.5"},
        {0.1, "0.1"},
        {1.0 / 3, "0.333333333333333"},
        {123456789012345, "123456789012345"},
        {1e15, "1E+15"},
        {1.5e17, "1.5E+17"},
        {0.0001, "0.0001"},
        {0.00001, "1E-05"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(FormatNumber(value), text) << value;
}

}  // namespace
}  // namespace tarnwick
