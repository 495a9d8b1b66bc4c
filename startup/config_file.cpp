#include "startup/config_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "base/ascii_case.h"
#include "base/numbers.h"
#include "base/windows1252.h"
#include "store/sqlite_file.h"

namespace tarnwick {
namespace {

struct Field {
    std::string text;
    bool quoted = false;
    int line = 1;  // where the field begins
    bool startsLine = true;  // nothing but blanks before it on its line
    bool commaAfter = false;
};

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Fields the way sequential text input reads them: commas and line ends
// separate; a quoted field keeps its commas and leading zeros.
std::vector<Field> SplitFields(std::string_view text) {
    std::vector<Field> fields;
    std::size_t pos = 0;
    int line = 1;
    bool afterComma = false;  // a comma promises one more field, even at the end
    const auto countLines = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++line;
    };
    for (;;) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
        if (pos >= text.size() && !afterComma) break;
        Field field;
        field.line = line;
        field.startsLine = !afterComma;
        const std::size_t begin = pos;
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
        countLines(begin, pos);
        afterComma = false;
        if (pos < text.size()) {
            if (text[pos] == ',') {
                afterComma = true;
                field.commaAfter = true;
                ++pos;
            } else if (text[pos] == '\r') {
                ++pos;
                if (pos < text.size() && text[pos] == '\n') ++pos;
                ++line;
            } else {
                ++pos;
                ++line;
            }
        }
        fields.push_back(std::move(field));
    }
    return fields;
}

constexpr std::string_view kTimeoutLabel = "devicetimeout";
constexpr std::string_view kDeviceLabel = "parallelport";
constexpr std::string_view kPlantDatabaseLabel = "plantdatabase";
constexpr std::string_view kStationLabel = "station";
constexpr std::string_view kPlantTimeoutLabel = "planttimeout";
constexpr std::string_view kServiceListenLabel = "servicelisten";
constexpr std::string_view kServiceCertificateLabel = "servicecertificate";
constexpr std::string_view kServiceKeyLabel = "servicekey";
constexpr std::string_view kDropFolderLabel = "dropfolder";
constexpr std::string_view kSessionIdleLabel = "servicesessionidle";
constexpr int kLongestSessionIdle = 7 * 24 * 3600;
constexpr int kLongestTimeout = 3600;
constexpr int kLongestPlantTimeout = 60;

bool IsNamedPair(std::string_view label) {
    return label == kTimeoutLabel || label == kDeviceLabel || label == kPlantDatabaseLabel || label == kStationLabel ||
           label == kPlantTimeoutLabel || label == kServiceListenLabel || label == kServiceCertificateLabel ||
           label == kServiceKeyLabel || label == kDropFolderLabel || label == kSessionIdleLabel;
}

// Notepad's "Unicode" and "Unicode big endian": UTF-16 after its byte-order mark.
std::expected<std::string, std::string> Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) return std::unexpected("it ends in the middle of a UTF-16 character");
    auto unit = [&](std::size_t i) -> char32_t {
        const auto first = static_cast<unsigned char>(bytes[i]), second = static_cast<unsigned char>(bytes[i + 1]);
        return bigEndian ? (first << 8 | second) : (second << 8 | first);
    };
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
            const char32_t low = unit(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) return std::unexpected("it holds half of a UTF-16 surrogate pair");
        AppendUtf8(text, c);
    }
    return text;
}

std::expected<std::string, std::string> DecodeConfigText(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE")) return Utf16ToUtf8(bytes.substr(2), false);
    if (bytes.starts_with("\xFE\xFF")) return Utf16ToUtf8(bytes.substr(2), true);
    std::string text = DecodeText(bytes);
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    return text;
}

// The first character below 0x20 (line ends and tabs aside), 0x7F or U+0080 to U+009F,
// with its line: such a file is not the plant's settings text, or not read as it was saved.
struct ControlCharacter {
    char32_t codePoint;
    int line;
};
std::optional<ControlCharacter> FindControlCharacter(std::string_view text) {
    int line = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++line;
        if (c == '\n' || c == '\r' || c == '\t') continue;
        if (c < 0x20 || c == 0x7F) return ControlCharacter{c, line};
        if (c == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) return ControlCharacter{next, line};
        }
    }
    return std::nullopt;
}

std::string CodePointName(char32_t c) {
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(c));
    return name;
}

BaseValue BaseHValue(const Field& field) {
    if (!field.quoted && IsWholeNumberText(field.text)) return LeadingNumber(field.text);
    return field.text;
}

}  // namespace

std::expected<ConfigValues, Failure> ParseConfigText(std::string_view bytes, const std::string& fileName) {
    const auto decoded = DecodeConfigText(bytes);
    if (!decoded)
        return std::unexpected(StartUpFailure("The settings file \"" + fileName +
                                              "\" cannot be read as text: " + decoded.error() +
                                              ". Save it again as text (ANSI, UTF-8 or Unicode), then try again."));
    const std::string& text = *decoded;
    if (const auto control = FindControlCharacter(text))
        return std::unexpected(StartUpFailure(
            "The settings file \"" + fileName + "\" holds a control character (" + CodePointName(control->codePoint) +
            ") on line " + std::to_string(control->line) +
            ", so it is not a plain text file. Replace it with the plant's config.txt, or save it again as text "
            "(ANSI, UTF-8 or Unicode), then try again."));
    const std::vector<Field> fields = SplitFields(text);
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
    // Named pairs after the eleven fields. The run of pairs right after them is read as
    // the old files have it: its first pair is the device whatever its label, unless it
    // carries a name of ours. Past that run, a line that begins with one of our names is
    // read wherever it stands, so a pair appended below the notes counts; a note that
    // only mentions a name does not.
    std::map<std::string, std::size_t> named;  // label, index of its field
    const auto take = [&](std::size_t i) -> std::optional<Failure> {
        const std::string label = AsciiLower(fields[i].text);
        const auto [found, added] = named.emplace(label, i);
        if (!added && found->second != i)
            return StartUpFailure("The settings file \"" + fileName + "\" gives " + fields[i].text +
                                  " twice, on lines " + std::to_string(fields[found->second].line) + " and " +
                                  std::to_string(fields[i].line) + ". Keep one of them, then try again.");
        return std::nullopt;
    };
    for (std::size_t i = 11; i + 1 < fields.size(); i += 2) {
        const std::string label = AsciiLower(fields[i].text);
        if (!IsNamedPair(label)) {
            if (i == 11) {
                config.ParallelPort = fields[12].text;
                continue;
            }
            // A blank line between pairs is no note.
            if (fields[i].text.empty() && !fields[i].quoted) {
                --i;
                continue;
            }
            break;
        }
        if (auto twice = take(i)) return std::unexpected(*twice);
    }
    for (std::size_t i = 11; i + 1 < fields.size(); ++i) {
        if (!fields[i].startsLine || !fields[i].commaAfter || fields[i].quoted) continue;
        if (!IsNamedPair(AsciiLower(fields[i].text))) continue;
        if (auto twice = take(i)) return std::unexpected(*twice);
    }
    // An unquoted comma cuts a connection string short, and what follows it on the line
    // would be taken for the next pair.
    if (const auto plant = named.find(std::string(kPlantDatabaseLabel)); plant != named.end()) {
        const std::size_t value = plant->second + 1;
        if (fields[value].commaAfter && value + 1 < fields.size() && !IsNamedPair(AsciiLower(fields[value + 1].text)))
            return std::unexpected(StartUpFailure("The settings file \"" + fileName +
                                                  "\" gives PlantDatabase on line " +
                                                  std::to_string(fields[value].line) +
                                                  " with a comma outside double quotes, which cuts the "
                                                  "connection string after \"" +
                                                  fields[value].text +
                                                  "\". Put the whole connection string in double quotes, for example "
                                                  "PlantDatabase,\"host=db1,db2 dbname=plant\", then try again."));
    }
    const auto valueOf = [&](std::string_view label) -> const Field* {
        const auto found = named.find(std::string(label));
        return found == named.end() ? nullptr : &fields[found->second + 1];
    };
    if (const Field* device = valueOf(kDeviceLabel)) config.ParallelPort = device->text;
    const auto seconds = [&](std::string_view label, std::string_view name, int longest,
                             std::chrono::seconds& into) -> std::optional<Failure> {
        const Field* found = valueOf(label);
        if (!found) return std::nullopt;
        const std::string& value = found->text;
        const double n = IsWholeNumberText(value) ? LeadingNumber(value) : 0;
        if (n < 1 || n > longest || n != static_cast<int>(n))
            return StartUpFailure("The settings file \"" + fileName + "\" gives " + std::string(name) + " as \"" +
                                  value + "\"; it must be a whole number of seconds from 1 to " +
                                  std::to_string(longest) + ". Correct the file, then try again.");
        into = std::chrono::seconds(static_cast<int>(n));
        return std::nullopt;
    };
    if (auto bad = seconds(kTimeoutLabel, "DeviceTimeout", kLongestTimeout, config.DeviceTimeout))
        return std::unexpected(*bad);
    if (auto bad = seconds(kPlantTimeoutLabel, "PlantTimeout", kLongestPlantTimeout, config.PlantTimeout))
        return std::unexpected(*bad);
    if (auto bad = seconds(kSessionIdleLabel, "ServiceSessionIdle", kLongestSessionIdle, config.ServiceSessionIdle))
        return std::unexpected(*bad);
    if (const Field* plant = valueOf(kPlantDatabaseLabel)) config.PlantDatabase = plant->text;
    if (const Field* listen = valueOf(kServiceListenLabel)) config.ServiceListen = listen->text;
    if (const Field* certificate = valueOf(kServiceCertificateLabel)) config.ServiceCertificate = certificate->text;
    if (const Field* key = valueOf(kServiceKeyLabel)) config.ServiceKey = key->text;
    if (const Field* drop = valueOf(kDropFolderLabel)) config.DropFolder = drop->text;
    if (const Field* station = valueOf(kStationLabel)) {
        config.Station = station->text;
        if (config.Station.empty())
            return std::unexpected(StartUpFailure("The settings file \"" + fileName +
                                                  "\" gives an empty Station. Name the station (for example "
                                                  "Station,Line3), or leave the pair out to use the host name."));
    }

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
