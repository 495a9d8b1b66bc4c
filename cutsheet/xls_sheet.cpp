#include <freexl.h>

#include <memory>
#include <string>

#include "cutsheet/cell_results.h"
#include "cutsheet/cut_sheet.h"

namespace tarnwick {
namespace {

// Old binary workbooks through FreeXL. FreeXL has no formula results: a formula cell
// reads as empty.
class XlsSheet final : public CutSheet {
public:
    XlsSheet(std::filesystem::path file, const void* handle) : file_(std::move(file)), handle_(handle) {}
    ~XlsSheet() override { freexl_close(handle_); }
    XlsSheet(const XlsSheet&) = delete;
    XlsSheet& operator=(const XlsSheet&) = delete;

    std::expected<void, Failure> Start() {
        unsigned int password = 0;
        if (freexl_get_info(handle_, FREEXL_BIFF_PASSWORD, &password) == FREEXL_OK && password == FREEXL_BIFF_OBFUSCATED)
            return std::unexpected(ReadFailure(file_, "it is protected by a password"));
        unsigned int sheets = 0;
        if (freexl_get_info(handle_, FREEXL_BIFF_SHEET_COUNT, &sheets) != FREEXL_OK || sheets == 0 ||
            freexl_select_active_worksheet(handle_, 0) != FREEXL_OK)
            return std::unexpected(ReadFailure(file_, "it has no worksheet"));
        if (freexl_worksheet_dimensions(handle_, &rows_, &columns_) != FREEXL_OK)
            return std::unexpected(ReadFailure(file_, "its first worksheet is damaged"));
        return {};
    }

    std::expected<CellValue, Failure> Cell(int row, int column) override {
        if (row < 1 || column < 1 || static_cast<unsigned>(row) > rows_ + 1 || column > columns_ + 1)
            return EmptyCell();
        FreeXL_CellValue value;
        const int status = freexl_get_cell_value(handle_, static_cast<unsigned>(row - 1),
                                                 static_cast<unsigned short>(column - 1), &value);
        if (status == FREEXL_ILLEGAL_CELL_ROW_COL) return EmptyCell();
        if (status != FREEXL_OK)
            return std::unexpected(ReadFailure(file_, "cell " + CellName(row, column) + " could not be read"));
        switch (value.type) {
            case FREEXL_CELL_INT: return NumberCell(static_cast<double>(value.value.int_value));
            case FREEXL_CELL_DOUBLE: return NumberCell(value.value.double_value);
            case FREEXL_CELL_TEXT:
            case FREEXL_CELL_SST_TEXT:
            case FREEXL_CELL_DATE:
            case FREEXL_CELL_DATETIME:
            case FREEXL_CELL_TIME: return TextCell(std::string(value.value.text_value ? value.value.text_value : ""));
            default: return EmptyCell();
        }
    }

private:
    std::filesystem::path file_;
    const void* handle_;
    unsigned int rows_ = 0;  // the used range, which FreeXL may give as a last index or a count
    unsigned short columns_ = 0;
};

}  // namespace

std::expected<std::unique_ptr<CutSheet>, Failure> OpenXlsSheet(const std::filesystem::path& file) {
    const void* handle = nullptr;
    if (freexl_open(file.c_str(), &handle) != FREEXL_OK) {
        if (handle) freexl_close(handle);
        return std::unexpected(ReadFailure(file, "it is not a readable xls workbook"));
    }
    auto sheet = std::make_unique<XlsSheet>(file, handle);
    if (auto started = sheet->Start(); !started) return std::unexpected(started.error());
    return sheet;
}

}  // namespace tarnwick
