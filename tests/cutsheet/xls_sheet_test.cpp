#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"
#include "cutsheet/xls_sheet.h"
#include "temp_files.h"

namespace tarnwick {
namespace {

using testing::CutSheetFixture;
using testing::TempFolder;

std::string Bytes(const std::string& fixture) {
    std::ifstream in(CutSheetFixture(fixture), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string Le16(std::uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string Le32(std::uint32_t v) {
    return Le16(static_cast<std::uint16_t>(v)) + Le16(static_cast<std::uint16_t>(v >> 16));
}
std::uint32_t Get32(const std::string& b, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
void Put32(std::string& b, std::size_t at, std::uint32_t v) { b.replace(at, 4, Le32(v)); }

std::string Rec(std::uint16_t type, const std::string& data) {
    return Le16(type) + Le16(static_cast<std::uint16_t>(data.size())) + data;
}
std::string Bof(std::uint16_t version, std::uint16_t kind) {
    return Rec(0x0809, Le16(version) + Le16(kind) + std::string(12, '\0'));
}
std::string Cell(std::uint16_t row, std::uint16_t column) { return Le16(row) + Le16(column) + Le16(15); }
std::string Label(std::uint16_t row, std::uint16_t column, const std::string& latin1) {
    return Rec(0x0204, Cell(row, column) + Le16(static_cast<std::uint16_t>(latin1.size())) + '\0' + latin1);
}
const std::string kEof = Rec(0x000A, "");

// A bare BIFF8 stream: globals, one sheet named in a BOUNDSHEET, the sheet's records.
std::string Book(const std::string& globals, const std::string& sheet, bool sheetEnds = true,
                 std::uint8_t sheetType = 0) {
    auto bound = [&](std::uint32_t at) { return Rec(0x0085, Le32(at) + '\0' + char(sheetType) + "\x01\x00S"); };
    const std::string head = Bof(0x0600, 5) + globals;
    const std::size_t at = head.size() + bound(0).size() + kEof.size();
    return head + bound(static_cast<std::uint32_t>(at)) + kEof + Bof(0x0600, 0x10) + sheet + (sheetEnds ? kEof : "");
}

std::string Sst(const std::string& strings, std::uint32_t count) {
    return Rec(0x00FC, Le32(count) + Le32(count) + strings);
}

// What a cell reads as, and what the cut rules make of it: the shown text, or for an
// error value the cut rules' refusal.
struct CellCase {
    const char* file;
    int row, column;
    std::string shown;
};

TEST(XlsSheet, CellsReadAsTheCutRulesSeeThem) {
    const std::vector<CellCase> cases = {
        {"xls_cell_kinds.xls", 1, 1, "5510"},
        {"xls_cell_kinds.xls", 1, 2, "POLY COTTON WOVEN"},  // rich-text runs skipped
        {"xls_cell_kinds.xls", 1, 3, "LONG"},  // phonetic data skipped
        {"xls_cell_kinds.xls", 1, 4, "SPLIT \xE2\x82\xACURO"},  // 8 bits, CONTINUE, then 16 bits
        {"xls_cell_kinds.xls", 1, 5,
         "\xC2\x80\xC2\x9F\xC3\x89"
         "A"},  // 8-bit BIFF8 text is Latin-1, not 1252
        {"xls_cell_kinds.xls", 1, 6, "\xF0\x9F\x98\x80 \xEF\xBF\xBDx"},  // a surrogate pair; a lone one
        {"xls_cell_kinds.xls", 1, 7, "RUN"},  // runs continued in the next record
        {"xls_cell_kinds.xls", 1, 8, "HEAD"},  // characters start in the next record
        {"xls_cell_kinds.xls", 1, 14, ""},  // column N is never read
        {"xls_cell_kinds.xls", 2, 1, "40123"},  // MULRK: whole number
        {"xls_cell_kinds.xls", 2, 2, "32.5"},  // hundredths
        {"xls_cell_kinds.xls", 2, 3, "0.25"},  // a shortened double
        {"xls_cell_kinds.xls", 2, 4, "-7"},
        {"xls_cell_kinds.xls", 2, 5, "123.45"},
        {"xls_cell_kinds.xls", 2, 6, "24"},  // RK
        {"xls_cell_kinds.xls", 2, 7, "3.14159"},  // NUMBER
        {"xls_cell_kinds.xls", 2, 8, ""},  // BLANK
        {"xls_cell_kinds.xls", 2, 10, ""},  // MULBLANK
        {"xls_cell_kinds.xls", 3, 1, "TRUE"},
        {"xls_cell_kinds.xls", 3, 2, "FALSE"},
        {"xls_cell_kinds.xls", 3, 3, "#DIV/0!"},
        {"xls_cell_kinds.xls", 3, 4, "#N/A"},
        {"xls_cell_kinds.xls", 3, 5, "#NULL!"},
        {"xls_cell_kinds.xls", 3, 6, "#VALUE!"},
        {"xls_cell_kinds.xls", 3, 7, "#REF!"},
        {"xls_cell_kinds.xls", 3, 8, "#NAME?"},
        {"xls_cell_kinds.xls", 3, 9, "#NUM!"},
        {"xls_cell_kinds.xls", 4, 1, "40123"},  // formula: number
        {"xls_cell_kinds.xls", 4, 2, "40123551007323"},  // text, from STRING
        {"xls_cell_kinds.xls", 4, 3, "TRUE"},  // boolean
        {"xls_cell_kinds.xls", 4, 4, "#VALUE!"},  // error value
        {"xls_cell_kinds.xls", 4, 5, ""},  // empty text
        {"xls_cell_kinds.xls", 4, 6,
         "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"
         "ABC"},  // STRING split by CONTINUE
        {"xls_cell_kinds.xls", 4, 7, "SHARED"},  // STRING after SHRFMLA
        {"xls_cell_kinds.xls", 5, 1, "LABEL \xE2\x82\xAC"},
        {"xls_cell_kinds.xls", 5, 2, ""},  // a number inside an embedded chart
        {"xls_cell_kinds.xls", 5, 3, "5"},
        {"xls_cell_kinds.xls", 65536, 1, "SPLIT \xE2\x82\xACURO"},
        {"xls_cell_kinds.xls", 65537, 1, ""},
        {"xls_biff5.xls", 1, 1, "PLAIN"},
        {"xls_biff5.xls", 1, 2, "CAF\xC3\x89 \xE2\x82\xAC"},  // code page 1252
        {"xls_biff5.xls", 1, 3, "RICH"},  // RSTRING
        {"xls_biff5.xls", 1, 4, "\xC3\xA0\xC3\xA1\xC3\xA2"},  // formula text result
        {"xls_biff5.xls", 1, 5, "12"},
        {"xls_biff5_cp1251.xls", 1, 1, "PLAIN"},  // plain ASCII reads in any code page
        {"xls_biff5_cp1251.xls", 1, 5, "12"},
    };
    // The same workbook from gnumeric, BIFF8 and BIFF5: results saved by formulas.
    std::vector<CellCase> all = cases;
    for (const char* file : {"formulas_saved.xls", "formulas_saved_biff5.xls"}) {
        for (const CellCase& c : std::vector<CellCase>{{file, 2, 1, "40123"},
                                                       {file, 2, 4, "32"},
                                                       {file, 2, 10, "40123551007323"},
                                                       {file, 2, 12, "24"},
                                                       {file, 3, 1, "004512"},
                                                       {file, 3, 10, "00451255201234"},
                                                       {file, 4, 11, "CAF\xC3\x89"},
                                                       {file, 8, 1, "#DIV/0!"},
                                                       {file, 8, 2, "TRUE"},
                                                       {file, 8, 3, "#N/A"},
                                                       {file, 8, 4, "45352"},  // 2024-03-01 as its serial
                                                       {file, 8, 5, ""}})
            all.push_back(c);
    }
    for (const CellCase& c : all) {
        SCOPED_TRACE(std::string(c.file) + " " + CellName(c.row, c.column));
        auto sheet = OpenCutSheet(CutSheetFixture(c.file));
        ASSERT_TRUE(sheet.has_value()) << sheet.error().text;
        auto shown = CellShownText(**sheet, c.row, c.column);
        ASSERT_TRUE(shown.has_value()) << shown.error().text;
        EXPECT_EQ(*shown, c.shown);
        auto text = CellText(**sheet, c.row, c.column);
        if (c.shown.starts_with('#')) {
            ASSERT_FALSE(text.has_value());
            EXPECT_NE(text.error().text.find(CellName(c.row, c.column) + " holds the error value " + c.shown),
                      std::string::npos)
                << text.error().text;
        } else {
            ASSERT_TRUE(text.has_value()) << text.error().text;
            EXPECT_EQ(*text, c.shown);
        }
    }
}

// The whole message, for the refusals an operator meets; a word or two for damage.
struct Refusal {
    const char* name;
    std::string bytes;
    std::string words;  // the problem, between "cannot be read: " and the advice
};

std::string Damage(const std::string& fixture, void (*patch)(std::string&)) {
    std::string b = Bytes(fixture);
    patch(b);
    return b;
}

// Offsets of a compound file's parts, from its header.
std::size_t FatAt(const std::string& b) { return (Get32(b, 0x4C) + 1) * 512; }
std::size_t DirectoryAt(const std::string& b) { return (Get32(b, 0x30) + 1) * 512; }
std::size_t EntryAt(const std::string& b, const char* name) {
    std::string utf16;
    for (const char* p = name; *p; ++p) utf16 += std::string{*p, '\0'};
    return b.find(utf16);
}

TEST(XlsSheet, DamagedAndUnreadableWorkbooksAreRefused) {
    const std::string book = Book("", Label(0, 0, "A"));
    const std::vector<Refusal> cases = {
        {"encrypted", Bytes("xls_encrypted.xls"), "it is encrypted with a password; remove the password first"},
        {"excel 4", Bytes("xls_excel4.xls"), "it is an Excel 2, 3 or 4 workbook, which Tarnwick does not read"},
        {"excel 4 version in the header", Bof(0x0400, 5) + kEof,
         "it is an Excel 2, 3 or 4 workbook, which Tarnwick does not read"},
        {"chart sheet only", Book("", "", true, 2), "it has no worksheet"},
        {"word document", Damage("xls_cell_kinds.xls", [](std::string& b) { b[EntryAt(b, "Workbook")] = 'X'; }),
         "it is an Office file without an Excel workbook in it, perhaps a Word document"},
        {"encrypted xlsx",
         Damage("xls_cell_kinds.xls",
                [](std::string& b) {
                    const std::size_t at = EntryAt(b, "Workbook");
                    std::string name;
                    for (char c : std::string("EncryptedPackage")) name += std::string{c, '\0'};
                    b.replace(at, name.size(), name);
                    b[at + 0x40] = static_cast<char>(name.size() + 2);
                }),
         "it is an xlsx workbook encrypted with a password; remove the password first"},
        {"no container", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE0", 8) + std::string(600, '\0'),
         "it is not an xls workbook"},
        {"header", Damage("xls_cell_kinds.xls", [](std::string& b) { b[0x1E] = 20; }),
         "the xls file is damaged (its header is damaged)"},
        {"sector table too large", Damage("xls_cell_kinds.xls", [](std::string& b) { Put32(b, 0x2C, 0xFFFFFFFF); }),
         "the xls file is damaged (its sector table is larger than the file)"},
        {"directory loop",
         Damage("xls_cell_kinds.xls", [](std::string& b) { Put32(b, FatAt(b) + 4 * Get32(b, 0x30), Get32(b, 0x30)); }),
         "the xls file is damaged (the directory runs in a loop)"},
        {"directory outside",
         Damage("xls_cell_kinds.xls", [](std::string& b) { Put32(b, FatAt(b) + 4 * Get32(b, 0x30), 0x00FFFFFF); }),
         "the xls file is damaged (the directory runs outside the file)"},
        {"directory tree loop",
         Damage("xls_cell_kinds.xls", [](std::string& b) { Put32(b, DirectoryAt(b) + 128 + 0x44, 1); }),
         "the xls file is damaged (its directory runs in a loop)"},
        {"mini stream loop",
         Damage("xls_cell_kinds.xls", [](std::string& b) { Put32(b, (Get32(b, 0x3C) + 1) * 512 + 4, 1); }),
         "the xls file is damaged (the Workbook stream runs in a loop)"},
        {"stream larger than the file",
         Damage("xls_cell_kinds.xls", [](std::string& b) { Put32(b, EntryAt(b, "Workbook") + 0x78, 0x7FFFFFFF); }),
         "the xls file is damaged (the Workbook stream is larger than the file)"},
        {"regular stream loop",  // gnumeric's file keeps its workbook in regular sectors
         Damage("formulas_saved.xls",
                [](std::string& b) {
                    const std::uint32_t start = Get32(b, EntryAt(b, "Workbook") + 0x74);
                    Put32(b, FatAt(b) + 4 * start, start);
                }),
         "the xls file is damaged (the Workbook stream runs in a loop)"},
        {"cut short", Bytes("formulas_saved.xls").substr(0, 3000),
         "the xls file is damaged (its sector table points outside the file)"},
        {"record cut short", Book("", Label(0, 0, "A"), false) + "\x03\x02\x00",
         "the xls file is damaged (its last record is cut short)"},
        {"record longer than the rest", book.substr(0, book.size() - 6),
         "the xls file is damaged (a record runs past the end of the workbook)"},
        {"globals without end", Bof(0x0600, 5) + Rec(0x0042, Le16(1200)),
         "the xls file is damaged (its workbook globals have no end)"},
        {"sheet outside", Bof(0x0600, 5) + Rec(0x0085, Le32(5000) + std::string("\0\0\x01\x00S", 5)) + kEof,
         "the xls file is damaged (its first worksheet lies outside the workbook)"},
        {"sheet without end", Book("", Label(0, 0, "A"), false),
         "the xls file is damaged (its first worksheet has no end)"},
        {"shared string longer than its record", Book(Sst(Le16(50) + '\0' + "short", 1), ""),
         "the xls file is damaged (its shared strings are damaged)"},
        {"phonetic data past the end", Book(Sst(Le16(1) + '\x04' + Le32(0x7FFFFFFF) + "x", 1), ""),
         "the xls file is damaged (its shared strings are damaged)"},
        {"short number", Book("", Rec(0x0203, Cell(1, 2) + "1234")),
         "the xls file is damaged (the record of cell C2 is too short)"},
        {"label longer than its record", Book("", Rec(0x0204, Cell(0, 0) + Le16(9) + '\0' + "AB")),
         "the xls file is damaged (the text of cell A1 is damaged)"},
    };
    TempFolder folder;
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = folder.Write("sheet.xls", c.bytes);
        auto sheet = OpenXlsSheet(file);
        ASSERT_FALSE(sheet.has_value());
        EXPECT_EQ(sheet.error().text,
                  "The cut sheet " + file.string() + " cannot be read: " + c.words +
                      ". Open it in the spreadsheet program, save it as xlsx and choose that file.");
        EXPECT_EQ(sheet.error().icon, MessageIcon::Critical);
        auto fromBytes = OpenXlsSheetFromBytes(c.bytes, file);
        ASSERT_FALSE(fromBytes.has_value());
        EXPECT_EQ(fromBytes.error().text, sheet.error().text);
        auto sniffed = OpenCutSheet(file);  // a wrong signature is no xls, so it is no cut sheet at all
        ASSERT_FALSE(sniffed.has_value());
        if (std::string_view(c.name) != "no container") {
            EXPECT_EQ(sniffed.error().text, sheet.error().text);
        }
    }
}

// Cells that open fine but are refused when read: the rest of the sheet stays readable.
TEST(XlsSheet, UnreadableCellsAreRefusedNamingTheCell) {
    const std::string longText(32768, 'x');
    const std::string book =
        Book(Sst(Le16(2) + '\0' + "ok", 1),
             Rec(0x00FD, Cell(0, 0) + Le32(0)) + Rec(0x00FD, Cell(0, 1) + Le32(1)) + Label(0, 2, longText) +
                 Label(0, 3, longText.substr(1)) +
                 Rec(0x0006, Cell(0, 4) + std::string("\0\0\0\0\0\0\xFF\xFF", 8) + std::string(8, '\0')) +
                 Label(0, 5, "after") + Rec(0x0203, Cell(0, 6) + std::string("\0\0\0\0\0\0\xF0\x7F", 8)));
    auto sheet = OpenXlsSheetFromBytes(book, "sheet.xls");
    ASSERT_TRUE(sheet.has_value()) << sheet.error().text;
    const std::vector<std::pair<int, std::string>> cases = {
        {2,
         "The cut sheet sheet.xls cannot be read: cell B1 refers to a shared string that is missing. Open it in "
         "the spreadsheet program, save it as xlsx and choose that file."},
        {3,
         "The cut sheet sheet.xls cannot be read: cell C1 holds more than 32,767 characters, more than a "
         "spreadsheet cell can. Check the file, or save it again from the spreadsheet program, and try again."},
        {5,
         "The cut sheet sheet.xls cannot be read: cell E1 holds a formula whose result was never saved. Open the "
         "sheet in a spreadsheet program, save it, and choose it again."},
        {7,
         "The cut sheet sheet.xls cannot be read: cell G1 holds an invalid number (infinite or not a number). Open "
         "it in the spreadsheet program, save it as xlsx and choose that file."},
    };
    for (const auto& [column, message] : cases) {
        auto text = CellText(**sheet, 1, column);
        ASSERT_FALSE(text.has_value()) << column;
        EXPECT_EQ(text.error().text, message);
    }
    EXPECT_EQ(CellText(**sheet, 1, 1).value_or("?"), "ok");
    EXPECT_EQ(CellText(**sheet, 1, 4).value_or("?").size(), 32767u);
    EXPECT_EQ(CellText(**sheet, 1, 6).value_or("?"), "after");
}

// Excel 5/95 text in the workbook's code page, one workbook per family of code pages
// (make_xls_fixtures.py); a code page the C library does not know is refused.
TEST(XlsSheet, Excel95TextIsReadInItsCodePage) {
    const struct {
        const char* file;
        std::string b1;  // empty: refused
    } cases[] = {
        {"xls_biff5_cp1251.xls", "CAF\u0419 \u0402"},
        {"xls_biff5_cp932.xls", "東京 ｶﾞｰﾄﾞ"},
        {"xls_biff5_cp936.xls", "棉 裤"},
        {"xls_biff5_cp949.xls", "면 바지"},
        {"xls_biff5_cp950.xls", "棉褲"},
        {"xls_biff5_cp1250.xls", "Łódź"},
        {"xls_biff5_cp1253.xls", "Αθήνα"},
        {"xls_biff5_cp874.xls", "ผ้าฝ้าย"},
        {"xls_biff5_cp10000.xls", "Café ƒ"},
        {"xls_biff5_cp3.xls", ""},
    };
    for (const auto& c : cases) {
        auto sheet = OpenCutSheet(CutSheetFixture(c.file));
        ASSERT_TRUE(sheet.has_value()) << c.file << ": " << sheet.error().text;
        const auto text = CellText(**sheet, 1, 2);
        if (c.b1.empty()) {
            ASSERT_FALSE(text.has_value()) << c.file;
            EXPECT_NE(text.error().text.find("cell B1 holds text in code page 3, which Tarnwick cannot read"),
                      std::string::npos)
                << text.error().text;
        } else {
            EXPECT_EQ(text.value_or("refused: " + (text ? "" : text.error().text)), c.b1) << c.file;
        }
    }
}

// The first sheet is read, hidden or not, as the old system read it; the import says so.
TEST(XlsSheet, HiddenFirstSheetIsReadAndNamed) {
    const auto file = CutSheetFixture("xls_hidden_first.xls");
    auto sheet = OpenCutSheet(file);
    ASSERT_TRUE(sheet.has_value()) << sheet.error().text;
    EXPECT_EQ((*sheet)->HiddenSheet().value_or("shown"), "Old cuts");
    const auto listing = ListCuts(**sheet, 2, file);
    ASSERT_TRUE(listing.has_value()) << listing.error().text;
    ASSERT_EQ(listing->cuts.size(), 1u);
    EXPECT_EQ(listing->cuts[0].text.substr(0, 4), "4012");
    ASSERT_TRUE(listing->notice.has_value());
    EXPECT_EQ(listing->notice->text, "The cuts were read from the first sheet of " + file.string() +
                                         ", \"Old cuts\", which the workbook hides: the spreadsheet program shows "
                                         "another sheet. Check that these are the cuts meant.");
    auto shown = OpenCutSheet(CutSheetFixture("xls_cell_kinds.xls"));
    ASSERT_TRUE(shown.has_value());
    EXPECT_FALSE((*shown)->HiddenSheet().has_value());
}

}  // namespace
}  // namespace tarnwick
