#include "cutsheet/xls_sheet.h"

#include <cmath>
#include <fstream>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "cutsheet/biff_workbook.h"
#include "cutsheet/cell_results.h"
#include "cutsheet/ole_container.h"
#include "cutsheet/sheet_limits.h"

// Our own reader rather than FreeXL's: FreeXL 1.0 reads formula cells as empty and
// crashes on damaged files.

namespace tarnwick {
namespace {

// Every refusal of an xls file ends with the way out: the same sheet saved as xlsx.
Failure XlsFailure(const std::filesystem::path& file, const std::string& problem) {
    return Failure{"The cut sheet " + file.string() + " cannot be read: " + problem +
                       ". Open it in the spreadsheet program, save it as xlsx and choose that file.",
                   "Tarnwick", MessageIcon::Critical};
}

class XlsSheet final : public CutSheet {
public:
    XlsSheet(const std::filesystem::path& file, BiffSheet sheet) : CutSheet(file), sheet_(std::move(sheet)) {
        if (!sheet_.HiddenName().empty()) SetHiddenSheet(sheet_.HiddenName());
    }

    std::expected<CellValue, Failure> Cell(int row, int column) override {
        const BiffCell* cell = sheet_.At(row, column);
        if (!cell) return EmptyCell();
        auto refuse = [&](const std::string& what) {
            return std::unexpected(XlsFailure(File(), "cell " + CellName(row, column) + " " + what));
        };
        using Kind = BiffCell::Kind;
        switch (cell->kind) {
            case Kind::Empty: return EmptyCell();
            case Kind::Number:
                // No spreadsheet program stores these; their text would reach a label.
                if (!std::isfinite(cell->number)) return refuse("holds an invalid number (infinite or not a number)");
                return NumberCell(cell->number);
            case Kind::Boolean: return TextCell(cell->number != 0 ? "TRUE" : "FALSE");
            case Kind::Error: return ErrorCell(std::string(BiffSheet::ErrorText(cell->number)));
            case Kind::MissingResult: return std::unexpected(UnsavedFormulaFailure(File(), row, column));
            case Kind::ForeignText:
                return refuse("holds text in code page " + std::to_string(static_cast<int>(cell->number)) +
                              ", which Tarnwick cannot read");
            case Kind::Shared:
                if (cell->number >= static_cast<double>(sheet_.SharedCount()))
                    return refuse("refers to a shared string that is missing");
                [[fallthrough]];
            case Kind::Text: {
                const std::string_view text = sheet_.Text(*cell);
                if (text.size() > kCellCharacters && Utf8Characters(text) > kCellCharacters)
                    return std::unexpected(ReadFailure(File(), TooLongProblem(row, column)));
                return TextCell(std::string(text));
            }
        }
        return EmptyCell();
    }

private:
    BiffSheet sheet_;
};

// A bare BIFF stream starts with the header record of Excel 2, 3, 4, or 5 and later.
bool StartsWithBof(std::string_view bytes) {
    return bytes.size() >= 4 && bytes[0] == 0x09 &&
           (bytes[1] == 0x00 || bytes[1] == 0x02 || bytes[1] == 0x04 || bytes[1] == 0x08);
}

Failure ContainerFailure(const std::filesystem::path& file, const OleError& error) {
    switch (error.kind) {
        case OleError::Kind::NotCompoundFile: break;
        case OleError::Kind::Damaged: return XlsFailure(file, "the xls file is damaged (" + error.detail + ")");
        case OleError::Kind::NoSuchStream:
            // Excel 2007 and later keep a password-protected xlsx in a compound file.
            if (error.detail.find("EncryptedPackage\n") != std::string::npos)
                return XlsFailure(file, "it is an xlsx workbook encrypted with a password; remove the password first");
            return XlsFailure(file, "it is an Office file without an Excel workbook in it, perhaps a Word document");
    }
    return XlsFailure(file, "it is not an xls workbook");
}

Failure WorkbookFailure(const std::filesystem::path& file, const BiffProblem& problem) {
    switch (problem.kind) {
        case BiffProblem::Kind::OldExcel:
            return XlsFailure(file, "it is an Excel 2, 3 or 4 workbook, which Tarnwick does not read");
        case BiffProblem::Kind::Encrypted:
            return XlsFailure(file, "it is encrypted with a password; remove the password first");
        case BiffProblem::Kind::NoWorksheet: return XlsFailure(file, "it has no worksheet");
        case BiffProblem::Kind::TooLarge: return ReadFailure(file, HeldTooMuchProblem());
        case BiffProblem::Kind::Damaged: break;
    }
    return XlsFailure(file, "the xls file is damaged (" + problem.detail + ")");
}

}  // namespace

std::expected<std::unique_ptr<CutSheet>, Failure> OpenXlsSheetFromBytes(std::string bytes,
                                                                        const std::filesystem::path& file) {
    try {
        std::string stream;
        if (StartsWithBof(bytes)) {
            stream = std::move(bytes);
        } else {
            auto found = ReadOleStream(bytes, {"Workbook", "Book"});
            if (!found) return std::unexpected(ContainerFailure(file, found.error()));
            stream = std::move(found->bytes);
            std::string().swap(bytes);  // the file's bytes are not needed past here (assigning keeps them)
        }
        auto sheet = ReadBiffWorkbook(stream);
        if (!sheet) return std::unexpected(WorkbookFailure(file, sheet.error()));
        return std::make_unique<XlsSheet>(file, std::move(*sheet));
    } catch (const std::bad_alloc&) {
        return std::unexpected(ReadFailure(file, "there is not enough memory to read it"));
    }
}

std::expected<std::unique_ptr<CutSheet>, Failure> OpenXlsSheet(const std::filesystem::path& file) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    if (ec) return std::unexpected(ReadFailure(file, "the file could not be opened"));
    if (size > kLargestXlsFile)
        return std::unexpected(XlsFailure(file, "it is larger than " + std::to_string(kLargestXlsFile >> 20) +
                                                    " MB, far more than a cut sheet needs; copy the cut sheet into a "
                                                    "workbook of its own"));
    std::ifstream in(file, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(size)))
        return std::unexpected(ReadFailure(file, "the file could not be read"));
    return OpenXlsSheetFromBytes(std::move(bytes), file);
}

}  // namespace tarnwick
