#include "labels/layouts.h"

#include <algorithm>
#include <array>

namespace tarnwick {
namespace {

struct CodedLayout {
    std::string_view code;
    Layout layout;
};

// In the order the print request tests the codes.
constexpr std::array<CodedLayout, 9> kCodes{{
    {"calh021", {"B1", PrintLayoutB1, false}},
    {"calh026", {"B2", PrintLayoutB2, false}},
    {"calh023", {"B3", PrintLayoutB3, false}},
    {"calh024", {"B4", PrintLayoutB4, false}},
    {"calh020", {"C1", PrintLayoutC1, false}},
    {"calh025", {"C2", PrintLayoutC2, false}},
    {"calh015", {"E", PrintLayoutE, false}},
    {"calh022", {"D1", PrintLayoutD1, false}},
    {"calh018", {"D2", PrintLayoutD2, false}},
}};

constexpr std::array<Layout, 2> kNewFormat{{
    {"A1", PrintLayoutA1, true},
    {"A2", PrintLayoutA2, true},
}};

}  // namespace

std::optional<Layout> LayoutForCode(std::string_view code) {
    for (const auto& entry : kCodes)
        if (entry.code == code) return entry.layout;
    return std::nullopt;
}

std::vector<std::string_view> LayoutCodes() {
    std::vector<std::string_view> codes;
    for (const auto& entry : kCodes) codes.push_back(entry.code);
    std::ranges::sort(codes);
    return codes;
}

std::optional<Layout> LayoutByName(std::string_view name) {
    for (const auto& layout : kNewFormat)
        if (layout.name == name) return layout;
    for (const auto& entry : kCodes)
        if (entry.layout.name == name) return entry.layout;
    return std::nullopt;
}

}  // namespace tarnwick
