#include "printer/ipp_message.h"

#include <array>
#include <cstdio>
#include <utility>

namespace tarnwick {
namespace {

void Put16(std::string& out, std::size_t value) {
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
    out.push_back(static_cast<char>(value & 0xFF));
}

void PutValue(std::string& out, IppTag tag, std::string_view name, std::string_view value) {
    // IPP caps a value at 32767 octets, a name at 255; never cut a character in two.
    std::size_t limit = tag == IppTag::Name ? 255 : 32767;
    if (value.size() > limit) {
        while (limit > 0 && (static_cast<unsigned char>(value[limit]) & 0xC0) == 0x80) --limit;
        value = value.substr(0, limit);
    }
    out.push_back(static_cast<char>(tag));
    Put16(out, name.size());
    out.append(name);
    Put16(out, value.size());
    out.append(value);
}

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    bool Has(std::size_t n) const { return bytes_.size() - at_ >= n; }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(bytes_[at_++]); }
    std::size_t Short() {
        const std::size_t high = Byte();
        return high << 8 | Byte();
    }
    std::string_view Take(std::size_t n) {
        const std::string_view part = bytes_.substr(at_, n);
        at_ += n;
        return part;
    }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

std::uint32_t BigEndian32(std::string_view four) {
    std::uint32_t value = 0;
    for (const char c : four) value = value << 8 | static_cast<std::uint8_t>(c);
    return value;
}

}  // namespace

IppRequest::IppRequest(std::uint16_t operation, std::uint32_t requestId) {
    bytes_ = {'\x02', '\x00'};  // IPP/2.0
    Put16(bytes_, operation);
    for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<char>((requestId >> shift) & 0xFF));
    bytes_.push_back('\x01');  // operation attributes
    PutValue(bytes_, IppTag::Charset, "attributes-charset", "utf-8");
    PutValue(bytes_, IppTag::NaturalLanguage, "attributes-natural-language", "en");
}

IppRequest& IppRequest::Add(IppTag tag, std::string_view name, std::string_view value) {
    PutValue(bytes_, tag, name, value);
    return *this;
}

IppRequest& IppRequest::AddValue(IppTag tag, std::string_view value) {
    PutValue(bytes_, tag, {}, value);
    return *this;
}

std::string IppRequest::Encoded() const { return bytes_ + '\x03'; }

std::optional<std::string> IppAnswer::Text(std::string_view name) const {
    for (const Attribute& attribute : attributes) {
        if (attribute.name != name) continue;
        const auto tag = static_cast<IppTag>(attribute.tag);
        if (tag == IppTag::Text || tag == IppTag::Name || tag == IppTag::Keyword) return attribute.value;
        if (tag == IppTag::TextWithLanguage || attribute.tag == 0x36 /* nameWithLanguage */) {
            // language length, language, text length, text
            Reader reader(attribute.value);
            if (!reader.Has(2)) return std::nullopt;
            const std::size_t languageLength = reader.Short();
            if (!reader.Has(languageLength + 2)) return std::nullopt;
            reader.Take(languageLength);
            const std::size_t textLength = reader.Short();
            if (!reader.Has(textLength)) return std::nullopt;
            return std::string(reader.Take(textLength));
        }
    }
    return std::nullopt;
}

std::optional<int> IppAnswer::Integer(std::string_view name) const {
    for (const Attribute& attribute : attributes) {
        if (attribute.name != name) continue;
        const auto tag = static_cast<IppTag>(attribute.tag);
        if ((tag == IppTag::Integer || tag == IppTag::Enum) && attribute.value.size() == 4)
            return static_cast<std::int32_t>(BigEndian32(attribute.value));
    }
    return std::nullopt;
}

std::expected<IppAnswer, std::string> DecodeIppAnswer(std::string_view message) {
    Reader reader(message);
    if (!reader.Has(8)) return std::unexpected("shorter than an IPP message");
    IppAnswer answer;
    reader.Take(2);  // version
    answer.status = static_cast<int>(reader.Short());
    reader.Take(4);  // request id
    bool sawName = false;
    for (;;) {
        if (!reader.Has(1)) return std::unexpected("cut short before its end tag");
        const std::uint8_t tag = reader.Byte();
        if (tag == 0x03) return answer;
        if (tag < 0x10) {  // the start of another group
            sawName = false;
            continue;
        }
        if (!reader.Has(2)) return std::unexpected("cut short inside an attribute");
        const std::size_t nameLength = reader.Short();
        if (!reader.Has(nameLength + 2)) return std::unexpected("cut short inside an attribute");
        const std::string_view name = reader.Take(nameLength);
        const std::size_t valueLength = reader.Short();
        if (!reader.Has(valueLength)) return std::unexpected("cut short inside an attribute");
        const std::string_view value = reader.Take(valueLength);
        if (!name.empty()) {
            answer.attributes.push_back({std::string(name), tag, std::string(value)});
            sawName = true;
        } else if (!sawName) {
            return std::unexpected("a value with no attribute");
        }
    }
}

std::string IppStatusName(int status) {
    static constexpr std::array<std::pair<int, const char*>, 29> kNames{{
        {0x0400, "client-error-bad-request"},
        {0x0401, "client-error-forbidden"},
        {0x0402, "client-error-not-authenticated"},
        {0x0403, "client-error-not-authorized"},
        {0x0404, "client-error-not-possible"},
        {0x0405, "client-error-timeout"},
        {0x0406, "client-error-not-found"},
        {0x0407, "client-error-gone"},
        {0x0408, "client-error-request-entity-too-large"},
        {0x0409, "client-error-request-value-too-long"},
        {0x040A, "client-error-document-format-not-supported"},
        {0x040B, "client-error-attributes-or-values-not-supported"},
        {0x040C, "client-error-uri-scheme-not-supported"},
        {0x040D, "client-error-charset-not-supported"},
        {0x040E, "client-error-conflicting-attributes"},
        {0x040F, "client-error-compression-not-supported"},
        {0x0410, "client-error-compression-error"},
        {0x0411, "client-error-document-format-error"},
        {0x0412, "client-error-document-access-error"},
        {0x0500, "server-error-internal-error"},
        {0x0501, "server-error-operation-not-supported"},
        {0x0502, "server-error-service-unavailable"},
        {0x0503, "server-error-version-not-supported"},
        {0x0504, "server-error-device-error"},
        {0x0505, "server-error-temporary-error"},
        {0x0506, "server-error-not-accepting-jobs"},
        {0x0507, "server-error-busy"},
        {0x0508, "server-error-job-canceled"},
        {0x0509, "server-error-multiple-document-jobs-not-supported"},
    }};
    for (const auto& [code, name] : kNames)
        if (code == status) return name;
    char unknown[32];
    std::snprintf(unknown, sizeof unknown, "IPP status 0x%04x", static_cast<unsigned>(status) & 0xFFFF);
    return unknown;
}

}  // namespace tarnwick
