#include <gtest/gtest.h>

#include <string>

#include "labels/reprint_stream.h"

namespace tarnwick {
namespace {

using namespace std::string_literals;

TEST(WithQuantity, OnlyTheFinalQuantityChanges) {
    // An image may carry ESC Q and NUL bytes of its own; only the frame's last Q counts.
    const std::string image = "\x00\x1BQ9\x1BZ\xFF\x80"s;
    const struct {
        std::string stream;
        int quantity;
        std::string expected;
    } cases[] = {
        {"\x1B"
         "A\x1B"
         "A3H5V10\x1B"
         "OB4012\x1BQ24\x1BZ",
         7,
         "\x1B"
         "A\x1B"
         "A3H5V10\x1B"
         "OB4012\x1BQ7\x1BZ"},
        {"\x1BGP00008," + image + "\x1BQ1\x1BZ", 32767, "\x1BGP00008," + image + "\x1BQ32767\x1BZ"},
        {"\x1B"
         "A\x1BQ-3\x1BZ",
         2,
         "\x1B"
         "A\x1BQ2\x1BZ"},
        {"\x1B"
         "A\x1BQ0\x1BZ",
         10,
         "\x1B"
         "A\x1BQ10\x1BZ"},
    };
    for (const auto& c : cases) {
        const auto changed = WithQuantity(c.stream, c.quantity);
        ASSERT_TRUE(changed.has_value()) << changed.error().text;
        EXPECT_EQ(*changed, c.expected);
    }
}

TEST(WithQuantity, StreamWithoutAFinalQuantityIsRefused) {
    const std::string kRefusal =
        "The recorded label does not end with a quantity command (ESC Q n, ESC Z), so its quantity cannot be "
        "changed. Reprint it with its own quantity.";
    for (const std::string& stream : {""s,
                                      "\x1B"
                                      "A\x1BQ5"s,
                                      "\x1BQ\x1BZ"s, "\x1BQ5\x1BH0010\x1BZ"s, "\x1BQ1x\x1BZ"s}) {
        const auto changed = WithQuantity(stream, 3);
        ASSERT_FALSE(changed.has_value()) << stream;
        EXPECT_EQ(changed.error().text, kRefusal);
    }
}

TEST(ReprintQuantity, WholeNumberFromOneTo32767) {
    for (const auto& [text, value] : {std::pair{"1", 1}, {"32767", 32767}, {"6", 6}}) {
        const auto quantity = ReprintQuantity(text);
        ASSERT_TRUE(quantity.has_value()) << text;
        EXPECT_EQ(*quantity, value);
    }
    for (const char* text : {"0", "-1", "32768", "", "abc", " 5", "5 ", "2.5", "99999999999"}) {
        const auto quantity = ReprintQuantity(text);
        ASSERT_FALSE(quantity.has_value()) << text;
        EXPECT_EQ(quantity.error().text, "The quantity to reprint, \"" + std::string(text) +
                                             "\", is not a whole number from 1 to 32767. Give the number of labels "
                                             "to print.");
    }
}

}  // namespace
}  // namespace tarnwick
