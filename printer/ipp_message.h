#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The few IPP messages a label needs, in the binary encoding of RFC 8010: a request of
// operation attributes, and the status and attributes of an answer.

enum class IppTag : std::uint8_t {
    Integer = 0x21,
    Enum = 0x23,
    TextWithLanguage = 0x35,
    Text = 0x41,
    Name = 0x42,
    Keyword = 0x44,
    Uri = 0x45,
    Charset = 0x47,
    NaturalLanguage = 0x48,
    MimeType = 0x49,
};

namespace ipp {
inline constexpr std::uint16_t kPrintJob = 0x0002;
inline constexpr std::uint16_t kGetPrinterAttributes = 0x000B;

inline constexpr int kOkConflicting = 0x0002;  // the last of the successful statuses
inline constexpr int kNotFound = 0x0406;
inline constexpr int kNotAcceptingJobs = 0x0506;

inline constexpr int kPrinterStopped = 5;  // printer-state
}  // namespace ipp

// A request's operation attributes; charset and natural language come first on their own.
class IppRequest {
public:
    IppRequest(std::uint16_t operation, std::uint32_t requestId);
    IppRequest& Add(IppTag tag, std::string_view name, std::string_view value);
    // Further values of the attribute added last.
    IppRequest& AddValue(IppTag tag, std::string_view value);
    // The message, closed by its end tag; the document, if any, follows it.
    std::string Encoded() const;

private:
    std::string bytes_;
};

struct IppAnswer {
    int status = 0;
    struct Attribute {
        std::string name;
        std::uint8_t tag = 0;
        std::string value;  // the first value, as encoded
    };
    std::vector<Attribute> attributes;

    bool Succeeded() const { return status <= ipp::kOkConflicting; }
    // The first value of a text or name attribute of that name, or nothing.
    std::optional<std::string> Text(std::string_view name) const;
    // The first value of an integer or enum attribute of that name, or nothing.
    std::optional<int> Integer(std::string_view name) const;
};

// Reads an answer; a message cut short or with lengths that run past its end is refused.
std::expected<IppAnswer, std::string> DecodeIppAnswer(std::string_view message);

// The registered name of a status code, as the answer's words when it brings none.
std::string IppStatusName(int status);

}  // namespace tarnwick
