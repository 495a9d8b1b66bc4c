#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cutsheet/cut_sheet.h"
#include "base/failure.h"
#include "labels/label_job.h"
#include "labels/print_request.h"

namespace tarnwick {

// Rows are 16-bit in the window; nothing past this row is listed or loaded.
inline constexpr int kLastCutRow = 32767;

// The text every rule works on: a number in its ordinary decimal text, an empty cell
// as "", then leading and trailing blanks removed.
// An error value in the cell is refused, naming the file and the cell.
std::expected<std::string, Failure> CellText(CutSheet& sheet, int row, int column);

// The same text, but an error value is shown as its text (#N/A): for looking at a sheet.
std::expected<std::string, Failure> CellShownText(CutSheet& sheet, int row, int column);

// A cut selector entry: columns 1 to 6 joined by " - ", column 3 without the colour rule.
std::string CutEntryText(const std::array<std::string, 6>& columns);

struct CutEntry {
    int row;
    std::string text;
};

struct CutListing {
    std::vector<CutEntry> cuts;
    std::optional<Failure> notice;  // set when cuts run on past the last row a list can hold
};

// The cuts from firstRow down to the first row whose column 1 is empty.
std::expected<CutListing, Failure> ListCuts(CutSheet& sheet, int firstRow, const std::filesystem::path& file);

// One cut row, read whole before anything is changed with it.
struct CutRow : LabelFields {
    int row = 0;
    std::string Stock;  // column 13: shown by tarnwick-cli cut, never printed
    std::optional<std::string> MadeIn;  // read by the import only
    std::string QtyShown;  // Qty plus the leading number of ExtraQty
    std::string Entry;  // the row's cut selector entry
};

// The quantity box's text: the quantity, which must be a number, plus ExtraQty's
// leading number. The failure names the row and the text.
std::expected<std::string, Failure> QuantityShown(const std::string& qty, std::string_view extraQty, int row,
                                                  const std::filesystem::path& file);

// All thirteen columns, as the import reads its first cut, or all but column 11
// (country of origin), as a move reads a cut.
enum class CutColumns { All, WithoutMadeIn };

// Reads the columns of a row and applies the colour and quantity rules.
std::expected<CutRow, Failure> ReadCutRow(CutSheet& sheet, int row, std::string_view extraQty, CutColumns columns,
                                          const std::filesystem::path& file);

// Writes a row's values into the label job (MadeIn only when it was read).
void ApplyCutRow(const CutRow& cut, LabelJob& job);

// The row of the first cut: the leading number of StartRow, rounded half to even. A
// value outside 1..32767 is refused with a message naming config.txt.
std::expected<std::int16_t, Failure> FirstCutRow(std::string_view startRow);

// "The cut sheet has no cuts from row N."
Failure NoCutsFailure(int firstRow);

// For a caller that asked for one row by number and found column 1 empty there.
Failure NoCutInRowFailure(const std::filesystem::path& file, int row);

// What an import reads, all of it, before the window changes.
struct CutSheetImport {
    std::int16_t firstRow = 0;
    CutListing listing;
    CutRow first;
};

// The whole import: opens the file, lists the cuts, reads the first one, closes it.
std::expected<CutSheetImport, Failure> ImportCutSheet(const std::filesystem::path& file, std::string_view startRow,
                                                      std::string_view extraQty);

// Whether a move tests the row first: a row whose column 1 is empty is no cut.
enum class RowTest { None, MustHoldCut };

// A move: opens the file, reads the row and closes it. With RowTest::MustHoldCut a
// row whose column 1 is empty gives nullopt and nothing more is read.
std::expected<std::optional<CutRow>, Failure> ReadCutAt(const std::filesystem::path& file, int row,
                                                        std::string_view extraQty, RowTest test,
                                                        CutColumns columns = CutColumns::WithoutMadeIn);

}  // namespace tarnwick
