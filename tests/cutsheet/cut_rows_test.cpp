#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cutsheet/cut_rows.h"
#include "temp_files.h"

namespace tarnwick {
namespace {

using testing::TempFolder;

std::string Row(const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + cells[i];
    return line + "\r\n";
}

const std::string kHeadings =
    Row({"WIP", "Style", "Color", "Waist", "Length", "LDesc", "L1", "L2", "L3", "Bar", "Made", "Qty", "Stock"});

TEST(CutRules, ColorRule) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"7", "O07"},
        {"12", "O12"},
        {"123", "123"},
        {"", ""},
        {"A", "O0A"},
        {"AB", "OAB"},
        {"\xC3\x89", "O0\xC3\x89"},  // one character, two bytes
        {"1234", "1234"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(ColorRule(in), out) << in;
}

TEST(CutRules, EntryJoinsColumnsOneToSix) {
    EXPECT_EQ(CutEntryText({"40123", "5510", "12", "32", "30", "REG"}), "40123 - 5510 - 12 - 32 - 30 - REG");
    EXPECT_EQ(CutEntryText({"1", "", "7", "", "", ""}), "1 -  - 7 -  -  - ");
}

TEST(CutRules, QuantityShownAddsExtraQty) {
    struct Case {
        std::string qty, extra, shown;
    };
    const std::vector<Case> good = {
        {"24", "2", "26"},     {"24", "", "24"},  {"24", "abc", "24"}, {"24", "2 spare", "26"},
        {"24.5", "2", "26.5"}, {"-3", "2", "-1"}, {"0", "0", "0"},     {"1E2", "1", "101"},
    };
    for (const auto& c : good) {
        auto shown = QuantityShown(c.qty, c.extra, 5, "cuts.csv");
        ASSERT_TRUE(shown.has_value()) << c.qty << " + " << c.extra;
        EXPECT_EQ(*shown, c.shown) << c.qty << " + " << c.extra;
    }
    for (const std::string bad : {"", "abc", "24 pcs", "2 4"}) {
        auto shown = QuantityShown(bad, "2", 7, "/plant/cuts.csv");
        ASSERT_FALSE(shown.has_value()) << bad;
        EXPECT_NE(shown.error().text.find("Row 7"), std::string::npos) << shown.error().text;
        EXPECT_NE(shown.error().text.find("/plant/cuts.csv"), std::string::npos) << shown.error().text;
        if (!bad.empty()) {
            EXPECT_NE(shown.error().text.find("\"" + bad + "\""), std::string::npos) << shown.error().text;
        }
    }
}

TEST(CutRules, FirstCutRowFromStartRow) {
    const std::vector<std::pair<std::string, int>> good = {
        {"2", 2}, {"2.5", 2}, {"3.5", 4}, {" 7 ", 7}, {"32767", 32767}};
    for (const auto& [text, row] : good) {
        auto first = FirstCutRow(text);
        ASSERT_TRUE(first.has_value()) << text;
        EXPECT_EQ(*first, row) << text;
    }
    for (const std::string bad : {"0", "-1", "abc", "", "32768", "0.4"}) {
        auto first = FirstCutRow(bad);
        ASSERT_FALSE(first.has_value()) << bad;
        EXPECT_NE(first.error().text.find("config.txt"), std::string::npos) << first.error().text;
    }
}

TEST(CutListing, ListEndsAtFirstEmptyOrBlankColumnOne) {
    TempFolder folder;
    const auto cut = [](const std::string& wip, const std::string& color) {
        return Row({wip, "5510", color, "32", "30", "REG", "", "", "", "", "", "24", ""});
    };
    struct Case {
        const char* name;
        std::string csv;
        std::vector<int> rows;
    };
    const std::vector<Case> cases = {
        {"three cuts then an empty row",
         kHeadings + cut("1", "7") + cut("2", "12") + cut("3", "123") + "\r\n" + cut("9", "1"),
         {2, 3, 4}},
        {"a row of blanks in column 1 ends the list", kHeadings + cut("1", "7") + cut("   ", "7") + cut("3", "7"), {2}},
        {"blank-padded WIP is listed trimmed", kHeadings + cut("  1  ", "7"), {2}},
        {"end of file ends the list", kHeadings + cut("1", "7") + cut("2", "7"), {2, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = folder.Write("cuts.csv", c.csv);
        auto sheet = OpenCutSheet(file);
        ASSERT_TRUE(sheet.has_value());
        auto listing = ListCuts(**sheet, 2, file);
        ASSERT_TRUE(listing.has_value()) << listing.error().text;
        std::vector<int> rows;
        for (const auto& entry : listing->cuts) rows.push_back(entry.row);
        EXPECT_EQ(rows, c.rows);
        EXPECT_FALSE(listing->notice.has_value());
    }
    auto sheet = OpenCutSheet(folder.Write("cuts.csv", kHeadings + cut("  1  ", "7")));
    EXPECT_EQ(ListCuts(**sheet, 2, "cuts.csv")->cuts.front().text, "1 - 5510 - 7 - 32 - 30 - REG");
}

TEST(CutListing, StopsAtRow32767AndSaysSo) {
    TempFolder folder;
    std::string full = kHeadings;
    for (int row = 2; row <= 32767; ++row) full += std::to_string(row) + ",S,1,1,1,R\n";
    // Exactly up to row 32767: every cut listed, nothing to say.
    auto sheet = OpenCutSheet(folder.Write("full.csv", full));
    auto listing = ListCuts(**sheet, 2, "full.csv");
    ASSERT_TRUE(listing.has_value());
    EXPECT_EQ(listing->cuts.size(), 32766u);
    EXPECT_EQ(listing->cuts.back().row, 32767);
    EXPECT_FALSE(listing->notice.has_value());
    // One more cut below: the list stops at 32767 and says only those are listed.
    const auto over = folder.Write("over.csv", full + "32768,S,1,1,1,R\n");
    sheet = OpenCutSheet(over);
    listing = ListCuts(**sheet, 2, over);
    ASSERT_TRUE(listing.has_value());
    EXPECT_EQ(listing->cuts.size(), 32766u);
    ASSERT_TRUE(listing->notice.has_value());
    EXPECT_NE(listing->notice->text.find("up to row 32767 are listed"), std::string::npos) << listing->notice->text;
    EXPECT_NE(listing->notice->text.find(over.string()), std::string::npos);
}

TEST(CutImport, RefusalsChangeNothingAndSayWhy) {
    TempFolder folder;
    const std::string good = Row({"40123", "5510", "7", "32", "30", "REG", "", "", "", "", "USA", "24", ""});
    struct Case {
        const char* name;
        std::string csv;
        std::string startRow;
        std::string message;  // a part of the message
    };
    const std::vector<Case> cases = {
        {"no cut at StartRow", kHeadings + "\r\n" + good, "2", "The cut sheet has no cuts from row 2."},
        {"empty sheet", "", "5", "The cut sheet has no cuts from row 5."},
        {"quantity is a text", kHeadings + Row({"1", "S", "7", "", "", "", "", "", "", "", "", "two dozen", ""}), "2",
         "Row 2 of the cut sheet"},
        {"quantity is empty", kHeadings + Row({"1", "S", "7"}), "2", "no quantity"},
        {"StartRow below 1", kHeadings + good, "0", "config.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto imported = ImportCutSheet(folder.Write("cuts.csv", c.csv), c.startRow, "2");
        ASSERT_FALSE(imported.has_value());
        EXPECT_NE(imported.error().text.find(c.message), std::string::npos) << imported.error().text;
    }
    auto exact = ImportCutSheet(folder.Write("cuts.csv", kHeadings + "\r\n" + good), "2", "2");
    EXPECT_EQ(exact.error().text, "The cut sheet has no cuts from row 2.");
}

TEST(CutImport, LengthAndDescriptionComeFromColumnsFiveAndSix) {
    TempFolder folder;
    const auto file = folder.Write("cuts.csv", kHeadings + Row({" 40123 ", "5510", " 7", "32", "30", "REG", "A", "B",
                                                                "C", "BAR", " USA ", " 24 ", "WB"}));
    auto imported = ImportCutSheet(file, "2", "2");
    ASSERT_TRUE(imported.has_value()) << imported.error().text;
    const CutRow& c = imported->first;
    EXPECT_EQ(c.Length, "30");
    EXPECT_EQ(c.LengthDesc, "REG");
    EXPECT_EQ(c.WIP, "40123");
    EXPECT_EQ(c.Color, "O07");
    EXPECT_EQ(c.MadeIn, "USA");
    EXPECT_EQ(c.Qty, "24");
    EXPECT_EQ(c.QtyShown, "26");
    LabelJob job;
    job.MadeIn = "KEPT";
    auto moved = ReadCutAt(file, 2, "2", RowTest::None);
    ASSERT_TRUE(moved.has_value() && moved->has_value());
    EXPECT_FALSE((*moved)->MadeIn.has_value());
    ApplyCutRow(**moved, job);
    EXPECT_EQ(job.MadeIn, "KEPT");
    EXPECT_EQ(job.Barcode, "BAR");
    EXPECT_EQ((*moved)->Stock, "WB");
}

}  // namespace
}  // namespace tarnwick
