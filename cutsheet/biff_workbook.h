#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "cutsheet/sheet_limits.h"

namespace tarnwick {

struct BiffCell {
    enum class Kind : std::uint8_t {
        Empty,
        Number,
        Text,  // text: index into the sheet's own texts
        Shared,  // text: index into the shared strings
        Boolean,  // number: 0 or 1
        Error,  // number: the error code
        MissingResult,  // a formula giving text, without the text
        ForeignText,  // 8-bit text in a code page we cannot read; number: the code page
    } kind = Kind::Empty;
    double number = 0;
    std::uint32_t text = 0;
};

// The first worksheet of an Excel 5, 95 or 97-2003 workbook, columns 1 to 13.
class BiffSheet {
public:
    // Rows and columns from 1; nullptr for a cell the sheet does not hold.
    const BiffCell* At(int row, int column) const;
    std::string_view Text(const BiffCell& cell) const;
    std::size_t SharedCount() const { return sharedEnds_.size(); }
    // The sheet's name when the workbook hides it; empty when it shows.
    const std::string& HiddenName() const { return hiddenName_; }
    static std::string_view ErrorText(double code);

private:
    friend class BiffReader;
    BiffCell& Put(int rowIndex, int columnIndex);
    void PutText(int rowIndex, int columnIndex, std::string text);

    std::vector<std::int32_t> rowSlots_;  // by row index: index into rows_, or -1
    std::vector<std::array<BiffCell, kKeptColumns>> rows_;
    std::vector<std::string> texts_;
    std::string shared_;  // the shared strings, back to back
    std::vector<std::uint32_t> sharedEnds_;  // where each ends in shared_
    std::string hiddenName_;
};

struct BiffProblem {
    enum class Kind { OldExcel, Encrypted, NoWorksheet, Damaged, TooLarge } kind;
    std::string detail;  // for Damaged: what is wrong, as a phrase
};

// Reads a workbook stream ("Workbook" of an Excel 97-2003 file, "Book" of Excel 5/95):
// the globals (code page, sheets, shared strings), then the first worksheet in workbook
// order. Chart and macro sheets before it are passed over. Every record is checked
// against the stream's end; texts held beyond kHeldBytes are refused (TooLarge).
std::expected<BiffSheet, BiffProblem> ReadBiffWorkbook(std::string_view stream);

}  // namespace tarnwick
