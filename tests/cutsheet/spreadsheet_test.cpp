#include <gtest/gtest.h>
#include <xlsxwriter.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"
#include "temp_files.h"

namespace tarnwick {
namespace {

using testing::CutSheetFixture;
using testing::TempFolder;

// The sheet every fixture holds (see tests/data/cutsheet/make_fixtures.py).
const std::vector<std::vector<std::string>> kRows = {
    {"40123", "5510", "7", "32", "30", "REG", "POLY COTTON WOVEN", "65% POLYESTER", "35% COTTON", "40123551007323",
     "USA", "24", "WB1"},
    {"004512", "5520", "12", "34", "32.5", "LONG", "POLY WOOL WOVEN", "55% POLYESTER", "45% WOOL", "00451255201234",
     "MEXICO", "12", "WB2"},
    {"40125", "5530", "123", "36", "29", "SHORT", "MICROFIBER", "100% POLYESTER", "", "40125553012336", "CAF\xC3\x89",
     "6", "WB3"},
};

// The same sheet written by libxlsxwriter; constantMemory makes it stream inline strings.
std::filesystem::path WriteWithLibxlsxwriter(const std::filesystem::path& file, bool constantMemory) {
    lxw_workbook_options options{};
    options.constant_memory = constantMemory ? LXW_TRUE : LXW_FALSE;
    lxw_workbook* book = workbook_new_opt(file.c_str(), &options);
    lxw_worksheet* sheet = workbook_add_worksheet(book, "Cuts");
    workbook_add_worksheet(book, "Notes");
    worksheet_write_string(sheet, 0, 0, "WIP", nullptr);
    for (std::size_t r = 0; r < kRows.size(); ++r) {
        for (std::size_t c = 0; c < kRows[r].size(); ++c) {
            const std::string& text = kRows[r][c];
            const auto row = static_cast<lxw_row_t>(r + 1);
            const auto col = static_cast<lxw_col_t>(c);
            if (text.empty()) continue;
            // Numbers as numbers, except the texts the sheet holds as text.
            const bool numberColumn = c == 0 || c == 2 || c == 3 || c == 4 || c == 11;
            const bool asText = !numberColumn || text.starts_with('0') || text == "123";
            if (c == 3 && r == 0) {
                worksheet_write_formula_num(sheet, row, col, "=30+2", nullptr, 32);
            } else if (asText) {
                worksheet_write_string(sheet, row, col, text.c_str(), nullptr);
            } else {
                worksheet_write_number(sheet, row, col, std::stod(text), nullptr);
            }
        }
    }
    worksheet_write_number(sheet, 5, 0, 99999, nullptr);
    worksheet_write_boolean(sheet, 5, 1, 1, nullptr);
    EXPECT_EQ(workbook_close(book), LXW_NO_ERROR);
    return file;
}

void ExpectTheThreeCuts(const std::filesystem::path& file) {
    SCOPED_TRACE(file.filename().string());
    auto imported = ImportCutSheet(file, "2", "2");
    ASSERT_TRUE(imported.has_value()) << imported.error().text;
    ASSERT_EQ(imported->listing.cuts.size(), 3u);
    EXPECT_FALSE(imported->listing.notice.has_value());
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& r = kRows[i];
        EXPECT_EQ(imported->listing.cuts[i].row, static_cast<int>(i) + 2);
        EXPECT_EQ(imported->listing.cuts[i].text,
                  r[0] + " - " + r[1] + " - " + r[2] + " - " + r[3] + " - " + r[4] + " - " + r[5]);
    }
    const CutRow& first = imported->first;
    EXPECT_EQ(first.WIP, "40123");
    EXPECT_EQ(first.Color, "O07");
    EXPECT_EQ(first.Waist, "32");
    EXPECT_EQ(first.Text1, "POLY COTTON WOVEN");
    EXPECT_EQ(first.Barcode, "40123551007323");
    EXPECT_EQ(first.MadeIn, "USA");
    EXPECT_EQ(first.Qty, "24");
    EXPECT_EQ(first.QtyShown, "26");
    EXPECT_EQ(first.Stock, "WB1");

    for (int row = 3; row <= 4; ++row) {
        auto cut = ReadCutAt(file, row, "", RowTest::MustHoldCut, CutColumns::All);
        ASSERT_TRUE(cut.has_value()) << cut.error().text;
        ASSERT_TRUE(cut->has_value());
        const auto& r = kRows[row - 2];
        const CutRow& c = **cut;
        EXPECT_EQ(
            (std::vector<std::string>{c.WIP, c.Style, c.Waist, c.Length, c.LengthDesc, c.Text1, c.Text2, c.Text3,
                                      c.Barcode, c.MadeIn.value_or("?"), c.Qty, c.Stock}),
            (std::vector<std::string>{r[0], r[1], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12]}));
    }
    auto beyond = ReadCutAt(file, 5, "", RowTest::MustHoldCut);
    ASSERT_TRUE(beyond.has_value()) << beyond.error().text;
    EXPECT_FALSE(beyond->has_value());
}

// A zip of stored (uncompressed) entries, built by hand.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries) {
    auto put = [](std::string& to, std::size_t at, std::uint32_t value, int bytes) {
        for (int k = 0; k < bytes; ++k) to[at + k] = static_cast<char>((value >> (8 * k)) & 0xFF);
    };
    std::string locals, central;
    for (const auto& [name, content] : entries) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (unsigned char byte : content) {
            crc ^= byte;
            for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        crc = ~crc;
        const auto size = static_cast<std::uint32_t>(content.size());
        std::string local = std::string("PK\x03\x04", 4) + std::string(26, '\0') + name + content;
        put(local, 14, crc, 4);
        put(local, 18, size, 4);
        put(local, 22, size, 4);
        put(local, 26, static_cast<std::uint32_t>(name.size()), 2);
        std::string header = std::string("PK\x01\x02", 4) + std::string(42, '\0') + name;
        put(header, 16, crc, 4);
        put(header, 20, size, 4);
        put(header, 24, size, 4);
        put(header, 28, static_cast<std::uint32_t>(name.size()), 2);
        put(header, 42, static_cast<std::uint32_t>(locals.size()), 4);
        locals += local;
        central += header;
    }
    std::string end = std::string("PK\x05\x06", 4) + std::string(18, '\0');
    put(end, 8, static_cast<std::uint32_t>(entries.size()), 2);
    put(end, 10, static_cast<std::uint32_t>(entries.size()), 2);
    put(end, 12, static_cast<std::uint32_t>(central.size()), 4);
    put(end, 16, static_cast<std::uint32_t>(locals.size()), 4);
    return locals + central + end;
}

// The least of an xlsx package: a workbook, its relationships, the sheet's <sheetData>
// and, if given, the shared strings' <si> items.
std::string Xlsx(const std::string& sheetData, const std::string& sharedItems = "") {
    std::vector<std::pair<std::string, std::string>> entries = {
        {"[Content_Types].xml", "<Types/>"},
        {"xl/workbook.xml", "<workbook><sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels",
         "<Relationships><Relationship Id=\"rId1\" Type=\"x/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
         "<Relationship Id=\"rId2\" Type=\"x/sharedStrings\" Target=\"sharedStrings.xml\"/></Relationships>"},
        {"xl/worksheets/sheet1.xml", "<worksheet><sheetData>" + sheetData + "</sheetData></worksheet>"},
    };
    if (!sharedItems.empty()) entries.emplace_back("xl/sharedStrings.xml", "<sst>" + sharedItems + "</sst>");
    return StoredZip(entries);
}

// The least of an ods package: the first table's rows.
std::string Ods(const std::string& tableRows) {
    return StoredZip(
        {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"},
         {"content.xml", "<office:document-content><office:body><office:spreadsheet><table:table>" + tableRows +
                             "</table:table></office:spreadsheet></office:body>"
                             "</office:document-content>"}});
}

// What the cut rules read from one cell: its text, or the refusal.
struct CellOutcome {
    std::string text;
    std::string refusal;
};

CellOutcome ReadCell(const std::filesystem::path& file, int row, int column) {
    auto sheet = OpenCutSheet(file);
    if (!sheet) return {"", sheet.error().text};
    auto text = CellText(**sheet, row, column);
    if (!text) return {"", text.error().text};
    return {*text, ""};
}

TEST(Spreadsheets, EveryFormatGivesTheSameCuts) {
    for (const char* name : {"cuts.csv", "cuts_openpyxl.xlsx", "cuts_streamed.xlsx", "cuts.ods", "cuts.xls",
                             "formulas_saved.xls", "formulas_saved_biff5.xls"})
        ExpectTheThreeCuts(CutSheetFixture(name));
    TempFolder folder;
    ExpectTheThreeCuts(WriteWithLibxlsxwriter(folder.path() / "shared.xlsx", false));
    ExpectTheThreeCuts(WriteWithLibxlsxwriter(folder.path() / "streamed.xlsx", true));
}

TEST(Spreadsheets, DemoSheetsHoldTheSameCuts) {
    // tests/data/cutsheet/x -> the source folder.
    const auto demo = CutSheetFixture("x").parent_path().parent_path().parent_path().parent_path() / "demo";
    std::vector<std::string> listings;
    for (const char* name : {"cuts.csv", "cuts.xlsx", "cuts.ods"}) {
        auto imported = ImportCutSheet(demo / name, "2", "2");
        ASSERT_TRUE(imported.has_value()) << name << ": " << imported.error().text;
        std::string listing;
        for (const auto& cut : imported->listing.cuts) listing += std::to_string(cut.row) + " " + cut.text + "\n";
        listings.push_back(listing + imported->first.Barcode + " " + imported->first.QtyShown);
    }
    EXPECT_EQ(listings[1], listings[0]);
    EXPECT_EQ(listings[2], listings[0]);
    EXPECT_NE(listings[0].find("004512 - 12345"), std::string::npos);
}

TEST(Spreadsheets, FormatIsFoundByContentNotByName) {
    TempFolder folder;
    const auto copied = folder.path() / "cuts.csv";
    std::filesystem::copy_file(CutSheetFixture("cuts_openpyxl.xlsx"), copied);
    ExpectTheThreeCuts(copied);
    const auto odsAsTxt = folder.path() / "cuts.txt";
    std::filesystem::copy_file(CutSheetFixture("cuts.ods"), odsAsTxt);
    ExpectTheThreeCuts(odsAsTxt);
}

TEST(Spreadsheets, XlsxCellKinds) {
    auto sheet = OpenCutSheet(CutSheetFixture("cuts_streamed.xlsx"));
    ASSERT_TRUE(sheet.has_value()) << sheet.error().text;
    auto& s = **sheet;
    EXPECT_EQ(std::get<double>(*s.Cell(2, 1)), 40123);  // number
    EXPECT_EQ(std::get<double>(*s.Cell(2, 3)), 7);  // cached formula result
    EXPECT_EQ(std::get<std::string>(*s.Cell(2, 7)), "POLY COTTON WOVEN");  // rich text runs, no phonetic text
    EXPECT_EQ(std::get<std::string>(*s.Cell(2, 10)), "40123551007323");  // formula giving a text
    EXPECT_EQ(std::get<double>(*s.Cell(2, 12)), 24);  // 2.4E1
    EXPECT_EQ(std::get<std::string>(*s.Cell(3, 6)), "LONG");  // inline rich text
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(5, 1)));  // styled but empty
    EXPECT_EQ(std::get<std::string>(*s.Cell(6, 2)), "TRUE");  // boolean
    EXPECT_EQ(std::get<std::string>(*s.Cell(8, 2)), "a\rb");  // _x000D_ escape
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(7, 1)));  // row not written
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(2, 14)));  // past the last column
    EXPECT_EQ(std::get<CellError>(*s.Cell(8, 1)).text, "#DIV/0!");
    auto error = CellText(s, 8, 1);
    ASSERT_FALSE(error.has_value());
    EXPECT_EQ(error.error().text, "The cut sheet " + CutSheetFixture("cuts_streamed.xlsx").string() +
                                      " cannot be read: cell A8 holds the error value #DIV/0!. Check the file, or "
                                      "save it again from the spreadsheet program, and try again.");
    EXPECT_EQ(*CellShownText(s, 8, 1), "#DIV/0!");
}

TEST(Spreadsheets, OdsCellKinds) {
    auto sheet = OpenCutSheet(CutSheetFixture("cell_kinds.ods"));
    ASSERT_TRUE(sheet.has_value()) << sheet.error().text;
    auto& s = **sheet;
    EXPECT_EQ(std::get<double>(*s.Cell(1, 1)), 7);  // saved formula result
    EXPECT_EQ(std::get<std::string>(*s.Cell(1, 2)), "XY");  // saved text result
    EXPECT_EQ(std::get<std::string>(*s.Cell(1, 3)), "FALSE");
    EXPECT_EQ(std::get<double>(*s.Cell(1, 4)), 0.25);
    for (int row = 2; row <= 4; ++row) {
        EXPECT_EQ(std::get<double>(*s.Cell(row, 1)), 12) << row;  // repeated rows and columns
        EXPECT_EQ(std::get<double>(*s.Cell(row, 2)), 12) << row;
        EXPECT_EQ(std::get<std::string>(*s.Cell(row, 3)), "after") << row;
    }
    EXPECT_EQ(std::get<std::string>(*s.Cell(5, 1)), "A   B");
    EXPECT_EQ(std::get<std::string>(*s.Cell(5, 2)), "line one\nline two");  // the note is not cell text
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(5, 3)));  // covered by a merge
    EXPECT_EQ(std::get<std::string>(*s.Cell(5, 4)), "x\ny");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(6, 1)));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(500000, 1)));
    EXPECT_EQ(std::get<std::string>(*s.Cell(1000006, 1)), "far below");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(1000007, 1)));  // the second sheet is not read
}

TEST(Spreadsheets, UnreadableFilesAreRefusedNamingTheFile) {
    TempFolder folder;
    struct Case {
        const char* name;
        std::string bytes;
        const char* problem;
    };
    const std::vector<Case> cases = {
        {"damaged.xlsx", std::string("PK\x03\x04", 4) + "not really a zip", "damaged"},
        {"letter.odt", StoredZip({{"mimetype", "application/vnd.oasis.opendocument.text"}}), "not a spreadsheet"},
        {"plain.zip", StoredZip({{"readme.txt", "hello"}}), "not a spreadsheet"},
        {"photo.xlsx", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), "is not a cut sheet (CSV, xlsx, ods or xls)"},
        {"report.csv", std::string("%PDF-1.4\n\x01\x02stream", 17), "is not a cut sheet (CSV, xlsx, ods or xls)"},
        {"unicode.txt", std::string("\xFF\xFEW\0I\0P\0", 8),
         "is UTF-16 text (Excel's \"Unicode Text\"), which Tarnwick does not read. Save it as CSV or xlsx"},
        {"damaged.xls", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(600, '\0'), "xls"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = folder.Write(c.name, c.bytes);
        auto imported = ImportCutSheet(file, "2", "");
        ASSERT_FALSE(imported.has_value());
        EXPECT_NE(imported.error().text.find(file.string()), std::string::npos) << imported.error().text;
        EXPECT_NE(imported.error().text.find(c.problem), std::string::npos) << imported.error().text;
        EXPECT_EQ(imported.error().icon, MessageIcon::Critical);
    }
}

TEST(Spreadsheets, AnErrorValueInACutIsRefusedButNotBelowTheList) {
    // Row 8 holds #DIV/0!; the list ends at row 5, so an import from row 2 is fine,
    // and one from row 8 is refused.
    const auto file = CutSheetFixture("cuts_streamed.xlsx");
    EXPECT_TRUE(ImportCutSheet(file, "2", "").has_value());
    auto imported = ImportCutSheet(file, "8", "");
    ASSERT_FALSE(imported.has_value());
    EXPECT_NE(imported.error().text.find("#DIV/0!"), std::string::npos) << imported.error().text;
}

TEST(Spreadsheets, FormulaCellsGiveTheirSavedResultOrAreRefusedByCell) {
    TempFolder folder;
    const auto unsavedOds = folder.Write(
        "unsaved.ods", Ods("<table:table-row><table:table-cell table:formula=\"of:=1+1\"/>"
                           "<table:table-cell table:formula=\"of:=2\" office:value-type=\"float\"/>"
                           "<table:table-cell table:formula=\"of:=&quot;&quot;\" office:value-type=\"string\" "
                           "office:string-value=\"\"/></table:table-row>"));
    const auto xlsx =
        folder.Write("kinds.xlsx", Xlsx("<row r=\"1\"><c r=\"A1\" t=\"str\"><f>\"\"</f><v></v></c>"
                                        "<c r=\"B1\" t=\"b\"><f>1&gt;0</f></c><c r=\"C1\"><f>1+1</f><v/></c>"
                                        "<c r=\"D1\" t=\"str\"><f>A1</f></c><c r=\"E1\"><f>1+1</f><v>2</v></c></row>"));
    auto unsaved = [](const std::filesystem::path& file, const char* cell) {
        return "The cut sheet " + file.string() + " cannot be read: cell " + cell +
               " holds a formula whose result was never saved. Open the sheet in a spreadsheet program, save it, "
               "and choose it again.";
    };
    struct Case {
        std::filesystem::path file;
        int row, column;
        CellOutcome expected;
    };
    const auto savedXlsx = CutSheetFixture("formulas_saved.xlsx");
    const auto savedOds = CutSheetFixture("formulas_saved.ods");
    const auto openpyxl = CutSheetFixture("formulas_unsaved.xlsx");
    const std::vector<Case> cases = {
        {savedXlsx, 2, 1, {"40123", ""}},  // a number
        {savedXlsx, 2, 10, {"40123551007323", ""}},  // t="str"
        {savedXlsx, 8, 2, {"TRUE", ""}},  // t="b"
        {savedXlsx, 8, 3, {"", "cell C8 holds the error value #N/A"}},
        {savedOds, 2, 1, {"40123", ""}},
        {savedOds, 2, 10, {"40123551007323", ""}},
        {savedOds, 2, 12, {"24", ""}},
        {savedOds, 8, 2, {"TRUE", ""}},
        {openpyxl, 2, 1, {"", unsaved(openpyxl, "A2")}},  // an empty <v>
        {openpyxl, 3, 10, {"", unsaved(openpyxl, "J3")}},
        {openpyxl, 3, 9, {"45% WOOL", ""}},  // the row's other cells still read
        {unsavedOds, 1, 1, {"", unsaved(unsavedOds, "A1")}},  // no value type
        {unsavedOds, 1, 2, {"", unsaved(unsavedOds, "B1")}},  // a number type without the number
        {unsavedOds, 1, 3, {"", ""}},  // a saved empty text
        {xlsx, 1, 1, {"", ""}},  // Excel's saved empty text: t="str" and an empty <v>
        {xlsx, 1, 2, {"", unsaved(xlsx, "B1")}},
        {xlsx, 1, 3, {"", unsaved(xlsx, "C1")}},
        {xlsx, 1, 4, {"", unsaved(xlsx, "D1")}},
        {xlsx, 1, 5, {"2", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.filename().string() + " " + CellName(c.row, c.column));
        const CellOutcome got = ReadCell(c.file, c.row, c.column);
        EXPECT_EQ(got.text, c.expected.text);
        if (c.expected.refusal.empty()) EXPECT_EQ(got.refusal, "");
        else EXPECT_NE(got.refusal.find(c.expected.refusal), std::string::npos) << got.refusal;
    }
    // A formula without a result in column 1 is refused, it does not end the list.
    auto imported = ImportCutSheet(openpyxl, "2", "");
    ASSERT_FALSE(imported.has_value());
    EXPECT_EQ(imported.error().text, unsaved(openpyxl, "A2"));
}

TEST(Spreadsheets, HostileSheetsAreRefusedNamingWhatIsWrong) {
    TempFolder folder;
    const std::string x32767(32767, 'x');
    const std::string x32768(32768, 'x');
    std::string e32767;
    for (int i = 0; i < 32767; ++i) e32767 += "\xC3\x89";
    const std::string tooLong = "cell B2 holds more than 32,767 characters, more than a spreadsheet cell can";
    const std::string pastRows = "past the last row a sheet can have (1,048,576)";
    const std::string pastColumns = "past the last column a sheet can have (XFD)";
    auto inlineRow = [](int row, const std::string& text) {
        const std::string r = std::to_string(row);
        return "<row r=\"" + r + "\"><c r=\"A" + r + "\"><v>1</v></c><c r=\"B" + r + "\" t=\"inlineStr\"><is><t>" +
               text + "</t></is></c></row>";
    };
    auto odsCell = [](const std::string& attributes, const std::string& inside) {
        return "<table:table-cell " + attributes + ">" + inside + "</table:table-cell>";
    };
    struct Case {
        const char* name;
        std::string bytes;
        int row, column;
        CellOutcome expected;
    };
    const std::vector<Case> cases = {
        {"limit.csv", "h\n1," + x32767 + "\n", 2, 2, {x32767, ""}},
        {"over.csv", "h\n1," + x32768 + "\n", 2, 2, {"", tooLong}},
        {"characters.csv", "h\n1," + e32767 + "\n", 2, 2, {e32767, ""}},  // 65,534 bytes
        {"huge.csv", "h\n1,\"" + std::string(300000, 'y') + "\"\n2,z\n", 2, 2, {"", tooLong}},
        {"huge_after.csv", "h\n1,\"" + std::string(300000, 'y') + "\"\n2,z\n", 3, 2, {"z", ""}},
        {"column14.csv", "h\n1,,,,,,,,,,,,," + std::string(300000, 'y') + "\n", 2, 1, {"1", ""}},
        {"limit.xlsx", Xlsx(inlineRow(2, x32767)), 2, 2, {x32767, ""}},
        {"over.xlsx", Xlsx(inlineRow(2, x32768)), 2, 2, {"", tooLong}},
        {"shared.xlsx",
         Xlsx("<row r=\"2\"><c r=\"B2\" t=\"s\"><v>1</v></c></row>", "<si><t>a</t></si><si><t>" + x32768 + "</t></si>"),
         2,
         2,
         {"", tooLong}},
        {"row_overflow.xlsx",
         Xlsx("<row r=\"2147483647\"><c><v>1</v></c></row><row><c><v>2</v></c></row>"),
         1,
         1,
         {"", "naming row 2147483647, " + pastRows}},
        {"row_beyond.xlsx",
         Xlsx("<row r=\"1048577\"><c><v>1</v></c></row>"),
         1,
         1,
         {"", "naming row 1048577, " + pastRows}},
        {"last_row.xlsx", Xlsx("<row r=\"1048576\"><c r=\"A1048576\"><v>5</v></c></row>"), 1048576, 1, {"5", ""}},
        {"column_beyond.xlsx",
         Xlsx("<row r=\"1\"><c r=\"XFE1\"><v>1</v></c></row>"),
         1,
         1,
         {"", "cells in row 1 " + pastColumns}},
        {"xfd_every_row.xlsx",
         Xlsx(inlineRow(1, "a") + "<row r=\"2\"><c r=\"A2\"><v>7</v></c><c r=\"XFD2\"><v>1</v></c></row>"),
         2,
         1,
         {"7", ""}},
        {"rows_backwards.xlsx", Xlsx(inlineRow(3, "a") + inlineRow(2, "b")), 3, 1, {"", "row 2 after row 3"}},
        {"huge_tag.xlsx",
         Xlsx("<row r=\"1\"><c r=\"A1\" t=\"" + std::string(5 << 20, 't') + "\"><v>1</v></c></row>"),
         1,
         1,
         {"", "a piece of XML longer than 4 MB"}},
        {"spaces.ods",
         Ods("<table:table-row>" + odsCell("", "<text:p>a<text:s text:c=\"2000000000\"/></text:p>") +
             "</table:table-row>"),
         1,
         1,
         {"", "cell A1 holds more than 32,767 characters"}},
        {"spaces_ok.ods",
         Ods("<table:table-row>" + odsCell("", "<text:p>a<text:s text:c=\"3\"/>b</text:p>") + "</table:table-row>"),
         1,
         1,
         {"a   b", ""}},
        {"rows_repeated.ods",
         Ods("<table:table-row table:number-rows-repeated=\"2147483647\">" +
             odsCell("office:value-type=\"float\" office:value=\"1\"", "") + "</table:table-row>"),
         1,
         1,
         {"", "a repeat count running " + pastRows}},
        {"columns_repeated.ods",
         Ods("<table:table-row>" + odsCell("table:number-columns-repeated=\"2147483647\"", "") + "</table:table-row>"),
         1,
         1,
         {"", "cells in row 1 " + pastColumns}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CellOutcome got = ReadCell(folder.Write(c.name, c.bytes), c.row, c.column);
        EXPECT_TRUE(got.text == c.expected.text) << got.text.size() << " characters, not " << c.expected.text.size();
        if (c.expected.refusal.empty()) EXPECT_EQ(got.refusal, "");
        else EXPECT_NE(got.refusal.find(c.expected.refusal), std::string::npos) << got.refusal;
    }
}

TEST(Spreadsheets, FileExistsOnlyForRegularFiles) {
    TempFolder folder;
    const auto file = folder.Write("cuts.csv", "a\n");
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FileExists(folder.path()));
    EXPECT_FALSE(FileExists(folder.path() / "missing.csv"));
    EXPECT_FALSE(FileExists(""));
    std::filesystem::create_symlink(file, folder.path() / "link.csv");
    EXPECT_TRUE(FileExists(folder.path() / "link.csv"));
}

}  // namespace
}  // namespace tarnwick
