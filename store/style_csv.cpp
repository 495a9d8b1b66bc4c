#include "store/style_csv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "base/ascii_case.h"
#include "base/windows1252.h"

namespace tarnwick {
namespace {

std::string Trimmed(std::string_view text) {
    std::size_t first = 0, last = text.size();
    while (first < last && (text[first] == ' ' || text[first] == '\t')) ++first;
    while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) --last;
    return std::string(text.substr(first, last - first));
}

struct Line {
    std::vector<std::string> fields;
    int number = 0;
};

// Splits into records; a quoted field may hold commas and line ends.
std::expected<std::vector<Line>, int> SplitRecords(std::string_view text) {
    std::vector<Line> lines;
    Line line;
    int number = 1;
    line.number = number;
    std::size_t pos = 0;
    bool blank = true;
    while (pos <= text.size()) {
        std::string field;
        const std::size_t start = pos;
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
        if (pos < text.size() && text[pos] == '"') {
            const int openedOn = number;
            ++pos;
            for (;;) {
                if (pos >= text.size()) return std::unexpected(openedOn);
                if (text[pos] == '"') {
                    if (pos + 1 < text.size() && text[pos + 1] == '"') {
                        field.push_back('"');
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                if (text[pos] == '\n') ++number;
                field.push_back(text[pos++]);
            }
            // Whatever follows the closing quote up to the next comma is dropped.
            while (pos < text.size() && text[pos] != ',' && text[pos] != '\r' && text[pos] != '\n') ++pos;
            blank = false;
        } else {
            pos = start;
            while (pos < text.size() && text[pos] != ',' && text[pos] != '\r' && text[pos] != '\n') ++pos;
            field = Trimmed(text.substr(start, pos - start));
            if (!field.empty()) blank = false;
        }
        line.fields.push_back(std::move(field));
        if (pos < text.size() && text[pos] == ',') {
            blank = false;
            ++pos;
            continue;
        }
        if (!blank) lines.push_back(std::move(line));
        if (pos >= text.size()) break;
        if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++pos;
        ++pos;
        ++number;
        line = Line{};
        line.number = number;
        blank = true;
        if (pos == text.size()) break;
    }
    return lines;
}

std::string Kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// A table exported whole (mdb-export writes every column, ID included): a heading line
// that names the style and code columns picks them, heading included, from every line.
std::optional<Failure> PickNamedColumns(std::vector<Line>& lines, const std::string& fileName) {
    if (lines.empty()) return std::nullopt;
    std::optional<std::size_t> style, code;
    const std::vector<std::string>& heading = lines.front().fields;
    for (std::size_t i = 0; i < heading.size(); ++i) {
        const std::string name = AsciiLower(heading[i]);
        if (name == "style" && !style) style = i;
        else if ((name == "printstyle" || name == "code") && !code) code = i;
    }
    if (!style || !code) return std::nullopt;
    const std::size_t count = heading.size();
    for (Line& line : lines) {
        while (line.fields.size() > count && line.fields.back().empty()) line.fields.pop_back();
        if (line.fields.size() != count)
            return Failure{"\"" + fileName + "\", line " + std::to_string(line.number) + " has " +
                           std::to_string(line.fields.size()) + (line.fields.size() == 1 ? " field" : " fields") +
                           "; the heading line names " + std::to_string(count) +
                           " columns. Correct the file; nothing was imported."};
        line.fields = {line.fields[*style], line.fields[*code]};
    }
    return std::nullopt;
}

}  // namespace

std::expected<std::vector<StyleCode>, Failure> ReadStyleCsv(const std::filesystem::path& file) {
    const std::string name = "\"" + file.string() + "\"";
    auto refused = [&](const std::string& why) {
        return std::unexpected(Failure{"Cannot read the style list " + name + ": " + why +
                                       ". Give the CSV file of style,code lines; nothing was imported."});
    };
    // O_NONBLOCK: opening a FIFO must not wait for a writer; fstat then tells what it is.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return refused(std::strerror(errno));
    std::string bytes;
    struct stat info {};
    int error = 0;
    if (::fstat(fd, &info) != 0) {
        error = errno;
    } else if (S_ISREG(info.st_mode)) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) bytes.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0) break;
            else if (errno != EINTR) {
                error = errno;
                break;
            }
        }
    }
    ::close(fd);
    if (error != 0) return refused(std::strerror(error));
    if (!S_ISREG(info.st_mode)) return refused("it is " + Kind(info.st_mode) + ", not a file");
    return ParseStyleCsv(bytes, file.string());
}

std::expected<std::vector<StyleCode>, Failure> ParseStyleCsv(std::string_view bytes, const std::string& fileName) {
    std::string text = DecodeText(bytes);
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    auto lines = SplitRecords(text);
    if (lines)
        if (auto failure = PickNamedColumns(*lines, fileName)) return std::unexpected(std::move(*failure));
    if (!lines)
        return std::unexpected(Failure{"\"" + fileName + "\", line " + std::to_string(lines.error()) +
                                       ": a double quote is never closed. Correct the file; nothing was imported."});
    std::vector<StyleCode> rows;
    for (std::size_t i = 0; i < lines->size(); ++i) {
        const Line& line = (*lines)[i];
        std::vector<std::string> fields = line.fields;
        // Spreadsheets often save empty trailing columns.
        while (fields.size() > 2 && fields.back().empty()) fields.pop_back();
        if (i == 0 && fields.size() == 2 && AsciiLower(fields[0]) == "style" &&
            (AsciiLower(fields[1]) == "printstyle" || AsciiLower(fields[1]) == "code"))
            continue;
        if (fields.size() != 2)
            return std::unexpected(Failure{"\"" + fileName + "\", line " + std::to_string(line.number) + " has " +
                                           std::to_string(fields.size()) + (fields.size() == 1 ? " field" : " fields") +
                                           "; each line must be style,code. Correct the file; nothing was "
                                           "imported."});
        if (fields[0].empty())
            return std::unexpected(Failure{"\"" + fileName + "\", line " + std::to_string(line.number) +
                                           " has no style. Correct the file; nothing was imported."});
        if (!IsKnownStyleCode(fields[1]))
            return std::unexpected(Failure{"\"" + fileName + "\", line " + std::to_string(line.number) + ": \"" +
                                           fields[1] + "\" is not a layout code; use one of " + KnownStyleCodes() +
                                           ". Correct the file; nothing was imported."});
        rows.push_back(StyleCode{fields[0], fields[1]});
    }
    return rows;
}

}  // namespace tarnwick
