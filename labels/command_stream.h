#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick {

// One label job in the printer's command language, built in memory: ESC before every
// command, nothing between commands. Texts must already be printer bytes.
class CommandStream {
public:
    explicit CommandStream(std::size_t expectedSize) { bytes_.reserve(expectedSize); }

    // ESC "A", then the base reference point ESC "A3H" h "V" v.
    void Start(std::string_view baseH, std::string_view baseV) {
        Command("A");
        Command("A3H");
        Text(baseH);
        Text("V");
        Text(baseV);
    }

    // ESC "H...." ESC "V....": where the next item prints. Literals such as "H0035".
    void At(std::string_view h, std::string_view v) {
        Command(h);
        Command(v);
    }

    void Command(std::string_view letters) {
        bytes_.push_back('\x1B');
        bytes_.append(letters);
    }

    // Data of the last command, raw; may hold any byte.
    void Text(std::string_view text) { bytes_.append(text); }

    // A whole print item: position, font or prefix, then its text.
    void Item(std::string_view h, std::string_view v, std::string_view font, std::string_view text) {
        At(h, v);
        Command(font);
        Text(text);
    }

    // ESC "Q" with the quantity, then ESC "Z"; the stream is complete.
    std::string Finish(std::string_view quantity) && {
        Command("Q");
        Text(quantity);
        Command("Z");
        return std::move(bytes_);
    }

private:
    std::string bytes_;
};

}  // namespace tarnwick
