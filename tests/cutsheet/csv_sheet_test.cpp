#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cutsheet/cut_sheet.h"
#include "temp_files.h"

namespace tarnwick {
namespace {

using testing::TempFolder;

// Every cell of rows 1..rows, columns 1..columns, as text ("" for empty).
std::vector<std::vector<std::string>> Cells(CutSheet& sheet, int rows, int columns) {
    std::vector<std::vector<std::string>> out;
    for (int r = 1; r <= rows; ++r) {
        std::vector<std::string> row;
        for (int c = 1; c <= columns; ++c) {
            auto cell = sheet.Cell(r, c);
            EXPECT_TRUE(cell.has_value()) << "row " << r << " column " << c;
            if (!cell) return out;
            EXPECT_FALSE(std::holds_alternative<double>(*cell)) << "CSV cells are never numbers";
            const auto* text = std::get_if<std::string>(&*cell);
            row.push_back(text ? *text : "");
        }
        out.push_back(row);
    }
    return out;
}

struct CsvCase {
    const char* name;
    std::string bytes;
    std::vector<std::vector<std::string>> expected;
};

TEST(CsvSheet, ReadsCellsExactlyAsWritten) {
    const std::vector<CsvCase> cases = {
        {"leading zeros and number-like text stay as written",
         "004512,1.50,1E3,-0\n",
         {{"004512", "1.50", "1E3", "-0"}}},
        {"CR LF line ends", "a,b\r\nc,d\r\n", {{"a", "b"}, {"c", "d"}}},
        {"CR line ends", "a,b\rc,d\r", {{"a", "b"}, {"c", "d"}}},
        {"LF line ends and no final line end", "a,b\nc,d", {{"a", "b"}, {"c", "d"}}},
        {"mixed line ends", "a\r\nb\rc\nd", {{"a"}, {"b"}, {"c"}, {"d"}}},
        {"quoted commas, doubled quotes, line ends inside quotes",
         "\"5,5\",\"say \"\"hi\"\"\",\"two\r\nlines\",x\n",
         {{"5,5", "say \"hi\"", "two\r\nlines", "x"}}},
        {"quotes keep surrounding blanks; the reader does not trim", "\" a \", b \n", {{" a ", " b "}}},
        {"a quote inside an unquoted field is text", "5\" WB,x\n", {{"5\" WB", "x"}}},
        {"empty fields and a blank line are empty cells", "a,,c\n\nd\n", {{"a", "", "c"}, {"", "", ""}, {"d", "", ""}}},
        {"short rows and rows past the end read as empty", "a\n", {{"a", ""}, {"", ""}}},
        {"UTF-8 byte-order mark is skipped", "\xEF\xBB\xBFWIP,x\n", {{"WIP", "x"}}},
        {"UTF-8 text", "CAF\xC3\x89,\xE2\x82\xAC\n", {{"CAF\xC3\x89", "\xE2\x82\xAC"}}},
        {"Windows-1252 when the file is not UTF-8", "CAF\xC9,\x80\n", {{"CAF\xC3\x89", "\xE2\x82\xAC"}}},
        {"UTF-8 C1 controls (U+0080, U+009F) stay as they are", "\xC2\x80,\xC2\x9F\n", {{"\xC2\x80", "\xC2\x9F"}}},
        {"Windows-1252 bytes 0x81 and 0x9F", "\x81,\x9F\n", {{"\xC2\x81", "\xC5\xB8"}}},
        {"an encoded surrogate is no UTF-8, so Windows-1252", "\xED\xA0\x80\n", {{"\xC3\xAD\xC2\xA0\xE2\x82\xAC"}}},
        {"semicolons when the first line has them and no comma",
         "a;b;\"c;d\"\n1,5;2\n",
         {{"a", "b", "c;d"}, {"1,5", "2", ""}}},
        {"commas when the first line has both", "a,b;c\nd;e,f\n", {{"a", "b;c"}, {"d;e", "f"}}},
        {"an empty file has only empty cells", "", {{"", ""}}},
    };
    TempFolder folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto sheet = OpenCsvSheet(folder.Write("sheet.csv", c.bytes));
        ASSERT_TRUE(sheet.has_value()) << sheet.error().text;
        const int rows = static_cast<int>(c.expected.size());
        const int columns = static_cast<int>(c.expected.front().size());
        EXPECT_EQ(Cells(**sheet, rows, columns), c.expected);
    }
}

TEST(CsvSheet, UnterminatedQuoteIsAnErrorNamingItsLine) {
    TempFolder folder;
    const auto file = folder.Write("cuts.csv", "WIP,Style\n1,2\n3,\"open\nstill open\n");
    auto sheet = OpenCsvSheet(file);
    ASSERT_TRUE(sheet.has_value());
    // Rows before the broken one still read.
    EXPECT_TRUE((*sheet)->Cell(2, 1).has_value());
    auto cell = (*sheet)->Cell(3, 1);
    ASSERT_FALSE(cell.has_value());
    EXPECT_NE(cell.error().text.find(file.string()), std::string::npos) << cell.error().text;
    EXPECT_NE(cell.error().text.find("line 3"), std::string::npos) << cell.error().text;
    EXPECT_EQ(cell.error().icon, MessageIcon::Critical);
}

TEST(CsvSheet, StopsReadingAtTheLastRowItNeeds) {
    // A broken quote far below the rows asked for must not matter: the reader never
    // gets there. A reader that takes in the whole file fails on it.
    std::string bytes = "WIP,Qty\n";
    for (int i = 0; i < 20000; ++i) bytes += std::to_string(100000 + i) + ",24\n";
    bytes += "\"never closed\n";
    TempFolder folder;
    auto sheet = OpenCsvSheet(folder.Write("big.csv", bytes));
    ASSERT_TRUE(sheet.has_value());
    auto cell = (*sheet)->Cell(3, 1);
    ASSERT_TRUE(cell.has_value()) << cell.error().text;
    EXPECT_EQ(std::get<std::string>(*cell), "100001");
    auto last = (*sheet)->Cell(20001, 1);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(std::get<std::string>(*last), "119999");
    EXPECT_FALSE((*sheet)->Cell(20002, 1).has_value());
}

TEST(CsvSheet, QuotedFieldsAcrossReadChunksKeepTheirText) {
    // A quoted field straddling the reader's first 64 KiB read, a CR LF split between
    // the second and third, filler rows kept under the cell limit.
    const std::string filler(30000, 'f');
    std::string bytes = filler + "\r\n" + filler + "\r\n";
    const std::string longText(10000, 'x');
    bytes += "\"" + longText + "\"\"\",b\r\n";
    int padRow = 4;
    for (; 2 * 65536 - 1 - bytes.size() > 30000; ++padRow) bytes += filler + "\r\n";
    const std::string pad(2 * 65536 - 1 - bytes.size(), 'p');
    bytes += pad + "\r\nlast,row\r\n";
    TempFolder folder;
    auto sheet = OpenCsvSheet(folder.Write("chunks.csv", bytes));
    ASSERT_TRUE(sheet.has_value());
    auto text = [&](int row, int column) {
        auto cell = (*sheet)->Cell(row, column);
        const std::string* t = cell ? std::get_if<std::string>(&*cell) : nullptr;
        return t ? *t : std::string("(no text)");
    };
    EXPECT_TRUE(text(2, 1) == filler);
    EXPECT_TRUE(text(3, 1) == longText + "\"");
    EXPECT_EQ(text(3, 2), "b");
    EXPECT_TRUE(text(padRow, 1) == pad) << text(padRow, 1).size();
    EXPECT_EQ(text(padRow + 1, 2), "row");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*(*sheet)->Cell(padRow + 2, 1)));
}

}  // namespace
}  // namespace tarnwick
