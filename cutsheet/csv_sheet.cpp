#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cutsheet/cell_results.h"
#include "cutsheet/cut_sheet.h"
#include "cutsheet/sheet_limits.h"
#include "base/windows1252.h"

namespace tarnwick {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// How far the first line is read to settle the delimiter.
constexpr std::size_t kFirstLineBytes = 1u << 20;

// Comma-separated text, read only as far as the rows asked for. Cells keep their text
// exactly as written: no number guessing, so 004512 stays 004512. The parse resumes
// where the last read ended, so every byte is looked at once whatever the length of
// a field or a line, and only the kept columns are held.
class CsvSheet final : public CutSheet {
public:
    CsvSheet(std::filesystem::path file, std::unique_ptr<std::FILE, FileCloser> handle)
        : CutSheet(file), file_(std::move(file)), handle_(std::move(handle)) {}

    std::expected<void, Failure> Start() {
        // The delimiter is settled by the first line, so read at least that far.
        while (!eof_ && buffer_.size() < kFirstLineBytes && buffer_.find_first_of("\r\n") == std::string::npos) {
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
        if (row < 1 || column < 1 || column > kKeptColumns) return EmptyCell();
        while (RowCount() < row && !finished_) {
            if (auto parsed = ParseRecord(); !parsed) return std::unexpected(parsed.error());
        }
        if (row > RowCount()) return EmptyCell();
        const std::size_t first = rowStarts_[row - 1];
        const std::size_t fields = rowStarts_[row] - first;
        if (static_cast<std::size_t>(column) > fields) return EmptyCell();
        if (std::binary_search(tooLong_.begin(), tooLong_.end(), std::pair{row, column}))
            return std::unexpected(ReadFailure(file_, TooLongProblem(row, column)));
        const std::size_t end = fieldEnds_[first + column - 1];
        const std::size_t begin =
            column == 1 ? (first == 0 ? 0 : fieldEnds_[first - 1]) : fieldEnds_[first + column - 2];
        if (begin == end) return EmptyCell();
        std::string text = DecodeText(std::string_view(cells_).substr(begin, end - begin));
        if (Utf8Characters(text) > kCellCharacters)
            return std::unexpected(ReadFailure(file_, TooLongProblem(row, column)));
        return TextCell(std::move(text));
    }

private:
    // Where the parse stands between two bytes.
    enum class State { FieldStart, Unquoted, Quoted, QuoteInQuoted };

    int RowCount() const { return static_cast<int>(rowStarts_.size()) - 1; }

    std::expected<bool, Failure> ReadMore() {
        if (eof_) return false;
        if (pos_ == buffer_.size() && pos_ > 0) {
            buffer_.clear();
            pos_ = 0;
        }
        const std::size_t old = buffer_.size();
        buffer_.resize(old + kChunk);
        const std::size_t got = std::fread(buffer_.data() + old, 1, kChunk, handle_.get());
        buffer_.resize(old + got);
        read_ += got;
        if (got < kChunk) {
            if (std::ferror(handle_.get())) return std::unexpected(ReadFailure(file_, "the file could not be read"));
            eof_ = true;
        }
        return got > 0;
    }

    void Keep(std::string_view bytes) {
        if (column_ > kKeptColumns || bytes.empty()) return;
        if (fieldBytes_ + bytes.size() > kCellBytes) {
            fieldTooLong_ = true;
            return;
        }
        fieldBytes_ += bytes.size();
        cells_.append(bytes);
    }

    void CountLineBreaks(std::string_view bytes) {
        for (char c : bytes) {
            if (c == '\r' || (c == '\n' && lastByte_ != '\r')) ++line_;
            lastByte_ = c;
        }
    }

    void EndField() {
        if (column_ <= kKeptColumns) {
            fieldEnds_.push_back(cells_.size());
            if (fieldTooLong_) tooLong_.emplace_back(RowCount() + 1, column_);
        }
        ++column_;
        fieldBytes_ = 0;
        fieldTooLong_ = false;
        state_ = State::FieldStart;
    }

    void EndRecord() {
        EndField();
        rowStarts_.push_back(fieldEnds_.size());
        column_ = 1;
        recordStarted_ = false;
    }

    std::size_t Held() const {
        return cells_.size() + sizeof(std::size_t) * (fieldEnds_.size() + rowStarts_.size()) +
               sizeof(std::pair<int, int>) * tooLong_.size();
    }

    // Parses the next record, reading more of the file as needed.
    std::expected<void, Failure> ParseRecord() {
        const int rows = RowCount();
        while (RowCount() == rows && !finished_) {
            if (pos_ == buffer_.size()) {
                if (read_ > kReadBytes) return std::unexpected(ReadFailure(file_, ReadTooMuchProblem("it")));
                if (auto more = ReadMore(); !more) return std::unexpected(more.error());
                if (pos_ == buffer_.size() && eof_) {
                    if (state_ == State::Quoted)
                        return std::unexpected(ReadFailure(
                            file_, "the quote opened on line " + std::to_string(quoteLine_) + " is never closed"));
                    if (recordStarted_) EndRecord();
                    finished_ = true;
                }
                continue;
            }
            Consume();
            if (Held() > kHeldBytes) return std::unexpected(ReadFailure(file_, HeldTooMuchProblem()));
        }
        return {};
    }

    // Takes bytes from the buffer until a record ends or the buffer does.
    void Consume() {
        const std::string_view buf(buffer_);
        const int rows = RowCount();
        while (pos_ < buf.size() && RowCount() == rows) {
            const char c = buf[pos_];
            if (skipLineFeed_) {
                skipLineFeed_ = false;
                if (c == '\n') {
                    lastByte_ = c;
                    ++pos_;
                    continue;
                }
            }
            recordStarted_ = true;
            switch (state_) {
                case State::FieldStart:
                    if (c == '"') {
                        quoteLine_ = line_;
                        state_ = State::Quoted;
                        lastByte_ = c;
                        ++pos_;
                        break;
                    }
                    state_ = State::Unquoted;
                    [[fallthrough]];
                case State::Unquoted: {
                    // Unquoted text, or stray text after a closing quote, runs to the delimiter.
                    std::size_t stop = pos_;
                    while (stop < buf.size() && buf[stop] != delimiter_ && buf[stop] != '\r' && buf[stop] != '\n')
                        ++stop;
                    Keep(buf.substr(pos_, stop - pos_));
                    pos_ = stop;
                    if (stop == buf.size()) break;
                    const char end = buf[stop];
                    lastByte_ = end;
                    ++pos_;
                    if (end == delimiter_) {
                        EndField();
                    } else {
                        ++line_;
                        skipLineFeed_ = end == '\r';
                        EndRecord();
                    }
                    break;
                }
                case State::Quoted: {
                    const std::size_t quote = buf.find('"', pos_);
                    const std::size_t stop = quote == std::string_view::npos ? buf.size() : quote;
                    Keep(buf.substr(pos_, stop - pos_));
                    CountLineBreaks(buf.substr(pos_, stop - pos_));
                    pos_ = stop;
                    if (stop < buf.size()) {
                        state_ = State::QuoteInQuoted;
                        lastByte_ = '"';
                        ++pos_;
                    }
                    break;
                }
                case State::QuoteInQuoted:
                    if (c == '"') {
                        Keep("\"");
                        lastByte_ = c;
                        ++pos_;
                        state_ = State::Quoted;
                    } else {
                        state_ = State::Unquoted;  // the closing quote; c is read again as plain text
                    }
                    break;
            }
        }
    }

    std::filesystem::path file_;
    std::unique_ptr<std::FILE, FileCloser> handle_;
    std::string buffer_;
    std::size_t pos_ = 0;
    std::uint64_t read_ = 0;
    bool eof_ = false;
    bool finished_ = false;
    char delimiter_ = ',';
    // The record being parsed.
    State state_ = State::FieldStart;
    int column_ = 1;
    std::size_t fieldBytes_ = 0;
    bool fieldTooLong_ = false, recordStarted_ = false, skipLineFeed_ = false;
    char lastByte_ = 0;
    int line_ = 1, quoteLine_ = 1;
    // Every kept field read so far, back to back; fieldEnds_ marks where each ends and
    // rowStarts_ which field begins each row (with one entry past the last row).
    std::string cells_;
    std::vector<std::size_t> fieldEnds_;
    std::vector<std::size_t> rowStarts_{0};
    std::vector<std::pair<int, int>> tooLong_;  // (row, column) of cells past the limit, ascending
};

}  // namespace

std::expected<std::unique_ptr<CutSheet>, Failure> OpenCsvSheet(const std::filesystem::path& file) {
    // Without waiting, as a FIFO put in the file's place would make it wait for ever.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        return std::unexpected(ReadFailure(file, "it is not a regular file"));
    }
    std::unique_ptr<std::FILE, FileCloser> handle(fd >= 0 ? ::fdopen(fd, "rb") : nullptr);
    if (!handle) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        return std::unexpected(
            ReadFailure(file, std::string("the file could not be opened (") + std::strerror(error) + ")"));
    }
    auto sheet = std::make_unique<CsvSheet>(file, std::move(handle));
    if (auto started = sheet->Start(); !started) return std::unexpected(started.error());
    return sheet;
}

}  // namespace tarnwick
