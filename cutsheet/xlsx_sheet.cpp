#include <zip.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cutsheet/cell_results.h"
#include "cutsheet/cut_sheet.h"
#include "cutsheet/sheet_limits.h"
#include "cutsheet/xml_stream.h"
#include "cutsheet/zip_parts.h"

// Our own reader rather than orcus's: orcus 0.17 loads an empty sheet when the
// relationship targets are absolute (openpyxl, pandas) and drops inline-string cells
// (streaming writers, ERP exports).

namespace tarnwick {
namespace {

// OOXML writes characters XML cannot hold as _xHHHH_.
std::string UnescapeOoxml(std::string text) {
    if (text.find("_x") == std::string::npos) return text;
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        unsigned code = 0;
        if (text.compare(i, 2, "_x") == 0 && i + 7 <= text.size() && text[i + 6] == '_' &&
            std::from_chars(text.data() + i + 2, text.data() + i + 6, code, 16).ptr == text.data() + i + 6) {
            if (code < 0x80) {
                out.push_back(static_cast<char>(code));
            } else if (code < 0x800) {
                out.push_back(static_cast<char>(0xC0 | (code >> 6)));
                out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
            } else {
                out.push_back(static_cast<char>(0xE0 | (code >> 12)));
                out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
            }
            i += 7;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

struct Relationship {
    std::string id, type, target;
};

class RelationshipsXml final : public XmlStream {
public:
    std::vector<Relationship> list;

protected:
    void Start(std::string_view name, const char** attributes) override {
        if (name != "Relationship") return;
        const char* id = Attribute(attributes, "Id");
        const char* type = Attribute(attributes, "Type");
        const char* target = Attribute(attributes, "Target");
        if (id && type && target) list.push_back({id, type, target});
    }
    void End(std::string_view) override {}
};

// The relationship ids of the workbook's sheets, in workbook order.
class WorkbookXml final : public XmlStream {
public:
    std::vector<std::string> sheetIds;
    std::string firstHidden;  // the first sheet's name when it is hidden or very hidden

protected:
    void Start(std::string_view name, const char** attributes) override {
        if (name != "sheet") return;
        const char* id = Attribute(attributes, "id");
        if (!id) return;
        if (sheetIds.empty()) {
            const char* state = Attribute(attributes, "state");
            const char* shown = Attribute(attributes, "name");
            if (state && (std::string_view(state) == "hidden" || std::string_view(state) == "veryHidden"))
                firstHidden = shown ? shown : "";
        }
        sheetIds.emplace_back(id);
    }
    void End(std::string_view) override {}
};

std::string FolderOf(const std::string& part) {
    const auto slash = part.rfind('/');
    return slash == std::string::npos ? "" : part.substr(0, slash + 1);
}

// A relationship target as a part name: absolute targets ("/xl/worksheets/sheet1.xml")
// from the package root, relative ones from the folder of the part that points.
std::string ResolveTarget(const std::string& fromFolder, const std::string& target) {
    const std::string joined = target.starts_with('/') ? target.substr(1) : fromFolder + target;
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (start <= joined.size()) {
        const std::size_t slash = std::min(joined.find('/', start), joined.size());
        const std::string segment = joined.substr(start, slash - start);
        if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        start = slash + 1;
    }
    std::string out;
    for (const auto& s : segments) out += (out.empty() ? "" : "/") + s;
    return out;
}

std::optional<std::vector<Relationship>> ReadRelationships(zip_t* archive, const std::string& part) {
    const std::string relsName = FolderOf(part) + "_rels/" + part.substr(FolderOf(part).size()) + ".rels";
    auto bytes = ReadEntry(archive, relsName);
    if (!bytes) return std::nullopt;
    RelationshipsXml xml;
    if (!xml.Feed(*bytes, true)) return std::nullopt;
    return xml.list;
}

const Relationship* FindByType(const std::vector<Relationship>& rels, std::string_view typeEnd) {
    for (const auto& r : rels)
        if (r.type.ends_with(typeEnd)) return &r;
    return nullptr;
}

// Appends text to a cell being read, up to the bytes that settle it is too long.
void AppendBounded(std::string& to, std::string_view text, bool& tooLong) {
    if (to.size() + text.size() > kCellBytes) {
        tooLong = true;
        return;
    }
    to.append(text);
}

class SharedStringsXml final : public XmlStream {
public:
    std::vector<std::string> strings;
    std::vector<std::uint32_t> tooLong;  // indexes of strings past the cell limit, ascending

protected:
    void Start(std::string_view name, const char**) override {
        if (name == "si") {
            inItem_ = true;
            currentTooLong_ = false;
            current_.clear();
        } else if (name == "rPh") {
            inPhonetic_ = true;
        } else if (name == "t" && inItem_ && !inPhonetic_) {
            collecting_ = true;
        }
    }
    void End(std::string_view name) override {
        if (name == "t") {
            collecting_ = false;
        } else if (name == "rPh") {
            inPhonetic_ = false;
        } else if (name == "si") {
            std::string text = currentTooLong_ ? std::string() : UnescapeOoxml(std::move(current_));
            if (currentTooLong_ || Utf8Characters(text) > kCellCharacters) {
                tooLong.push_back(static_cast<std::uint32_t>(strings.size()));
                text.clear();
            }
            held_ += sizeof(std::string) + text.size();
            if (held_ > kHeldBytes) return Refuse(HeldTooMuchProblem());
            strings.push_back(std::move(text));
            current_.clear();
            inItem_ = false;
        }
    }
    void Text(std::string_view text) override {
        if (collecting_) AppendBounded(current_, text, currentTooLong_);
    }

private:
    std::string current_;
    std::size_t held_ = 0;
    bool inItem_ = false, inPhonetic_ = false, collecting_ = false, currentTooLong_ = false;
};

struct StoredCell {
    enum class Kind : std::uint8_t { Empty, Number, Text, Shared, Error, Unsaved, TooLong } kind = Kind::Empty;
    double number = 0;
    std::uint32_t shared = 0;
    std::string text;
};

struct StoredRow {
    int row;
    std::vector<StoredCell> cells;  // by column, from 1, never past kKeptColumns
};

// Parses a worksheet part; rows arrive in ascending order, as the format requires.
// Only rows with cells in the kept columns are stored.
class WorksheetXml final : public XmlStream {
public:
    std::vector<StoredRow> rows;
    int lastRowStarted = 0;

protected:
    void Start(std::string_view name, const char** attributes) override {
        if (name == "row") {
            StartRow(Attribute(attributes, "r"));
        } else if (name == "c" && lastRowStarted > 0) {
            inCell_ = true;
            formula_ = hasValue_ = tooLong_ = false;
            value_.clear();
            const char* t = Attribute(attributes, "t");
            type_ = t ? t : "n";
            const char* r = Attribute(attributes, "r");
            const int column = r ? ColumnOf(r) : column_ + 1;
            if (column > kSheetColumns) return Refuse(BeyondColumnsProblem(lastRowStarted));
            column_ = column > 0 ? column : column_ + 1;
        } else if (inCell_ && name == "f") {
            formula_ = true;
        } else if (inCell_ && (name == "v" || (name == "t" && inInline_ && !inPhonetic_))) {
            collecting_ = true;
            hasValue_ = true;
        } else if (name == "is") {
            inInline_ = true;
        } else if (name == "rPh") {
            inPhonetic_ = true;
        }
    }

    void End(std::string_view name) override {
        if (name == "v" || name == "t") {
            collecting_ = false;
        } else if (name == "is") {
            inInline_ = false;
        } else if (name == "rPh") {
            inPhonetic_ = false;
        } else if (name == "c" && inCell_) {
            inCell_ = false;
            if (column_ <= kKeptColumns) StoreCell();
        }
    }

    void Text(std::string_view text) override {
        if (!collecting_ || column_ > kKeptColumns) return;
        AppendBounded(value_, text, tooLong_);
        // Stop here rather than read the rest of it to find the next row.
        if (tooLong_) Refuse(TooLongProblem(lastRowStarted, column_));
    }

private:
    void StartRow(const char* r) {
        long long number = lastRowStarted + 1;
        if (r) {
            const std::string_view text(r);
            const auto parsed = std::from_chars(text.data(), text.data() + text.size(), number);
            if (parsed.ec == std::errc::result_out_of_range) return Refuse(BeyondRowsProblem(text));
            if (parsed.ec != std::errc{}) number = lastRowStarted + 1;
        }
        if (number < 1 || number > kSheetRows) return Refuse(BeyondRowsProblem(std::to_string(number)));
        if (number <= lastRowStarted)
            return Refuse("it is damaged, with row " + std::to_string(number) + " after row " +
                          std::to_string(lastRowStarted) + " (rows must come in order)");
        lastRowStarted = static_cast<int>(number);
        column_ = 0;
    }

    // The column of an "A1" reference; past XFD gives kSheetColumns + 1, never overflows.
    static int ColumnOf(const char* ref) {
        int column = 0;
        for (const char* p = ref; *p; ++p) {
            if (*p >= 'A' && *p <= 'Z') column = column * 26 + (*p - 'A' + 1);
            else if (*p >= 'a' && *p <= 'z') column = column * 26 + (*p - 'a' + 1);
            else break;
            if (column > kSheetColumns) return kSheetColumns + 1;
        }
        return column;
    }

    void StoreCell() {
        StoredCell cell;
        using Kind = StoredCell::Kind;
        // Excel saves a formula's empty text result as an empty <v> of type str; an
        // empty or missing <v> anywhere else is a result never saved.
        const bool unsaved = formula_ && value_.empty() && !(type_ == "str" && hasValue_);
        if (tooLong_) {
            cell.kind = Kind::TooLong;
        } else if (unsaved) {
            cell.kind = Kind::Unsaved;
        } else if (type_ == "s") {
            std::uint32_t index = 0;
            if (!value_.empty() &&
                std::from_chars(value_.data(), value_.data() + value_.size(), index).ec == std::errc{}) {
                cell.kind = Kind::Shared;
                cell.shared = index;
            }
        } else if (type_ == "inlineStr" || type_ == "str" || type_ == "d") {
            cell.kind = Kind::Text;
            cell.text = UnescapeOoxml(std::move(value_));
        } else if (type_ == "b") {
            if (!value_.empty()) {
                cell.kind = Kind::Text;
                cell.text = value_ == "1" || value_ == "true" ? "TRUE" : "FALSE";
            }
        } else if (type_ == "e") {
            cell.kind = Kind::Error;
            cell.text = value_;
        } else if (!value_.empty()) {
            const auto first = value_.find_first_not_of(" \t\r\n");
            const auto last = value_.find_last_not_of(" \t\r\n");
            if (first != std::string::npos) {
                double number = 0;
                const char* begin = value_.data() + first;
                const char* end = value_.data() + last + 1;
                if (*begin == '+') ++begin;
                const auto parsed = std::from_chars(begin, end, number);
                if (parsed.ec == std::errc{} && parsed.ptr == end) {
                    cell.kind = Kind::Number;
                    cell.number = number;
                } else {
                    cell.kind = Kind::Text;
                    cell.text = value_;
                }
            }
        }
        if (cell.kind == Kind::Text && Utf8Characters(cell.text) > kCellCharacters) {
            cell.kind = Kind::TooLong;
            cell.text.clear();
        }
        if (cell.kind == Kind::Empty) return;
        if (rows.empty() || rows.back().row != lastRowStarted) {
            held_ += sizeof(StoredRow);
            rows.push_back({lastRowStarted, {}});
        }
        auto& cells = rows.back().cells;
        if (static_cast<int>(cells.size()) < column_) {
            held_ += sizeof(StoredCell) * static_cast<std::size_t>(column_ - static_cast<int>(cells.size()));
            cells.resize(static_cast<std::size_t>(column_));
        }
        held_ += cell.text.size();
        if (held_ > kHeldBytes) return Refuse(HeldTooMuchProblem());
        cells[static_cast<std::size_t>(column_ - 1)] = std::move(cell);
    }

    std::string value_, type_;
    std::size_t held_ = 0;
    int column_ = 0;
    bool inCell_ = false, inInline_ = false, inPhonetic_ = false, collecting_ = false;
    bool formula_ = false, hasValue_ = false, tooLong_ = false;
};

class XlsxSheet final : public CutSheet {
public:
    XlsxSheet(std::filesystem::path file, ZipPtr archive)
        : CutSheet(file), file_(std::move(file)), archive_(std::move(archive)) {}

    std::expected<void, Failure> Start() {
        const auto rootRels = ReadRelationships(archive_.get(), "");
        std::string workbook = "xl/workbook.xml";
        if (rootRels) {
            if (const auto* office = FindByType(*rootRels, "/officeDocument"))
                workbook = ResolveTarget("", office->target);
        }
        if (workbook.ends_with(".bin"))
            return Fail("it is a binary Excel workbook (xlsb); save it as xlsx, xls or csv and choose that file");
        const auto workbookBytes = ReadEntry(archive_.get(), workbook);
        if (!workbookBytes) return Fail("it has no workbook part (" + workbook + ")");
        WorkbookXml workbookXml;
        if (!workbookXml.Feed(*workbookBytes, true))
            return Fail(workbook + " is not well-formed XML (" + workbookXml.Error() + ")");
        if (workbookXml.sheetIds.empty()) return Fail("the workbook has no worksheet");
        const auto rels = ReadRelationships(archive_.get(), workbook);
        if (!rels) return Fail("the workbook's relationships are missing or damaged");
        const Relationship* first = nullptr;
        for (const auto& r : *rels)
            if (r.id == workbookXml.sheetIds.front()) first = &r;
        if (!first) return Fail("the workbook's first sheet has no part");
        if (!workbookXml.firstHidden.empty()) SetHiddenSheet(workbookXml.firstHidden);
        sheetPart_ = ResolveTarget(FolderOf(workbook), first->target);
        EntryPtr sheetEntry = OpenEntry(archive_.get(), sheetPart_);
        if (!sheetEntry) return Fail("the first worksheet (" + sheetPart_ + ") is missing");
        sheet_ = std::make_unique<EntryFeed>(std::move(sheetEntry), sheetXml_, sheetPart_);
        if (const auto* sst = FindByType(*rels, "/sharedStrings")) {
            stringsPart_ = ResolveTarget(FolderOf(workbook), sst->target);
            if (EntryPtr entry = OpenEntry(archive_.get(), stringsPart_))
                strings_ = std::make_unique<EntryFeed>(std::move(entry), stringsXml_, stringsPart_);
        }
        return {};
    }

    std::expected<CellValue, Failure> Cell(int row, int column) override {
        if (row < 1 || column < 1 || row > kSheetRows || column > kKeptColumns) return EmptyCell();
        while (!sheet_->Done() && sheetXml_.lastRowStarted <= row) {
            // A fault further on in the same chunk does not take the rows read before it.
            if (auto problem = sheet_->Step(); problem && sheetXml_.lastRowStarted <= row)
                return FailFeed(*problem, "the worksheet " + sheetPart_ + " is damaged: ");
            else if (problem) break;
        }
        const auto& rows = sheetXml_.rows;
        // Cells are asked for row by row, so the last row found is the likely one.
        auto it = lastFound_ < rows.size() && rows[lastFound_].row == row
                      ? rows.begin() + static_cast<std::ptrdiff_t>(lastFound_)
                      : std::lower_bound(rows.begin(), rows.end(), row,
                                         [](const StoredRow& r, int wanted) { return r.row < wanted; });
        if (it == rows.end() || it->row != row) return EmptyCell();
        lastFound_ = static_cast<std::size_t>(it - rows.begin());
        if (column > static_cast<int>(it->cells.size())) return EmptyCell();
        const StoredCell& cell = it->cells[static_cast<std::size_t>(column - 1)];
        switch (cell.kind) {
            case StoredCell::Kind::Empty: return EmptyCell();
            case StoredCell::Kind::Number: return NumberCell(cell.number);
            case StoredCell::Kind::Text: return TextCell(cell.text);
            case StoredCell::Kind::Error: return ErrorCell(cell.text);
            case StoredCell::Kind::Unsaved: return std::unexpected(UnsavedFormulaFailure(file_, row, column));
            case StoredCell::Kind::TooLong: return Fail(TooLongProblem(row, column));
            case StoredCell::Kind::Shared: return SharedString(cell.shared, row, column);
        }
        return EmptyCell();
    }

private:
    std::unexpected<Failure> Fail(const std::string& problem) const {
        return std::unexpected(ReadFailure(file_, problem));
    }

    std::unexpected<Failure> FailFeed(const FeedProblem& problem, const std::string& damaged) const {
        return Fail(problem.damaged ? damaged + problem.text : problem.text);
    }

    std::expected<CellValue, Failure> SharedString(std::uint32_t index, int row, int column) {
        while (strings_ && !strings_->Done() && stringsXml_.strings.size() <= index) {
            if (auto problem = strings_->Step())
                return FailFeed(*problem, "the shared strings " + stringsPart_ + " are damaged: ");
        }
        if (index >= stringsXml_.strings.size())
            return Fail("cell " + CellName(row, column) + " refers to a shared string that is missing");
        if (std::binary_search(stringsXml_.tooLong.begin(), stringsXml_.tooLong.end(), index))
            return Fail(TooLongProblem(row, column));
        return TextCell(stringsXml_.strings[index]);
    }

    std::filesystem::path file_;
    ZipPtr archive_;
    std::string sheetPart_, stringsPart_;
    WorksheetXml sheetXml_;
    SharedStringsXml stringsXml_;
    std::unique_ptr<EntryFeed> sheet_;
    std::unique_ptr<EntryFeed> strings_;
    std::size_t lastFound_ = 0;
};

}  // namespace

std::expected<std::unique_ptr<CutSheet>, Failure> OpenXlsxSheet(const std::filesystem::path& file) {
    ZipPtr archive = OpenZip(file.string());
    if (!archive) return std::unexpected(ReadFailure(file, "it is not a readable xlsx workbook"));
    auto sheet = std::make_unique<XlsxSheet>(file, std::move(archive));
    try {
        if (auto started = sheet->Start(); !started) return std::unexpected(started.error());
    } catch (const std::bad_alloc&) {
        return std::unexpected(ReadFailure(file, "there is not enough memory to read it"));
    }
    return sheet;
}

}  // namespace tarnwick
