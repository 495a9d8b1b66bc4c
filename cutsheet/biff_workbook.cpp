#include "cutsheet/biff_workbook.h"

#include <algorithm>
#include <bit>
#include <optional>

#include "cutsheet/cut_sheet.h"
#include "base/code_pages.h"
#include "base/windows1252.h"

namespace tarnwick {
namespace {

enum RecordType : std::uint16_t {
    kBof = 0x0809,
    kBof2 = 0x0009,
    kBof3 = 0x0209,
    kBof4 = 0x0409,
    kEof = 0x000A,
    kFilePass = 0x002F,
    kCodePage = 0x0042,
    kBoundSheet = 0x0085,
    kSst = 0x00FC,
    kContinue = 0x003C,
    kNumber = 0x0203,
    kRk = 0x027E,
    kMulRk = 0x00BD,
    kLabelSst = 0x00FD,
    kLabel = 0x0204,
    kRString = 0x00D6,
    kBoolErr = 0x0205,
    kBlank = 0x0201,
    kMulBlank = 0x00BE,
    kFormula = 0x0006,
    kString = 0x0207,
    kShrFmla = 0x04BC,
    kArray = 0x0221,
    kTable = 0x0236,
};

constexpr std::uint16_t kGlobals = 0x0005;
constexpr std::uint16_t kWorksheet = 0x0010;

std::uint16_t U16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
std::uint32_t U32(std::string_view b, std::size_t at) {
    return static_cast<std::uint32_t>(U16(b, at)) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16;
}
double F64(std::string_view b, std::size_t at) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(U32(b, at)) | static_cast<std::uint64_t>(U32(b, at + 4))
                                                                              << 32);
}

double RkValue(std::uint32_t rk) {
    double value = (rk & 2) ? static_cast<double>(static_cast<std::int32_t>(rk) >> 2)
                            : std::bit_cast<double>(static_cast<std::uint64_t>(rk & 0xFFFFFFFCu) << 32);
    return (rk & 1) ? value / 100 : value;
}

std::unexpected<BiffProblem> Damaged(std::string detail) {
    return std::unexpected(BiffProblem{BiffProblem::Kind::Damaged, std::move(detail)});
}

// UTF-16 as Excel stores it; a surrogate without its partner becomes U+FFFD.
void AppendUtf16(std::string& out, const std::u16string& units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
}

// Data of a record and the CONTINUE records after it, read as one.
class Pieces {
public:
    explicit Pieces(std::vector<std::string_view> blocks) : blocks_(std::move(blocks)) {}

    bool AtEnd() {
        while (pos_ == blocks_[block_].size()) {
            if (block_ + 1 == blocks_.size()) return true;
            ++block_;
            pos_ = 0;
        }
        return false;
    }
    bool Byte(std::uint8_t& out) {
        if (AtEnd()) return false;
        out = static_cast<std::uint8_t>(blocks_[block_][pos_++]);
        return true;
    }
    template <typename T>
    bool Number(T& out) {
        out = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            std::uint8_t b = 0;
            if (!Byte(b)) return false;
            out = static_cast<T>(out | static_cast<T>(b) << (8 * i));
        }
        return true;
    }
    bool Skip(std::uint64_t count) {
        while (count > 0) {
            if (AtEnd()) return false;
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(count, blocks_[block_].size() - pos_));
            pos_ += n;
            count -= n;
        }
        return true;
    }
    // Characters may run on into the next record, which then starts with a byte
    // saying whether they go on in 8 or 16 bits.
    bool Chars(std::size_t count, bool wide, std::u16string& units) {
        while (count > 0) {
            std::string_view block = blocks_[block_];
            if (pos_ == block.size()) {
                if (block_ + 1 == blocks_.size()) return false;
                block = blocks_[++block_];
                if (block.empty()) return false;
                wide = (block[0] & 1) != 0;
                pos_ = 1;
                continue;
            }
            const std::size_t width = wide ? 2 : 1;
            const std::size_t n = std::min(count, (block.size() - pos_) / width);
            if (n == 0) return false;
            for (std::size_t i = 0; i < n; ++i, pos_ += width)
                units.push_back(wide ? static_cast<char16_t>(U16(block, pos_))
                                     : static_cast<char16_t>(static_cast<unsigned char>(block[pos_])));
            count -= n;
        }
        return true;
    }

private:
    std::vector<std::string_view> blocks_;
    std::size_t block_ = 0, pos_ = 0;
};

// A BIFF8 string with its 16-bit length: rich-text runs and phonetic data skipped.
bool UnicodeString(Pieces& in, std::string& out) {
    std::uint16_t length = 0, runs = 0;
    std::uint8_t flags = 0;
    std::uint32_t extra = 0;
    if (!in.Number(length) || !in.Byte(flags)) return false;
    if ((flags & 0x08) && !in.Number(runs)) return false;
    if ((flags & 0x04) && !in.Number(extra)) return false;
    std::u16string units;
    units.reserve(length);
    if (!in.Chars(length, (flags & 0x01) != 0, units)) return false;
    AppendUtf16(out, units);
    return in.Skip(4ull * runs) && in.Skip(extra);
}

struct Record {
    std::uint16_t type;
    std::string_view data;
};

class Records {
public:
    Records(std::string_view stream, std::size_t at) : stream_(stream), pos_(at) {}

    // nullopt at the end of the stream.
    std::expected<std::optional<Record>, BiffProblem> Next() {
        if (pos_ == stream_.size()) return std::nullopt;
        if (stream_.size() - pos_ < 4) return Damaged("its last record is cut short");
        const std::uint16_t type = U16(stream_, pos_);
        const std::uint16_t length = U16(stream_, pos_ + 2);
        if (stream_.size() - pos_ - 4 < length) return Damaged("a record runs past the end of the workbook");
        const Record record{type, stream_.substr(pos_ + 4, length)};
        pos_ += 4 + std::size_t{length};
        return record;
    }
    // The data of the CONTINUE records that follow.
    std::vector<std::string_view> Continues() {
        std::vector<std::string_view> blocks;
        while (stream_.size() - pos_ >= 4 && U16(stream_, pos_) == kContinue) {
            const std::uint16_t length = U16(stream_, pos_ + 2);
            if (stream_.size() - pos_ - 4 < length) break;
            blocks.push_back(stream_.substr(pos_ + 4, length));
            pos_ += 4 + std::size_t{length};
        }
        return blocks;
    }

private:
    std::string_view stream_;
    std::size_t pos_;
};

}  // namespace

// Friend of BiffSheet: fills it from the stream.
class BiffReader {
public:
    struct Pending {
        int row, column;
    };

    explicit BiffReader(std::string_view stream) : stream_(stream) {}

    std::expected<BiffSheet, BiffProblem> Read() {
        auto sheetAt = ReadGlobals();
        if (!sheetAt) return std::unexpected(sheetAt.error());
        if (auto read = ReadSheet(*sheetAt); !read) return std::unexpected(read.error());
        return std::move(sheet_);
    }

private:
    std::expected<std::size_t, BiffProblem> ReadGlobals() {
        Records records(stream_, 0);
        auto bof = records.Next();
        if (!bof) return std::unexpected(bof.error());
        if (!*bof) return Damaged("its workbook stream is empty");
        const Record& first = **bof;
        if (first.type == kBof2 || first.type == kBof3 || first.type == kBof4)
            return std::unexpected(BiffProblem{BiffProblem::Kind::OldExcel, {}});
        if (first.type != kBof || first.data.size() < 4) return Damaged("its workbook does not begin with a header");
        const std::uint16_t version = U16(first.data, 0);
        if (version == 0x0200 || version == 0x0300 || version == 0x0400)
            return std::unexpected(BiffProblem{BiffProblem::Kind::OldExcel, {}});
        if (version != 0x0500 && version != 0x0600) return Damaged("its workbook has an unknown version");
        biff8_ = version == 0x0600;
        if (U16(first.data, 2) != kGlobals) return Damaged("its workbook does not begin with its globals");

        std::optional<std::size_t> sheetAt;
        for (;;) {
            auto next = records.Next();
            if (!next) return std::unexpected(next.error());
            if (!*next) return Damaged("its workbook globals have no end");
            const Record& r = **next;
            if (r.type == kEof) break;
            if (r.type == kFilePass) return std::unexpected(BiffProblem{BiffProblem::Kind::Encrypted, {}});
            if (r.type == kCodePage && r.data.size() >= 2) codePage_ = U16(r.data, 0);
            if (r.type == kBoundSheet && r.data.size() >= 6 && !sheetAt && static_cast<std::uint8_t>(r.data[5]) == 0) {
                sheetAt = U32(r.data, 0);
                // Hidden (1) or very hidden (2): the operator is told which sheet was read.
                if ((static_cast<std::uint8_t>(r.data[4]) & 3) != 0) sheet_.hiddenName_ = SheetName(r.data);
            }
            if (r.type == kSst && biff8_) {
                std::vector<std::string_view> blocks{r.data};
                std::size_t bytes = r.data.size();
                for (auto block : records.Continues()) {
                    blocks.push_back(block);
                    bytes += block.size();
                }
                if (auto read = ReadSharedStrings(Pieces(std::move(blocks)), bytes); !read)
                    return std::unexpected(read.error());
            }
        }
        if (!sheetAt) return std::unexpected(BiffProblem{BiffProblem::Kind::NoWorksheet, {}});
        return *sheetAt;
    }

    // Room for the most the strings can take (a string has at least three bytes, and a
    // byte becomes at most two of UTF-8), so the tables never grow by doubling past the bound.
    std::expected<void, BiffProblem> ReadSharedStrings(Pieces in, std::size_t bytes) {
        sheet_.shared_.reserve(std::min(2 * bytes, kHeldBytes));
        sheet_.sharedEnds_.reserve(std::min(bytes / 3 + 1, kHeldBytes / 4));
        if (!in.Skip(8)) return Damaged("its shared strings are damaged");
        std::string item;
        while (!in.AtEnd()) {
            item.clear();
            if (!UnicodeString(in, item)) return Damaged("its shared strings are damaged");
            if (Held() + item.size() + 4 > kHeldBytes)
                return std::unexpected(BiffProblem{BiffProblem::Kind::TooLarge, {}});
            sheet_.shared_ += item;
            sheet_.sharedEnds_.push_back(static_cast<std::uint32_t>(sheet_.shared_.size()));
        }
        return {};
    }

    // A BOUNDSHEET's name: a short BIFF8 string, or 8-bit text in the code page for Excel 5/95.
    std::string SheetName(std::string_view data) const {
        if (data.size() < 7) return {};
        const std::size_t length = static_cast<std::uint8_t>(data[6]);
        if (!biff8_) {
            const std::string_view bytes = data.substr(7, length);
            if (codePage_ == 1252) return Windows1252ToUtf8(bytes);
            return CodePageToUtf8(bytes, codePage_).value_or(Windows1252ToUtf8(bytes));
        }
        if (data.size() < 8) return {};
        const bool wide = (static_cast<std::uint8_t>(data[7]) & 1) != 0;
        const std::string_view chars = data.substr(8);
        if (!wide) return Windows1252ToUtf8(chars.substr(0, length));
        // A name is for the operator's eyes: two bytes a character, as UTF-16 would take them.
        return CodePageToUtf8(chars.substr(0, std::min(chars.size(), 2 * length)), 1200).value_or("");
    }

    // Excel 5/95 text: 8 bits in the workbook's code page.
    void PutByteText(int row, int column, std::string_view bytes) {
        const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; });
        // 1252 itself, its Excel 2-4 number, and US-ASCII (high bytes taken as 1252).
        if (ascii || codePage_ == 1252 || codePage_ == 0x8001 || codePage_ == 367) {
            std::string text = Windows1252ToUtf8(bytes);
            textBytes_ += text.size();
            sheet_.PutText(row, column, std::move(text));
        } else if (auto text = CodePageToUtf8(bytes, codePage_)) {
            textBytes_ += text->size();
            sheet_.PutText(row, column, std::move(*text));
        } else {
            BiffCell& cell = sheet_.Put(row, column);
            cell.kind = BiffCell::Kind::ForeignText;
            cell.number = codePage_;
        }
    }

    // LABEL, RSTRING and STRING: a BIFF8 string, or an 8-bit one with a 16-bit length.
    bool PutString(int row, int column, std::vector<std::string_view> blocks) {
        if (biff8_) {
            std::string text;
            Pieces in(std::move(blocks));
            if (!UnicodeString(in, text)) return false;
            textBytes_ += text.size();
            sheet_.PutText(row, column, std::move(text));
            return true;
        }
        const std::string_view data = blocks.front();
        if (data.size() < 2 || data.size() - 2 < U16(data, 0)) return false;
        PutByteText(row, column, data.substr(2, U16(data, 0)));
        return true;
    }

    std::expected<void, BiffProblem> ReadSheet(std::size_t at) {
        if (at >= stream_.size()) return Damaged("its first worksheet lies outside the workbook");
        Records records(stream_, at);
        auto bof = records.Next();
        if (!bof) return std::unexpected(bof.error());
        if (!*bof || (*bof)->type != kBof || (*bof)->data.size() < 4 || U16((*bof)->data, 2) != kWorksheet)
            return Damaged("its first worksheet is not where the workbook says");
        int depth = 0;  // charts embedded in the sheet have records of their own
        std::optional<Pending> pending;  // a formula cell waiting for its STRING
        for (;;) {
            auto next = records.Next();
            if (!next) return std::unexpected(next.error());
            if (!*next) return Damaged("its first worksheet has no end");
            const Record& r = **next;
            if (r.type == kBof) {
                ++depth;
                continue;
            }
            if (r.type == kEof) {
                if (depth == 0) return {};
                --depth;
                continue;
            }
            if (depth > 0) continue;
            if (r.type == kString) {
                if (pending) {
                    std::vector<std::string_view> blocks{r.data};
                    for (auto block : records.Continues()) blocks.push_back(block);
                    if (!PutString(pending->row, pending->column, std::move(blocks)))
                        return Damaged("the text result of cell " + Name(pending->row, pending->column) +
                                       " is damaged");
                    pending.reset();
                    if (Held() > kHeldBytes) return std::unexpected(BiffProblem{BiffProblem::Kind::TooLarge, {}});
                }
                continue;
            }
            if (r.type == kShrFmla || r.type == kArray || r.type == kTable || r.type == kContinue) continue;
            if (!IsCell(r.type)) continue;
            pending.reset();
            if (r.data.size() < 6) return Damaged("a cell record is too short");
            const int row = U16(r.data, 0);
            const int column = U16(r.data, 2);
            if (auto put = PutCell(r, row, column, pending); !put) return put;
            if (Held() > kHeldBytes) return std::unexpected(BiffProblem{BiffProblem::Kind::TooLarge, {}});
        }
    }

    static bool IsCell(std::uint16_t type) {
        switch (type) {
            case kNumber:
            case kRk:
            case kMulRk:
            case kLabelSst:
            case kLabel:
            case kRString:
            case kBoolErr:
            case kBlank:
            case kMulBlank:
            case kFormula: return true;
            default: return false;
        }
    }

    static std::string Name(int row, int column) { return CellName(row + 1, column + 1); }

    std::expected<void, BiffProblem> PutCell(const Record& r, int row, int column, std::optional<Pending>& pending) {
        const std::string_view d = r.data;
        auto tooShort = [&] { return Damaged("the record of cell " + Name(row, column) + " is too short"); };
        using Kind = BiffCell::Kind;
        if (r.type == kMulRk || r.type == kMulBlank) {
            const std::size_t width = r.type == kMulRk ? 6 : 2;
            const std::size_t count = (d.size() - 6) / width;  // the last column closes the record
            for (std::size_t i = 0; i < count && column + static_cast<int>(i) < kKeptColumns; ++i) {
                BiffCell& cell = sheet_.Put(row, column + static_cast<int>(i));
                if (r.type == kMulRk) {
                    cell.kind = Kind::Number;
                    cell.number = RkValue(U32(d, 4 + width * i + 2));
                } else {
                    cell.kind = Kind::Empty;
                }
            }
            return {};
        }
        if (column >= kKeptColumns) return {};
        switch (r.type) {
            case kNumber: {
                if (d.size() < 14) return tooShort();
                BiffCell& cell = sheet_.Put(row, column);
                cell.kind = Kind::Number;
                cell.number = F64(d, 6);
                break;
            }
            case kRk: {
                if (d.size() < 10) return tooShort();
                BiffCell& cell = sheet_.Put(row, column);
                cell.kind = Kind::Number;
                cell.number = RkValue(U32(d, 6));
                break;
            }
            case kLabelSst: {
                if (d.size() < 10) return tooShort();
                BiffCell& cell = sheet_.Put(row, column);
                cell.kind = Kind::Shared;
                cell.number = U32(d, 6);
                break;
            }
            case kLabel:
            case kRString:
                if (!PutString(row, column, {d.substr(6)}))
                    return Damaged("the text of cell " + Name(row, column) + " is damaged");
                break;
            case kBoolErr: {
                if (d.size() < 8) return tooShort();
                BiffCell& cell = sheet_.Put(row, column);
                cell.kind = d[7] ? Kind::Error : Kind::Boolean;
                cell.number = static_cast<std::uint8_t>(d[6]);
                break;
            }
            case kBlank: sheet_.Put(row, column).kind = Kind::Empty; break;
            case kFormula: {
                if (d.size() < 20) return tooShort();
                BiffCell& cell = sheet_.Put(row, column);
                if (U16(d, 12) != 0xFFFF) {
                    cell.kind = Kind::Number;
                    cell.number = F64(d, 6);
                    break;
                }
                switch (static_cast<std::uint8_t>(d[6])) {
                    case 0:
                        cell.kind = Kind::MissingResult;
                        pending = Pending{row, column};
                        break;
                    case 1:
                        cell.kind = Kind::Boolean;
                        cell.number = d[8] ? 1 : 0;
                        break;
                    case 2:
                        cell.kind = Kind::Error;
                        cell.number = static_cast<std::uint8_t>(d[8]);
                        break;
                    case 3: sheet_.PutText(row, column, {}); break;
                    default: return Damaged("the formula result of cell " + Name(row, column) + " is damaged");
                }
                break;
            }
            default: break;
        }
        return {};
    }

    // What the sheet holds of texts, counting every text written, also over another.
    std::size_t Held() const { return sheet_.shared_.size() + 4 * sheet_.sharedEnds_.size() + textBytes_; }

    std::string_view stream_;
    std::size_t textBytes_ = 0;
    bool biff8_ = true;
    std::uint16_t codePage_ = 1252;
    BiffSheet sheet_;
};

const BiffCell* BiffSheet::At(int row, int column) const {
    if (row < 1 || column < 1 || column > kKeptColumns || static_cast<std::size_t>(row) > rowSlots_.size())
        return nullptr;
    const std::int32_t slot = rowSlots_[static_cast<std::size_t>(row) - 1];
    return slot < 0 ? nullptr : &rows_[static_cast<std::size_t>(slot)][static_cast<std::size_t>(column) - 1];
}

std::string_view BiffSheet::Text(const BiffCell& cell) const {
    if (cell.kind == BiffCell::Kind::Text) return texts_[cell.text - 1];
    if (cell.kind != BiffCell::Kind::Shared || cell.number >= static_cast<double>(sharedEnds_.size())) return {};
    const auto index = static_cast<std::size_t>(cell.number);
    const std::size_t begin = index == 0 ? 0 : sharedEnds_[index - 1];
    return std::string_view(shared_).substr(begin, sharedEnds_[index] - begin);
}

std::string_view BiffSheet::ErrorText(double code) {
    switch (static_cast<int>(code)) {
        case 0x00: return "#NULL!";
        case 0x07: return "#DIV/0!";
        case 0x0F: return "#VALUE!";
        case 0x17: return "#REF!";
        case 0x1D: return "#NAME?";
        case 0x24: return "#NUM!";
        case 0x2B: return "#GETTING_DATA";
        default: return "#N/A";
    }
}

BiffCell& BiffSheet::Put(int rowIndex, int columnIndex) {
    const auto row = static_cast<std::size_t>(rowIndex);
    if (row >= rowSlots_.size()) rowSlots_.resize(row + 1, -1);
    if (rowSlots_[row] < 0) {
        rowSlots_[row] = static_cast<std::int32_t>(rows_.size());
        rows_.emplace_back();
    }
    return rows_[static_cast<std::size_t>(rowSlots_[row])][static_cast<std::size_t>(columnIndex)];
}

void BiffSheet::PutText(int rowIndex, int columnIndex, std::string text) {
    BiffCell& cell = Put(rowIndex, columnIndex);
    cell.kind = BiffCell::Kind::Text;
    // A cell written again keeps its slot, so repeats cannot pile up texts.
    if (cell.text == 0) {
        texts_.push_back(std::move(text));
        cell.text = static_cast<std::uint32_t>(texts_.size());
    } else {
        texts_[cell.text - 1] = std::move(text);
    }
}

std::expected<BiffSheet, BiffProblem> ReadBiffWorkbook(std::string_view stream) { return BiffReader(stream).Read(); }

}  // namespace tarnwick
