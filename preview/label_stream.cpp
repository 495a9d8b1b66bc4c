#include "preview/label_stream.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "preview/code128.h"
#include "preview/pcx_reader.h"

namespace tarnwick {
namespace {

constexpr char kEsc = '\x1B';

Failure Malformed(const std::string& what, std::size_t offset) {
    return Failure{"Cannot preview this label: " + what + " at byte " + std::to_string(offset) +
                       ". The stream is not what the printer expects; check how it was made.",
                   "Tarnwick", MessageIcon::Critical};
}

// The command letters as the operator should read them: printable ASCII as is, any
// other byte in hex.
std::string Shown(std::string_view letters) {
    std::string shown;
    for (const char c : letters) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x21 && b < 0x7F) {
            shown.push_back(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", b);
            shown += hex;
        }
    }
    return shown;
}

// A step that went well leaves the job open.
std::expected<bool, Failure> Continue(const std::expected<void, Failure>& step) {
    if (!step) return std::unexpected(step.error());
    return false;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Far beyond any roll of labels, yet small enough that sums of positions and sizes stay
// within int however many items a stream chains one after another.
constexpr qint64 kFarthest = 1'000'000;

int Bounded(qint64 dots) { return static_cast<int>(std::clamp(dots, -kFarthest, kFarthest)); }

// Size of an item before rotation, in dots.
QSize UnrotatedSize(const LabelItem& item) {
    switch (item.kind) {
        case ItemKind::Text: {
            const FontCell cell = CellOf(item.font);
            const auto count = static_cast<qint64>(item.data.size());
            return count == 0 ? QSize(0, 0)
                              : QSize(Bounded(count * (cell.width + kCharacterPitch) - kCharacterPitch), cell.height);
        }
        case ItemKind::Barcode:
            return QSize(Bounded(static_cast<qint64>(item.modules.size()) * item.moduleWidth), item.barHeight);
        case ItemKind::Picture: return item.picture.size();
    }
    return {};
}

// The rectangle an item of size s covers when turned about its print position p.
QRect RotatedArea(QPoint p, QSize s, int rotation) {
    switch (rotation) {
        case 1: return QRect(p.x(), p.y() - s.width(), s.height(), s.width());
        case 2: return QRect(p.x() - s.width(), p.y() - s.height(), s.width(), s.height());
        case 3: return QRect(p.x() - s.height(), p.y(), s.height(), s.width());
        default: return QRect(p, s);
    }
}

// Where the next item continues after one of the given length along its reading direction.
QPoint Advance(QPoint p, int length, int rotation) {
    const qint64 x = p.x(), y = p.y();
    switch (rotation) {
        case 1: return QPoint(p.x(), Bounded(y - length));
        case 2: return QPoint(Bounded(x - length), p.y());
        case 3: return QPoint(p.x(), Bounded(y + length));
        default: return QPoint(Bounded(x + length), p.y());
    }
}

class StreamReader {
public:
    explicit StreamReader(std::string_view stream) : s_(stream) {}

    std::expected<LabelPlan, Failure> Read() {
        if (s_.size() < 2 || s_[0] != kEsc || s_[1] != 'A' || (s_.size() > 2 && s_[2] == '3'))
            return std::unexpected(Malformed("the stream does not begin with ESC \"A\"", 0));
        at_ = 2;
        if (auto end = EndOfParameters("A"); !end) return std::unexpected(end.error());
        while (at_ < s_.size()) {
            const std::size_t command = at_;
            if (at_ + 1 >= s_.size()) return std::unexpected(Malformed("the stream ends just after an ESC", command));
            ++at_;
            std::expected<bool, Failure> step = Command(command);
            if (!step) return std::unexpected(step.error());
            if (*step) return plan_;
        }
        return std::unexpected(Malformed("the stream does not end with ESC \"Z\"", s_.size()));
    }

private:
    // One command starting at the ESC at `command`; true once ESC "Z" ended the job.
    std::expected<bool, Failure> Command(std::size_t command) {
        const char letter = s_[at_++];
        switch (letter) {
            case 'A':
                if (at_ < s_.size() && s_[at_] == '3') return BasePoint();
                return std::unexpected(Malformed("a second ESC \"A\" starts a new job inside this one", command));
            case 'H':
            case 'V': {
                auto value = Number(1, 4, std::string(1, letter));
                if (!value) return std::unexpected(value.error());
                (letter == 'H' ? position_.rx() : position_.ry()) = *value;
                return Continue(EndOfParameters(std::string(1, letter)));
            }
            case 'X':
                if (at_ < s_.size() && (s_[at_] == 'S' || s_[at_] == 'M')) {
                    const PrinterFont font = s_[at_] == 'S' ? PrinterFont::XS : PrinterFont::XM;
                    ++at_;
                    Text(command, font);
                    return false;
                }
                break;
            case 'S': Text(command, PrinterFont::S); return false;
            case 'O':
                if (at_ < s_.size() && s_[at_] == 'B') {
                    ++at_;
                    Text(command, PrinterFont::OB);
                    return false;
                }
                break;
            case '%':
                if (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '3') {
                    rotation_ = s_[at_++] - '0';
                    return Continue(EndOfParameters("%"));
                }
                return std::unexpected(Malformed("ESC \"%\" needs a rotation of 0 to 3", at_));
            case 'B':
                if (at_ < s_.size() && s_[at_] == 'G') {
                    ++at_;
                    return Continue(Barcode(command));
                }
                break;
            case 'G':
                if (at_ < s_.size() && s_[at_] == 'P') {
                    ++at_;
                    return Continue(Picture(command));
                }
                break;
            case 'Q': {
                const bool negative = at_ < s_.size() && s_[at_] == '-';
                if (negative) ++at_;
                auto value = Number(1, 6, "Q");
                if (!value) return std::unexpected(value.error());
                plan_.quantity = negative ? -*value : *value;
                haveQuantity_ = true;
                return Continue(EndOfParameters("Q"));
            }
            case 'Z':
                if (!haveQuantity_)
                    return std::unexpected(Malformed("the job ends without a quantity (ESC \"Q\")", command));
                if (at_ != s_.size())
                    return std::unexpected(
                        Malformed(std::to_string(s_.size() - at_) + " bytes follow the end ESC \"Z\"", at_));
                return true;
            default: break;
        }
        return std::unexpected(Malformed("unknown command ESC \"" + Shown(s_.substr(command + 1, 2)) + "\"", command));
    }

    // Decimal digits at at_, between minDigits and maxDigits of them.
    std::expected<int, Failure> Number(int minDigits, int maxDigits, const std::string& name) {
        const std::size_t start = at_;
        int value = 0, count = 0;
        while (at_ < s_.size() && IsDigit(s_[at_]) && count < maxDigits) {
            value = value * 10 + (s_[at_++] - '0');
            ++count;
        }
        if (count < minDigits) {
            const std::string wanted = minDigits == maxDigits
                                           ? std::to_string(maxDigits) + " digits"
                                           : std::to_string(minDigits) + " to " + std::to_string(maxDigits) + " digits";
            return std::unexpected(Malformed("ESC \"" + name + "\" needs " + wanted, start + count));
        }
        return value;
    }

    // A command without data must be followed by the next ESC or the end of the stream.
    std::expected<void, Failure> EndOfParameters(const std::string& name) {
        if (at_ < s_.size() && s_[at_] != kEsc)
            return std::unexpected(
                Malformed("unexpected \"" + Shown(s_.substr(at_, 1)) + "\" after ESC \"" + name + "\"", at_));
        return {};
    }

    std::size_t NextEsc() const {
        const std::size_t next = s_.find(kEsc, at_);
        return next == std::string_view::npos ? s_.size() : next;
    }

    std::expected<bool, Failure> BasePoint() {
        ++at_;  // the "3"
        if (at_ >= s_.size() || s_[at_] != 'H')
            return std::unexpected(Malformed("the base point ESC \"A3\" needs \"H\" after \"A3\"", at_));
        ++at_;
        auto h = SignedNumber("A3H");
        if (!h) return std::unexpected(h.error());
        if (at_ >= s_.size() || s_[at_] != 'V')
            return std::unexpected(Malformed("the base point ESC \"A3\" needs \"V\" after its horizontal value", at_));
        ++at_;
        auto v = SignedNumber("A3H...V");
        if (!v) return std::unexpected(v.error());
        base_ = QPoint(*h, *v);
        return Continue(EndOfParameters("A3"));
    }

    std::expected<int, Failure> SignedNumber(const std::string& name) {
        int sign = 1;
        if (at_ < s_.size() && (s_[at_] == '-' || s_[at_] == '+')) sign = s_[at_++] == '-' ? -1 : 1;
        auto value = Number(1, 4, name);
        if (!value) return value;
        return sign * *value;
    }

    void Place(LabelItem item) {
        item.anchor = base_ + position_;
        item.rotation = rotation_;
        const QSize size = UnrotatedSize(item);
        item.area = RotatedArea(item.anchor, size, rotation_);
        position_ =
            Advance(position_,
                    item.kind == ItemKind::Text && !item.data.empty() ? size.width() + kCharacterPitch : size.width(),
                    rotation_);
        plan_.items.push_back(std::move(item));
    }

    void Text(std::size_t command, PrinterFont font) {
        const std::size_t end = NextEsc();
        LabelItem item;
        item.kind = ItemKind::Text;
        item.offset = command;
        item.font = font;
        item.data = std::string(s_.substr(at_, end - at_));
        at_ = end;
        Place(std::move(item));
    }

    std::expected<void, Failure> Barcode(std::size_t command) {
        auto module = Number(2, 2, "BG");
        if (!module) return std::unexpected(module.error());
        auto height = Number(3, 3, "BG");
        if (!height) return std::unexpected(height.error());
        if (*module == 0) return std::unexpected(Malformed("the bar code's module width is 00", at_ - 5));
        if (*height == 0) return std::unexpected(Malformed("the bar code's height is 000", at_ - 3));
        if (s_.substr(at_, 2) != ">H")
            return std::unexpected(Malformed("the bar code does not start code set B with \">H\"", at_));
        at_ += 2;
        const std::size_t end = NextEsc();
        const std::string_view data = s_.substr(at_, end - at_);
        if (const auto control = data.find('>'); control != std::string_view::npos)
            return std::unexpected(Malformed("the bar code holds the control sequence \"" +
                                                 Shown(data.substr(control, 2)) + "\", which this preview cannot draw",
                                             at_ + control));
        for (std::size_t i = 0; i < data.size(); ++i) {
            const auto b = static_cast<unsigned char>(data[i]);
            if (b < 0x20 || b == 0x7F)
                return std::unexpected(Malformed("the bar code holds the control character " +
                                                     Shown(data.substr(i, 1)) + ", which code set B cannot carry",
                                                 at_ + i));
        }
        auto modules = Code128BModules(data);
        if (!modules)
            return std::unexpected(Malformed("the bar code cannot be encoded (" + modules.error() + ")", at_));
        LabelItem item;
        item.kind = ItemKind::Barcode;
        item.offset = command;
        item.data = std::string(data);
        item.moduleWidth = *module;
        item.barHeight = *height;
        item.modules = std::move(*modules);
        at_ = end;
        Place(std::move(item));
        return {};
    }

    std::expected<void, Failure> Picture(std::size_t command) {
        auto count = Number(5, 5, "GP");
        if (!count) return std::unexpected(count.error());
        if (at_ >= s_.size() || s_[at_] != ',')
            return std::unexpected(Malformed("ESC \"GP\" needs a comma after its byte count", at_));
        ++at_;
        const auto bytes = static_cast<std::size_t>(*count);
        if (bytes > s_.size() - at_)
            return std::unexpected(Malformed("the picture's byte count " + std::to_string(bytes) +
                                                 " runs past the end of the stream (" +
                                                 std::to_string(s_.size() - at_) + " bytes are left)",
                                             command));
        auto picture = ReadPcx(s_.substr(at_, bytes));
        if (!picture)
            return std::unexpected(
                Malformed("the picture cannot be read: " + picture.error().what, at_ + picture.error().offset));
        LabelItem item;
        item.kind = ItemKind::Picture;
        item.offset = command;
        item.picture = std::move(*picture);
        at_ += bytes;
        Place(std::move(item));
        if (at_ < s_.size() && s_[at_] != kEsc)
            return std::unexpected(Malformed(
                "the picture's byte count " + std::to_string(bytes) + " ends inside its data (no ESC follows)", at_));
        return {};
    }

    std::string_view s_;
    std::size_t at_ = 0;
    QPoint base_;
    QPoint position_;
    int rotation_ = 0;
    bool haveQuantity_ = false;
    LabelPlan plan_;
};

}  // namespace

std::expected<LabelPlan, Failure> ReadLabelStream(std::string_view stream) { return StreamReader(stream).Read(); }

}  // namespace tarnwick
