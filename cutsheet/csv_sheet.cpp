#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cutsheet/cell_results.h"
#include "cutsheet/cut_sheet.h"
#include "labels/windows1252.h"

namespace tarnwick {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Comma-separated text, read only as far as the rows asked for. Cells keep their text
// exactly as written: no number guessing, so 004512 stays 004512.
class CsvSheet final : public CutSheet {
public:
    CsvSheet(std::filesystem::path file, std::unique_ptr<std::FILE, FileCloser> handle)
        : CutSheet(file), file_(std::move(file)), handle_(std::move(handle)) {}

    std::expected<void, Failure> Start() {
        // The delimiter is settled by the first line, so read at least that far.
        while (!eof_ && buffer_.find_first_of("\r\n") == std::string::npos) {
            if (auto more = ReadMore(); !more) return std::unexpected(more.error());
        }
        if (buffer_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
        const std::string_view all(buffer_);
        const std::string_view firstLine = all.substr(pos_, all.find_first_of("\r\n", pos_) - pos_);
        if (firstLine.find(';') != std::string_view::npos && firstLine.find(',') == std::string_view::npos)
            delimiter_ = ';';
        return {};
    }

    std::expected<CellValue, Failure> Cell(int row, int column) override {
        if (row < 1 || column < 1) return EmptyCell();
        while (RowCount() < row && !finished_) {
            if (auto parsed = ParseRecord(); !parsed) return std::unexpected(parsed.error());
        }
        if (row > RowCount()) return EmptyCell();
        const std::size_t first = rowStarts_[row - 1];
        const std::size_t fields = rowStarts_[row] - first;
        if (static_cast<std::size_t>(column) > fields) return EmptyCell();
        const std::size_t end = fieldEnds_[first + column - 1];
        const std::size_t begin = column == 1 ? (first == 0 ? 0 : fieldEnds_[first - 1]) : fieldEnds_[first + column - 2];
        if (begin == end) return EmptyCell();
        return TextCell(DecodeText(std::string_view(cells_).substr(begin, end - begin)));
    }

private:
    enum class Step { Record, NeedMore };

    int RowCount() const { return static_cast<int>(rowStarts_.size()) - 1; }

    // Forgets a record begun but not finished, to parse it again with more bytes.
    Step Incomplete(std::size_t cellsSize, std::size_t fieldCount) {
        cells_.resize(cellsSize);
        fieldEnds_.resize(fieldCount);
        return Step::NeedMore;
    }

    std::expected<bool, Failure> ReadMore() {
        if (eof_) return false;
        const std::size_t old = buffer_.size();
        buffer_.resize(old + kChunk);
        const std::size_t got = std::fread(buffer_.data() + old, 1, kChunk, handle_.get());
        buffer_.resize(old + got);
        if (got < kChunk) {
            if (std::ferror(handle_.get())) return std::unexpected(ReadFailure(file_, "the file could not be read"));
            eof_ = true;
        }
        return got > 0;
    }

    // Parses the next record into rows_, reading more of the file as needed.
    std::expected<void, Failure> ParseRecord() {
        for (;;) {
            auto step = TryParseRecord();
            if (!step) return std::unexpected(step.error());
            if (*step == Step::Record) return {};
            if (auto more = ReadMore(); !more) return std::unexpected(more.error());
            // Bytes already consumed are no longer needed.
            if (pos_ > (1u << 20)) {
                buffer_.erase(0, pos_);
                pos_ = 0;
            }
        }
    }

    static int LineBreaks(std::string_view s) {
        int n = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) ++n;
            else if (s[i] == '\r') ++n;
        }
        return n;
    }

    std::expected<Step, Failure> TryParseRecord() {
        const std::string_view buf(buffer_);
        std::size_t i = pos_;
        if (i >= buf.size()) {
            if (!eof_) return Step::NeedMore;
            finished_ = true;
            return Step::Record;
        }
        int lines = 0;
        const std::size_t cellsSize = cells_.size();
        const std::size_t fieldCount = fieldEnds_.size();
        for (;;) {
            if (i < buf.size() && buf[i] == '"') {
                const int openedOnLine = line_ + lines;
                ++i;
                for (;;) {
                    const std::size_t q = buf.find('"', i);
                    if (q == std::string_view::npos) {
                        if (!eof_) return Incomplete(cellsSize, fieldCount);
                        return std::unexpected(ReadFailure(
                            file_, "the quote opened on line " + std::to_string(openedOnLine) + " is never closed"));
                    }
                    cells_.append(buf.substr(i, q - i));
                    lines += LineBreaks(buf.substr(i, q - i));
                    if (q + 1 == buf.size() && !eof_) return Incomplete(cellsSize, fieldCount);
                    if (q + 1 < buf.size() && buf[q + 1] == '"') {
                        cells_.push_back('"');
                        i = q + 2;
                        continue;
                    }
                    i = q + 1;
                    break;
                }
            }
            // Unquoted text, or stray text after a closing quote, runs to the delimiter.
            std::size_t stop = i;
            while (stop < buf.size() && buf[stop] != delimiter_ && buf[stop] != '\r' && buf[stop] != '\n') ++stop;
            if (stop == buf.size() && !eof_) return Incomplete(cellsSize, fieldCount);
            cells_.append(buf.substr(i, stop - i));
            fieldEnds_.push_back(cells_.size());
            if (stop == buf.size()) {
                i = stop;
                break;
            }
            i = stop + 1;
            if (buf[stop] == delimiter_) continue;
            if (buf[stop] == '\r') {
                if (i == buf.size() && !eof_) return Incomplete(cellsSize, fieldCount);
                if (i < buf.size() && buf[i] == '\n') ++i;
            }
            ++lines;
            break;
        }
        pos_ = i;
        line_ += lines;
        rowStarts_.push_back(fieldEnds_.size());
        return Step::Record;
    }

    std::filesystem::path file_;
    std::unique_ptr<std::FILE, FileCloser> handle_;
    std::string buffer_;
    std::size_t pos_ = 0;
    bool eof_ = false;
    bool finished_ = false;
    char delimiter_ = ',';
    int line_ = 1;
    // Every field read so far, back to back; fieldEnds_ marks where each ends and
    // rowStarts_ which field begins each row (with one entry past the last row).
    std::string cells_;
    std::vector<std::size_t> fieldEnds_;
    std::vector<std::size_t> rowStarts_{0};
};

}  // namespace

std::expected<std::unique_ptr<CutSheet>, Failure> OpenCsvSheet(const std::filesystem::path& file) {
    std::unique_ptr<std::FILE, FileCloser> handle(std::fopen(file.c_str(), "rb"));
    if (!handle) return std::unexpected(ReadFailure(file, "the file could not be opened"));
    auto sheet = std::make_unique<CsvSheet>(file, std::move(handle));
    if (auto started = sheet->Start(); !started) return std::unexpected(started.error());
    return sheet;
}

}  // namespace tarnwick
