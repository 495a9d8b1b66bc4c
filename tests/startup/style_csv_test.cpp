#include "startup/style_csv.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

std::string Shown(const std::vector<StyleCode>& rows) {
    std::string shown;
    for (const auto& row : rows) shown += "[" + row.style + "|" + row.code + "]";
    return shown;
}

TEST(StyleCsv, Rows) {
    const std::pair<std::string, std::string> cases[] = {
        {"12345,calh021\n", "[12345|calh021]"},
        {"Style,PrintStyle\n12345,calh021", "[12345|calh021]"},
        {"style,code\r\n12345,calh021\r\n", "[12345|calh021]"},
        {"12345,calh021\nStyle,PrintStyle\n", "[12345|calh021][Style|PrintStyle]"},
        {"\xEF\xBB\xBF" "A,calh015\n\n  \nB , calh018 ,,\n", "[A|calh015][B|calh018]"},
        {"\"O'Neil, Jr\",calh020\n\" pad \" ,\"x\"\"y\"\n", "[O'Neil, Jr|calh020][ pad |x\"y]"},
        {"\"two\nlines\",calh022\n", "[two\nlines|calh022]"},
        {"NOCODE,\n", "[NOCODE|]"},
        {"Caf\xE9,calh024\n", "[Caf\xC3\xA9|calh024]"},
        {"", ""},
    };
    for (const auto& [bytes, shown] : cases) {
        const auto rows = ParseStyleCsv(bytes, "styles.csv");
        ASSERT_TRUE(rows.has_value()) << rows.error().text;
        EXPECT_EQ(Shown(*rows), shown) << bytes;
    }
}

TEST(StyleCsv, RefusalsNameFileAndLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"A,calh015\nlonely\n", "line 2 has 1 field"},
        {"A,calh015\n\nB,calh018,extra\n", "line 3 has 3 fields"},
        {",calh015\n", "line 1 has no style"},
        {"A,calh015\n\"open,calh018\n", "line 2: a double quote is never closed"},
    };
    for (const auto& [bytes, problem] : cases) {
        const auto rows = ParseStyleCsv(bytes, "/plant/styles.csv");
        ASSERT_FALSE(rows.has_value()) << bytes;
        EXPECT_NE(rows.error().text.find("/plant/styles.csv"), std::string::npos);
        EXPECT_NE(rows.error().text.find(problem), std::string::npos) << rows.error().text;
    }
}

}  // namespace
}  // namespace tarnwick
