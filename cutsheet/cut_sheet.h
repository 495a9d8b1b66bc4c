#pragma once

#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "base/failure.h"

namespace tarnwick {

// A cell holding an error value (#N/A, #DIV/0! ...), as its text.
struct CellError {
    std::string text;
    bool operator==(const CellError&) const = default;
};

// One cell as the sheet holds it: empty, a number, a text (UTF-8) or an error value.
using CellValue = std::variant<std::monostate, double, std::string, CellError>;

// The first worksheet of a cut-sheet file, opened read-only. Rows and columns count
// from 1; only columns 1 to 13 are kept, those to the right read as empty. A reader
// may read the file lazily, only as far as the rows asked for, so a cell can still
// fail (a damaged part further on, a formula without its result, a cell past the
// limits). Destroying the sheet closes the file; nothing is ever written to it.
class CutSheet {
public:
    virtual ~CutSheet() = default;
    virtual std::expected<CellValue, Failure> Cell(int row, int column) = 0;

    // The file, for the messages of the rules that read the cells.
    const std::filesystem::path& File() const { return file_; }

    // The name of the sheet read when the workbook hides it (hidden or very hidden): the
    // spreadsheet program then shows the operator another sheet than the one read.
    const std::optional<std::string>& HiddenSheet() const { return hiddenSheet_; }

protected:
    explicit CutSheet(std::filesystem::path file = {}) : file_(std::move(file)) {}
    void SetHiddenSheet(std::string name) { hiddenSheet_ = std::move(name); }

private:
    std::filesystem::path file_;
    std::optional<std::string> hiddenSheet_;
};

// Opens the file by what it holds, not by its name: a zip holding an OpenDocument
// spreadsheet is read as ods, another zip as xlsx, an OLE compound file as xls, and
// text as comma-separated values. Anything else (a picture, a FIFO) is refused.
std::expected<std::unique_ptr<CutSheet>, Failure> OpenCutSheet(const std::filesystem::path& file);

// The readers themselves, for callers that know the format.
std::expected<std::unique_ptr<CutSheet>, Failure> OpenCsvSheet(const std::filesystem::path& file);
std::expected<std::unique_ptr<CutSheet>, Failure> OpenXlsxSheet(const std::filesystem::path& file);
std::expected<std::unique_ptr<CutSheet>, Failure> OpenOdsSheet(const std::filesystem::path& file);
std::expected<std::unique_ptr<CutSheet>, Failure> OpenXlsSheet(const std::filesystem::path& file);

// True only for an existing regular file (after symbolic links); a folder is no file.
bool FileExists(const std::filesystem::path& file);

// Why a path given for a cut sheet is no file to read, naming it: missing, a folder,
// a FIFO, a device. Looks at the path only; never opens it.
std::expected<void, Failure> CheckCutSheetPath(const std::filesystem::path& file);

// "A1"-style name of a cell, for messages.
std::string CellName(int row, int column);

// The failure every reader gives when a file cannot be read: names the file and why.
Failure ReadFailure(const std::filesystem::path& file, const std::string& problem);

}  // namespace tarnwick
