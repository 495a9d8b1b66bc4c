#include <algorithm>
#include <charconv>
#include <memory>
#include <string>
#include <vector>

#include "cutsheet/cell_results.h"
#include "cutsheet/cut_sheet.h"
#include "cutsheet/xml_stream.h"
#include "cutsheet/zip_parts.h"

// Our own reader on content.xml rather than orcus's: orcus recalculates formulas
// instead of taking the results saved with the file (and gives #ERR! for formulas it
// cannot work out), and it loads the whole document where a move needs a few rows.

namespace tarnwick {
namespace {

struct OdsCell {
    enum class Kind : unsigned char { Empty, Number, Text, Error } kind = Kind::Empty;
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
    std::vector<CellRun> cells;
};

int Repeat(const char* value) {
    int count = 1;
    if (value) std::from_chars(value, value + std::char_traits<char>::length(value), count);
    return std::max(count, 1);
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
            rows.push_back({nextRow, Repeat(Attribute(attributes, "number-rows-repeated")), {}});
            column_ = 1;
        } else if ((name == "table-cell" || name == "covered-table-cell") && !rows.empty()) {
            StartCell(attributes);
        } else if (inCell_ && name == "annotation") {
            ++skipDepth_;
        } else if (inCell_ && skipDepth_ == 0) {
            if (name == "p") {
                if (paragraphs_++ > 0) text_.push_back('\n');
                lastWasSpace_ = false;
            } else if (name == "s") {
                text_.append(static_cast<std::size_t>(Repeat(Attribute(attributes, "c"))), ' ');
            } else if (name == "tab") {
                text_.push_back('\t');
            } else if (name == "line-break") {
                text_.push_back('\n');
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
            if (rows.back().cells.empty()) rows.pop_back();
        } else if ((name == "table-cell" || name == "covered-table-cell") && inCell_) {
            EndCell();
        } else if (inCell_ && name == "annotation") {
            --skipDepth_;
        }
    }

    void Text(std::string_view text) override {
        if (!inCell_ || skipDepth_ > 0 || paragraphs_ == 0) return;
        // Blanks, tabs and line ends in the XML text count as one blank.
        for (char c : text) {
            const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n';
            if (space && lastWasSpace_) continue;
            text_.push_back(space ? ' ' : c);
            lastWasSpace_ = space;
        }
    }

private:
    void StartCell(const char** attributes) {
        inCell_ = true;
        skipDepth_ = 0;
        paragraphs_ = 0;
        text_.clear();
        type_.clear();
        value_.clear();
        error_ = false;
        hasStringValue_ = false;
        repeat_ = Repeat(Attribute(attributes, "number-columns-repeated"));
        for (const char** a = attributes; *a; a += 2) {
            const std::string_view qualified = a[0];
            const std::string_view local = LocalName(a[0]);
            if (local == "value-type") {
                if (qualified.starts_with("calcext:")) error_ = std::string_view(a[1]) == "error";
                else type_ = a[1];
            } else if (local == "value" || local == "boolean-value" || local == "string-value") {
                if (!qualified.starts_with("calcext:")) value_ = a[1];
                if (local == "string-value") hasStringValue_ = true;
            }
        }
    }

    void EndCell() {
        inCell_ = false;
        OdsCell cell;
        using Kind = OdsCell::Kind;
        if (error_) {
            cell.kind = Kind::Error;
            cell.text = text_;
        } else if (type_ == "float" || type_ == "percentage" || type_ == "currency") {
            const char* end = value_.data() + value_.size();
            if (std::from_chars(value_.data(), end, cell.number).ptr == end && !value_.empty()) cell.kind = Kind::Number;
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
        if (cell.kind != Kind::Empty) rows.back().cells.push_back({column_, repeat_, std::move(cell)});
        column_ += repeat_;
    }

    int tableDepth_ = 0, column_ = 1, repeat_ = 1, skipDepth_ = 0, paragraphs_ = 0;
    bool inCell_ = false, error_ = false, lastWasSpace_ = false, hasStringValue_ = false;
    std::string text_, type_, value_;
};

class OdsSheet final : public CutSheet {
public:
    OdsSheet(std::filesystem::path file, ZipPtr archive)
        : CutSheet(file), file_(std::move(file)), archive_(std::move(archive)) {}

    std::expected<void, Failure> Start() {
        EntryPtr content = OpenEntry(archive_.get(), "content.xml");
        if (!content) return std::unexpected(ReadFailure(file_, "it has no content.xml part"));
        feed_ = std::make_unique<EntryFeed>(std::move(content), xml_);
        return {};
    }

    std::expected<CellValue, Failure> Cell(int row, int column) override {
        if (row < 1 || column < 1) return EmptyCell();
        while (!feed_->Done() && !xml_.firstTableDone && xml_.nextRow <= row) {
            if (auto error = feed_->Step())
                return std::unexpected(ReadFailure(file_, "its content.xml is damaged: " + *error));
        }
        if (feed_->Done() && !xml_.sawTable) return std::unexpected(ReadFailure(file_, "it has no worksheet"));
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
                case OdsCell::Kind::Empty: break;
            }
        }
        return EmptyCell();
    }

private:
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
