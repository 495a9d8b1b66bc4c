#include "cutsheet/cut_rows.h"

#include "labels/print_request.h"

#include <charconv>
#include <cmath>

#include "base/numbers.h"

namespace tarnwick {
namespace {

std::string Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// FormatNumber, with whole numbers (nearly every number on a cut sheet) done without
// printf: a full sheet holds some hundred thousand of them.
std::string NumberText(double value) {
    if (std::trunc(value) == value && std::fabs(value) < 1e15) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<long long>(value)).ptr;
        return std::string(digits, end);
    }
    return FormatNumber(value);
}

std::string ShownText(const CellValue& cell) {
    if (const double* number = std::get_if<double>(&cell)) return NumberText(*number);
    if (const std::string* text = std::get_if<std::string>(&cell)) return Trimmed(*text);
    if (const CellError* error = std::get_if<CellError>(&cell)) return Trimmed(error->text);
    return {};
}

}  // namespace

std::expected<std::string, Failure> CellText(CutSheet& sheet, int row, int column) {
    auto cell = sheet.Cell(row, column);
    if (!cell) return std::unexpected(cell.error());
    if (const CellError* error = std::get_if<CellError>(&*cell))
        return std::unexpected(
            ReadFailure(sheet.File(), "cell " + CellName(row, column) + " holds the error value " + error->text));
    return ShownText(*cell);
}

std::expected<std::string, Failure> CellShownText(CutSheet& sheet, int row, int column) {
    auto cell = sheet.Cell(row, column);
    if (!cell) return std::unexpected(cell.error());
    return ShownText(*cell);
}

std::string CutEntryText(const std::array<std::string, 6>& columns) {
    std::string entry = columns[0];
    for (std::size_t i = 1; i < columns.size(); ++i) entry += " - " + columns[i];
    return entry;
}

std::expected<CutListing, Failure> ListCuts(CutSheet& sheet, int firstRow, const std::filesystem::path& file) {
    CutListing listing;
    int row = firstRow;
    for (; row <= kLastCutRow; ++row) {
        auto wip = CellText(sheet, row, 1);
        if (!wip) return std::unexpected(wip.error());
        if (wip->empty()) break;
        std::array<std::string, 6> columns{std::move(*wip)};
        for (int column = 2; column <= 6; ++column) {
            auto text = CellText(sheet, row, column);
            if (!text) return std::unexpected(text.error());
            columns[column - 1] = std::move(*text);
        }
        listing.cuts.push_back({row, CutEntryText(columns)});
    }
    if (row > kLastCutRow) {
        auto beyond = CellText(sheet, kLastCutRow + 1, 1);
        if (!beyond) return std::unexpected(beyond.error());
        if (!beyond->empty()) {
            listing.notice =
                Failure{"The cut sheet " + file.string() + " has cuts below row " + std::to_string(kLastCutRow) +
                            ". Only the cuts up to row " + std::to_string(kLastCutRow) +
                            " are listed; split the sheet to reach the rest.",
                        "Tarnwick", MessageIcon::Information};
        }
    }
    // As the old system did, the workbook's first sheet is read even when hidden; the
    // operator, who sees another sheet in the spreadsheet program, is told which.
    if (const auto& hidden = sheet.HiddenSheet()) {
        const std::string said = "The cuts were read from the first sheet of " + file.string() + ", \"" + *hidden +
                                 "\", which the workbook hides: the spreadsheet program shows another sheet. "
                                 "Check that these are the cuts meant.";
        if (listing.notice) listing.notice->text += "\n\n" + said;
        else listing.notice = Failure{said, "Tarnwick", MessageIcon::Information};
    }
    return listing;
}

std::expected<std::string, Failure> QuantityShown(const std::string& qty, std::string_view extraQty, int row,
                                                  const std::filesystem::path& file) {
    if (!IsWholeNumberText(qty)) {
        const std::string what = qty.empty() ? "no quantity" : "the quantity " + Quoted(qty);
        return std::unexpected(Failure{"Row " + std::to_string(row) + " of the cut sheet " + file.string() + " has " +
                                           what +
                                           " in column L, which must be a number. Correct the cut sheet and try again.",
                                       "Tarnwick", MessageIcon::Information});
    }
    return FormatNumber(LeadingNumber(qty) + LeadingNumber(extraQty));
}

std::expected<CutRow, Failure> ReadCutRow(CutSheet& sheet, int row, std::string_view extraQty, CutColumns columns,
                                          const std::filesystem::path& file) {
    CutRow cut;
    cut.row = row;
    std::string* const fields[] = {&cut.WIP,        &cut.Style, &cut.Color, &cut.Waist, &cut.Length,
                                   &cut.LengthDesc, &cut.Text1, &cut.Text2, &cut.Text3, &cut.Barcode,
                                   nullptr,         &cut.Qty,   &cut.Stock};
    for (int column = 1; column <= 13; ++column) {
        if (column == 11 && columns == CutColumns::WithoutMadeIn) continue;
        auto text = CellText(sheet, row, column);
        if (!text) return std::unexpected(text.error());
        if (column == 11) cut.MadeIn = std::move(*text);
        else *fields[column - 1] = std::move(*text);
    }
    cut.Entry = CutEntryText({cut.WIP, cut.Style, cut.Color, cut.Waist, cut.Length, cut.LengthDesc});
    cut.Color = ColorRule(cut.Color);
    auto shown = QuantityShown(cut.Qty, extraQty, row, file);
    if (!shown) return std::unexpected(shown.error());
    cut.QtyShown = std::move(*shown);
    return cut;
}

void ApplyCutRow(const CutRow& cut, LabelJob& job) {
    static_cast<LabelFields&>(job) = cut;
    if (cut.MadeIn) job.MadeIn = *cut.MadeIn;
}

std::expected<std::int16_t, Failure> FirstCutRow(std::string_view startRow) {
    const auto row = RoundToInt16(LeadingNumber(startRow));
    if (!row || *row < 1) {
        return std::unexpected(
            Failure{"StartRow in config.txt is \"" + std::string(startRow) +
                        "\", which is not a row of the cut sheet. Set it to the row of the first cut "
                        "(1 to 32767) in config.txt and start Tarnwick again.",
                    "Tarnwick", MessageIcon::Critical});
    }
    return *row;
}

Failure NoCutsFailure(int firstRow) {
    return Failure{"The cut sheet has no cuts from row " + std::to_string(firstRow) + ".", "Tarnwick",
                   MessageIcon::Information};
}

Failure NoCutInRowFailure(const std::filesystem::path& file, int row) {
    return Failure{
        "Row " + std::to_string(row) + " of the cut sheet " + file.string() + " holds no cut: its column 1 is empty.",
        "Tarnwick", MessageIcon::Information};
}

std::expected<CutSheetImport, Failure> ImportCutSheet(const std::filesystem::path& file, std::string_view startRow,
                                                      std::string_view extraQty) {
    auto firstRow = FirstCutRow(startRow);
    if (!firstRow) return std::unexpected(firstRow.error());
    auto sheet = OpenCutSheet(file);
    if (!sheet) return std::unexpected(sheet.error());
    auto listing = ListCuts(**sheet, *firstRow, file);
    if (!listing) return std::unexpected(listing.error());
    if (listing->cuts.empty()) return std::unexpected(NoCutsFailure(*firstRow));
    auto first = ReadCutRow(**sheet, *firstRow, extraQty, CutColumns::All, file);
    if (!first) return std::unexpected(first.error());
    return CutSheetImport{*firstRow, std::move(*listing), std::move(*first)};
}

std::expected<std::optional<CutRow>, Failure> ReadCutAt(const std::filesystem::path& file, int row,
                                                        std::string_view extraQty, RowTest test, CutColumns columns) {
    auto sheet = OpenCutSheet(file);
    if (!sheet) return std::unexpected(sheet.error());
    if (test == RowTest::MustHoldCut) {
        auto wip = CellText(**sheet, row, 1);
        if (!wip) return std::unexpected(wip.error());
        if (wip->empty()) return std::optional<CutRow>{};
    }
    auto cut = ReadCutRow(**sheet, row, extraQty, columns, file);
    if (!cut) return std::unexpected(cut.error());
    return std::optional<CutRow>{std::move(*cut)};
}

}  // namespace tarnwick
