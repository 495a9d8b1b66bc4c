#include "startup/config_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "labels/numbers.h"
#include "labels/windows1252.h"
#include "startup/sqlite_file.h"

namespace tarnwick {
namespace {

struct Field {
    std::string text;
    bool quoted = false;
};

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Fields the way sequential text input reads them: commas and line ends
// separate; a quoted field keeps its commas and leading zeros.
std::vector<Field> SplitFields(std::string_view text, std::size_t wanted) {
    std::vector<Field> fields;
    std::size_t pos = 0;
    bool afterComma = false;  // a comma promises one more field, even at the end
    while (fields.size() < wanted) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
        if (pos >= text.size() && !afterComma) break;
        Field field;
        if (pos < text.size() && text[pos] == '"') {
            field.quoted = true;
            const std::size_t close = text.find('"', pos + 1);
            const std::size_t end = close == std::string_view::npos ? text.size() : close;
            field.text = text.substr(pos + 1, end - pos - 1);
            pos = end == text.size() ? end : end + 1;
            while (pos < text.size() && text[pos] != ',' && !IsLineEnd(text[pos])) ++pos;
        } else {
            const std::size_t start = pos;
            while (pos < text.size() && text[pos] != ',' && !IsLineEnd(text[pos])) ++pos;
            std::size_t end = pos;
            while (end > start && text[end - 1] == ' ') --end;
            field.text = text.substr(start, end - start);
        }
        afterComma = false;
        if (pos < text.size()) {
            if (text[pos] == ',') {
                afterComma = true;
                ++pos;
            } else if (text[pos] == '\r') {
                ++pos;
                if (pos < text.size() && text[pos] == '\n') ++pos;
            } else {
                ++pos;
            }
        }
        fields.push_back(std::move(field));
    }
    return fields;
}

BaseValue BaseHValue(const Field& field) {
    if (!field.quoted && IsWholeNumberText(field.text)) return LeadingNumber(field.text);
    return field.text;
}

}  // namespace

std::expected<ConfigValues, Failure> ParseConfigText(std::string_view bytes, const std::string& fileName) {
    std::string text = DecodeText(bytes);
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    const std::vector<Field> fields = SplitFields(text, 13);
    if (fields.size() < 11)
        return std::unexpected(StartUpFailure(
            "The settings file \"" + fileName + "\" holds " + std::to_string(fields.size()) +
            (fields.size() == 1 ? " field" : " fields") +
            "; it needs 11: a heading line, then StartRow, ExtraQty, SpareValue, BaseH and BaseV, each on a line "
            "of the form label,value. Correct the file, then try again."));

    ConfigValues config;
    config.StartRow = fields[2].text;
    config.ExtraQty = fields[4].text;
    config.SpareValue = fields[6].text;
    config.BaseH = BaseHValue(fields[8]);
    config.BaseV = fields[10].text;
    if (fields.size() >= 13) config.ParallelPort = fields[12].text;

    if (!RoundToInt16(LeadingNumber(config.StartRow)))
        return std::unexpected(StartUpFailure("The settings file \"" + fileName + "\" gives StartRow as \"" +
                                              config.StartRow +
                                              "\", which is outside -32768 to 32767. Set StartRow to the first "
                                              "cut-sheet row that holds data, then try again."));
    return config;
}

std::expected<ConfigValues, Failure> ReadConfigFile(const std::filesystem::path& folder) {
    const std::filesystem::path file = folder / "config.txt";
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (!std::filesystem::exists(status))
        return std::unexpected(StartUpFailure("The settings file \"" + file.string() +
                                              "\" is missing. Put the plant's config.txt in that folder, then "
                                              "try again."));
    if (std::filesystem::is_directory(status))
        return std::unexpected(StartUpFailure("The settings file \"" + file.string() +
                                              "\" is a folder, not a file. Put the plant's config.txt there "
                                              "instead."));
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    if (in) bytes << in.rdbuf();
    if (!in || in.bad())
        return std::unexpected(StartUpFailure("The settings file \"" + file.string() + "\" cannot be read: " +
                                              std::strerror(errno) + ". Check its permissions, then try again."));
    return ParseConfigText(bytes.str(), file.string());
}

std::filesystem::path RawDevicePath(const ConfigValues& config, const std::filesystem::path& folder) {
    if (config.ParallelPort.empty()) return "/dev/lp0";
    const std::filesystem::path device(config.ParallelPort);
    return device.is_absolute() ? device : folder / device;
}

}  // namespace tarnwick
