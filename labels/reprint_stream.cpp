#include "labels/reprint_stream.h"

#include <charconv>

namespace tarnwick {
namespace {

constexpr int kMaxQuantity = 32767;  // the printer's quantity is a 16-bit number

bool IsQuantityText(std::string_view text) {
    if (text.starts_with('-')) text.remove_prefix(1);
    if (text.empty()) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::optional<std::string_view> StreamQuantity(std::string_view stream) {
    if (!stream.ends_with("\x1BZ")) return std::nullopt;
    const std::string_view body = stream.substr(0, stream.size() - 2);
    const std::size_t q = body.rfind("\x1BQ");
    if (q == std::string_view::npos) return std::nullopt;
    const std::string_view text = body.substr(q + 2);
    if (!IsQuantityText(text)) return std::nullopt;
    return text;
}

std::expected<std::string, Failure> WithQuantity(std::string_view stream, int quantity) {
    const auto old = StreamQuantity(stream);
    if (!old)
        return std::unexpected(
            Failure{"The recorded label does not end with a quantity command (ESC Q n, ESC Z), "
                    "so its quantity cannot be changed. Reprint it with its own quantity."});
    const std::size_t at = static_cast<std::size_t>(old->data() - stream.data());
    std::string result(stream.substr(0, at));
    result += std::to_string(quantity);
    result += stream.substr(at + old->size());
    return result;
}

std::expected<int, Failure> ReprintQuantity(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 || value > kMaxQuantity)
        return std::unexpected(Failure{"The quantity to reprint, \"" + std::string(text) +
                                       "\", is not a whole number from 1 to 32767. Give the number of labels to "
                                       "print."});
    return value;
}

}  // namespace tarnwick
