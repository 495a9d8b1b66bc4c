#include <gtest/gtest.h>

#include <string>

#include "printer/queue_messages.h"

namespace tarnwick {
namespace {

TEST(PrinterUri, NameIsEscapedAsOnePathSegment) {
    EXPECT_EQ(PrinterUri("tarnwick-raw_2.x~"), "ipp://localhost/printers/tarnwick-raw_2.x~");
    EXPECT_EQ(PrinterResource("a b/c%\xC3\xA9"), "/printers/a%20b%2Fc%25%C3%A9");
}

// What a print server writes goes into a message box and a terminal line.
TEST(ServerText, ControlCharactersBecomeBlanksAndLongTextIsCut) {
    const std::string e200(200, 'e');
    const struct {
        std::string said, shown;
    } cases[] = {
        {"Out of labels", "Out of labels"},
        {"line one\r\nline two\t\x1B[2Jcleared\x7F", "line one line two [2Jcleared\\x7F"},
        {"C1 \xC2\x9B"
         "2J, no UTF-8 \xFF",
         "C1 \\u009B2J, no UTF-8 \\xFF"},
        {"  \n padded \n ", "padded"},
        {e200, e200},
        {e200 + "f", e200 + "\u2026"},
        {std::string(199, 'e') + "\xC3\xA9\xC3\xA9", std::string(199, 'e') + "\xC3\xA9\u2026"},
    };
    for (const auto& c : cases) EXPECT_EQ(ServerText(c.said), c.shown) << c.said;
}

}  // namespace
}  // namespace tarnwick
