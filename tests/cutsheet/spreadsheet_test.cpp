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
    {"40125", "5530", "123", "36", "29", "SHORT", "MICROFIBER", "100% POLYESTER", "", "40125553012336",
     "CAF\xC3\x89", "6", "WB3"},
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
        EXPECT_EQ((std::vector<std::string>{c.WIP, c.Style, c.Waist, c.Length, c.LengthDesc, c.Text1, c.Text2, c.Text3,
                                            c.Barcode, c.MadeIn.value_or("?"), c.Qty, c.Stock}),
                  (std::vector<std::string>{r[0], r[1], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12]}));
    }
    auto beyond = ReadCutAt(file, 5, "", RowTest::MustHoldCut);
    ASSERT_TRUE(beyond.has_value()) << beyond.error().text;
    EXPECT_FALSE(beyond->has_value());
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
    EXPECT_EQ(std::get<double>(*s.Cell(2, 1)), 40123);                     // number
    EXPECT_EQ(std::get<double>(*s.Cell(2, 3)), 7);                         // cached formula result
    EXPECT_EQ(std::get<std::string>(*s.Cell(2, 7)), "POLY COTTON WOVEN");  // rich text runs, no phonetic text
    EXPECT_EQ(std::get<std::string>(*s.Cell(2, 10)), "40123551007323");    // formula giving a text
    EXPECT_EQ(std::get<double>(*s.Cell(2, 12)), 24);                       // 2.4E1
    EXPECT_EQ(std::get<std::string>(*s.Cell(3, 6)), "LONG");               // inline rich text
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(5, 1)));    // styled but empty
    EXPECT_EQ(std::get<std::string>(*s.Cell(6, 2)), "TRUE");               // boolean
    EXPECT_EQ(std::get<std::string>(*s.Cell(8, 2)), "a\rb");               // _x000D_ escape
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(7, 1)));    // row not written
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(2, 14)));   // past the last column
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
    EXPECT_EQ(std::get<double>(*s.Cell(1, 1)), 7);            // saved formula result
    EXPECT_EQ(std::get<std::string>(*s.Cell(1, 2)), "XY");    // saved text result
    EXPECT_EQ(std::get<std::string>(*s.Cell(1, 3)), "FALSE");
    EXPECT_EQ(std::get<double>(*s.Cell(1, 4)), 0.25);
    for (int row = 2; row <= 4; ++row) {
        EXPECT_EQ(std::get<double>(*s.Cell(row, 1)), 12) << row;  // repeated rows and columns
        EXPECT_EQ(std::get<double>(*s.Cell(row, 2)), 12) << row;
        EXPECT_EQ(std::get<std::string>(*s.Cell(row, 3)), "after") << row;
    }
    EXPECT_EQ(std::get<std::string>(*s.Cell(5, 1)), "A   B");
    EXPECT_EQ(std::get<std::string>(*s.Cell(5, 2)), "line one\nline two");  // the note is not cell text
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*s.Cell(5, 3)));      // covered by a merge
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
    // A zip holding one small stored entry, built by hand.
    auto storedZip = [](const std::string& entry, const std::string& content) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (unsigned char byte : content) {
            crc ^= byte;
            for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        crc = ~crc;
        auto putCrc = [crc](std::string& header, std::size_t at) {
            for (int k = 0; k < 4; ++k) header[at + k] = static_cast<char>((crc >> (8 * k)) & 0xFF);
        };
        std::string local = std::string("PK\x03\x04", 4) + std::string(22, '\0') + std::string(4, '\0') + entry + content;
        local[18] = local[22] = static_cast<char>(content.size());
        local[26] = static_cast<char>(entry.size());
        putCrc(local, 14);
        std::string central = std::string("PK\x01\x02", 4) + std::string(42, '\0') + entry;
        putCrc(central, 16);
        central[20] = central[24] = static_cast<char>(content.size());
        central[28] = static_cast<char>(entry.size());
        std::string end = std::string("PK\x05\x06", 4) + std::string(18, '\0');
        end[8] = end[10] = 1;
        end[12] = static_cast<char>(central.size());
        end[16] = static_cast<char>(local.size());
        return local + central + end;
    };
    const std::vector<Case> cases = {
        {"damaged.xlsx", std::string("PK\x03\x04", 4) + "not really a zip", "damaged"},
        {"letter.odt", storedZip("mimetype", "application/vnd.oasis.opendocument.text"), "not a spreadsheet"},
        {"plain.zip", storedZip("readme.txt", "hello"), "not a spreadsheet"},
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
