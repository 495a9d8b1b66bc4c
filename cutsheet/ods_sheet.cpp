#include <algorithm>
#include <charconv>
#include <memory>
#include <string>
#include <vector>

#include "cutsheet/cell_results.h"
#include "cutsheet/cut_sheet.h"
#include "cutsheet/sheet_limits.h"
#include "cutsheet/xml_stream.h"
#include "cutsheet/zip_parts.h"

// Our own reader on content.xml rather than orcus's: orcus recalculates formulas
// instead of taking the results saved with the file (and gives #ERR! for formulas it
// cannot work out), and it loads the whole document where a move needs a few rows.

namespace tarnwick {
namespace {

struct OdsCell {
    enum class Kind : unsigned char { Empty, Number, Text, Error, Unsaved, TooLong } kind = Kind::Empty;
    double number = 0;
    std::string text;
};

struct CellRun {
    int firstColumn;
    int count;
    OdsCell cell;
};

struct RowRun {
    int firstRow;
    int count;
    std::vector<CellRun> cells;  // only what lies in the kept columns
};

// A repeat count: 1 when absent or unreadable, else the count itself, at most
// limit + 1 so that nothing past a sheet's limits is ever counted further.
long long Repeat(const char* value, long long limit) {
    if (!value) return 1;
    long long count = 1;
    const std::string_view text(value);
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), count);
    if (parsed.ec == std::errc::result_out_of_range) return limit + 1;
    if (parsed.ec != std::errc{} || count < 1) return 1;
    return std::min(count, limit + 1);
}

// The first table of content.xml, row by row. Repeated rows and cells are kept as
// runs: writers repeat empty rows and cells out to the sheet's last row and column.
class ContentXml final : public XmlStream {
public:
    std::vector<RowRun> rows;
    int nextRow = 1;  // rows before this one are complete
    bool firstTableDone = false;
    bool sawTable = false;

protected:
    void Start(std::string_view name, const char** attributes) override {
        if (firstTableDone) return;
        if (name == "table") {
            ++tableDepth_;
            sawTable = true;
            return;
        }
        if (tableDepth_ != 1) return;
        if (name == "table-row") {
            const long long count = Repeat(Attribute(attributes, "number-rows-repeated"), kSheetRows);
            if (nextRow - 1 + count > kSheetRows) return Refuse(RepeatPastRowsProblem());
            held_ += sizeof(RowRun);
            rows.push_back({nextRow, static_cast<int>(count), {}});
            column_ = 1;
        } else if ((name == "table-cell" || name == "covered-table-cell") && !rows.empty()) {
            StartCell(attributes);
        } else if (inCell_ && name == "annotation") {
            ++skipDepth_;
        } else if (inCell_ && skipDepth_ == 0 && column_ <= kKeptColumns) {
            if (name == "p") {
                if (paragraphs_++ > 0) Append("\n");
                lastWasSpace_ = false;
            } else if (name == "s") {
                const long long count = Repeat(Attribute(attributes, "c"), static_cast<long long>(kCellBytes));
                if (text_.size() + static_cast<std::size_t>(count) > kCellBytes) TooLong();
                else text_.append(static_cast<std::size_t>(count), ' ');
            } else if (name == "tab") {
                Append("\t");
            } else if (name == "line-break") {
                Append("\n");
            }
        }
    }

    void End(std::string_view name) override {
        if (firstTableDone) return;
        if (name == "table") {
            if (--tableDepth_ == 0) firstTableDone = true;
            return;
        }
        if (tableDepth_ != 1) return;
        if (name == "table-row" && !rows.empty()) {
            nextRow = rows.back().firstRow + rows.back().count;
            if (rows.back().cells.empty()) {
                rows.pop_back();
                held_ -= sizeof(RowRun);
            }
        } else if ((name == "table-cell" || name == "covered-table-cell") && inCell_) {
            EndCell();
        } else if (inCell_ && name == "annotation") {
            --skipDepth_;
        }
    }

    void Text(std::string_view text) override {
        if (!inCell_ || skipDepth_ > 0 || paragraphs_ == 0 || column_ > kKeptColumns || tooLong_) return;
        // Blanks, tabs and line ends in the XML text count as one blank.
        for (char c : text) {
            const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n';
            if (space && lastWasSpace_) continue;
            if (text_.size() == kCellBytes) return TooLong();
            text_.push_back(space ? ' ' : c);
            lastWasSpace_ = space;
        }
    }

private:
    void Append(std::string_view more) {
        if (text_.size() + more.size() > kCellBytes) TooLong();
        else text_.append(more);
    }

    // Stops here rather than read the rest of the cell to find the next row.
    void TooLong() {
        tooLong_ = true;
        Refuse(TooLongProblem(rows.back().firstRow, column_));
    }

    void StartCell(const char** attributes) {
        inCell_ = true;
        skipDepth_ = 0;
        paragraphs_ = 0;
        text_.clear();
        type_.clear();
        value_.clear();
        error_ = formula_ = hasStringValue_ = tooLong_ = false;
        repeat_ = Repeat(Attribute(attributes, "number-columns-repeated"), kSheetColumns);
        if (column_ - 1 + repeat_ > kSheetColumns) return Refuse(BeyondColumnsProblem(rows.back().firstRow));
        if (column_ > kKeptColumns) return;
        for (const char** a = attributes; *a; a += 2) {
            const std::string_view qualified = a[0];
            const std::string_view local = LocalName(a[0]);
            if (local == "value-type") {
                if (qualified.starts_with("calcext:")) error_ = std::string_view(a[1]) == "error";
                else type_ = a[1];
            } else if (local == "value" || local == "boolean-value" || local == "string-value") {
                if (!qualified.starts_with("calcext:")) value_ = a[1];
                if (local == "string-value") hasStringValue_ = true;
            } else if (local == "formula") {
                formula_ = true;
            }
        }
    }

    void EndCell() {
        inCell_ = false;
        const int column = column_;
        column_ += static_cast<int>(repeat_);
        if (column > kKeptColumns) return;
        OdsCell cell;
        using Kind = OdsCell::Kind;
        const bool numeric = type_ == "float" || type_ == "percentage" || type_ == "currency";
        // A formula's result is saved as the cell's value and type; with neither, the
        // file holds only the formula.
        const bool unsaved =
            formula_ && !error_ && (type_.empty() || ((numeric || type_ == "boolean") && value_.empty()));
        if (unsaved) {
            cell.kind = Kind::Unsaved;
        } else if (tooLong_) {
            cell.kind = Kind::TooLong;
        } else if (error_) {
            cell.kind = Kind::Error;
            cell.text = text_;
        } else if (numeric) {
            const char* end = value_.data() + value_.size();
            if (std::from_chars(value_.data(), end, cell.number).ptr == end && !value_.empty())
                cell.kind = Kind::Number;
        } else if (type_ == "boolean") {
            cell.kind = Kind::Text;
            cell.text = value_ == "true" ? "TRUE" : "FALSE";
        } else if (type_ == "string" && hasStringValue_) {
            cell.kind = Kind::Text;
            cell.text = value_;
        } else if (!type_.empty() || !text_.empty()) {
            // Strings, dates and times as the sheet shows them.
            cell.kind = Kind::Text;
            cell.text = text_;
        }
        if (cell.kind == Kind::Text && Utf8Characters(cell.text) > kCellCharacters) {
            cell.kind = Kind::TooLong;
            cell.text.clear();
        }
        if (cell.kind == Kind::Empty) return;
        const int count = static_cast<int>(std::min<long long>(repeat_, kKeptColumns - column + 1));
        held_ += sizeof(CellRun) + cell.text.size();
        if (held_ > kHeldBytes) return Refuse(HeldTooMuchProblem());
        rows.back().cells.push_back({column, count, std::move(cell)});
    }

    int tableDepth_ = 0, column_ = 1, skipDepth_ = 0, paragraphs_ = 0;
    long long repeat_ = 1;
    std::size_t held_ = 0;
    bool inCell_ = false, error_ = false, formula_ = false, lastWasSpace_ = false, hasStringValue_ = false;
    bool tooLong_ = false;
    std::string text_, type_, value_;
};

class OdsSheet final : public CutSheet {
public:
    OdsSheet(std::filesystem::path file, ZipPtr archive)
        : CutSheet(file), file_(std::move(file)), archive_(std::move(archive)) {}

    std::expected<void, Failure> Start() {
        EntryPtr content = OpenEntry(archive_.get(), "content.xml");
        if (!content) return std::unexpected(ReadFailure(file_, "it has no content.xml part"));
        feed_ = std::make_unique<EntryFeed>(std::move(content), xml_, "content.xml");
        return {};
    }

    std::expected<CellValue, Failure> Cell(int row, int column) override {
        if (row < 1 || column < 1 || row > kSheetRows || column > kKeptColumns) return EmptyCell();
        while (!feed_->Done() && !xml_.firstTableDone && xml_.nextRow <= row) {
            // A fault further on in the same chunk does not take the rows read before it.
            if (auto problem = feed_->Step(); problem && xml_.nextRow <= row)
                return Fail(problem->damaged ? "its content.xml is damaged: " + problem->text : problem->text);
            else if (problem) break;
        }
        if (feed_->Done() && !xml_.sawTable) return Fail("it has no worksheet");
        const auto& rows = xml_.rows;
        auto it = std::upper_bound(rows.begin(), rows.end(), row,
                                   [](int wanted, const RowRun& r) { return wanted < r.firstRow; });
        if (it == rows.begin()) return EmptyCell();
        --it;
        if (row >= it->firstRow + it->count) return EmptyCell();
        for (const CellRun& run : it->cells) {
            if (column < run.firstColumn) break;
            if (column >= run.firstColumn + run.count) continue;
            switch (run.cell.kind) {
                case OdsCell::Kind::Number: return NumberCell(run.cell.number);
                case OdsCell::Kind::Text: return TextCell(run.cell.text);
                case OdsCell::Kind::Error: return ErrorCell(run.cell.text);
                case OdsCell::Kind::Unsaved: return std::unexpected(UnsavedFormulaFailure(file_, row, column));
                case OdsCell::Kind::TooLong: return Fail(TooLongProblem(row, column));
                case OdsCell::Kind::Empty: break;
            }
        }
        return EmptyCell();
    }

private:
    std::unexpected<Failure> Fail(const std::string& problem) const {
        return std::unexpected(ReadFailure(file_, problem));
    }

    std::filesystem::path file_;
    ZipPtr archive_;
    ContentXml xml_;
    std::unique_ptr<EntryFeed> feed_;
};

}  // namespace

std::expected<std::unique_ptr<CutSheet>, Failure> OpenOdsSheet(const std::filesystem::path& file) {
    ZipPtr archive = OpenZip(file.string());
    if (!archive) return std::unexpected(ReadFailure(file, "it is not a readable ods spreadsheet"));
    auto sheet = std::make_unique<OdsSheet>(file, std::move(archive));
    if (auto started = sheet->Start(); !started) return std::unexpected(started.error());
    return sheet;
}

}  // namespace tarnwick
