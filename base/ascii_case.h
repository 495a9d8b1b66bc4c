#pragma once

#include <string>

namespace tarnwick {

// The text with A to Z folded to a to z and every other byte kept: how the old engine
// and the settings text compare names, whatever the locale.
inline std::string AsciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace tarnwick
