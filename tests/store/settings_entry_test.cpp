#include "store/settings_entry.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(SettingsFromEntries, BaseYRoundsHalfToEvenWithinSixteenBits) {
    const std::pair<std::string, std::int16_t> accepted[] = {
        {"7", 7},     {"12.5", 12},       {"13.5", 14},       {"-2.5", -2}, {" 8 ", 8},
        {"0050", 50}, {"-32768", -32768}, {"32767.4", 32767}, {"&H10", 16}, {"1E3", 1000},
    };
    for (const auto& [text, value] : accepted) {
        const auto settings = SettingsFromEntries("50", text, true, false, "Zebra");
        ASSERT_TRUE(settings.has_value()) << text << ": " << settings.error().text;
        EXPECT_EQ(settings->BaseY, value) << text;
    }
}

TEST(SettingsFromEntries, RefusesWhatIsNotASixteenBitNumber) {
    for (const std::string text : {"", "abc", "12abc", "1 2", "32767.5", "-32769", "1E9"}) {
        const auto settings = SettingsFromEntries("50", text, true, false, "Zebra");
        ASSERT_FALSE(settings.has_value()) << text;
        EXPECT_NE(settings.error().text.find("Y"), std::string::npos);
        EXPECT_NE(settings.error().text.find("-32768 to 32767"), std::string::npos) << settings.error().text;
        EXPECT_NE(settings.error().text.find("nothing was saved"), std::string::npos);
    }
}

TEST(SettingsFromEntries, KeepsTheTypedTextsAndRoute) {
    const auto settings = SettingsFromEntries("0050", "3", false, true, "Shop Floor");
    ASSERT_TRUE(settings.has_value());
    ASSERT_TRUE(std::holds_alternative<std::string>(settings->BaseX));
    EXPECT_EQ(std::get<std::string>(settings->BaseX), "0050");
    EXPECT_EQ(settings->ParallelPrinter, std::optional<bool>(false));
    EXPECT_TRUE(settings->USBPrinter);
    EXPECT_EQ(settings->USBPrinterName, "Shop Floor");

    const auto empty = SettingsFromEntries("", "0", false, false, "");
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(std::get<std::string>(empty->BaseX), "");
}

}  // namespace
}  // namespace tarnwick
