#include "labels/command_stream.h"
#include "labels/layouts.h"
#include "labels/prepared_label.h"

namespace tarnwick {
namespace {

// The new-format label; A2 (the brand's) leaves the colour off the style.
struct NewFormatMember {
    bool printColor;
};

SendResult PrintNewFormat(const LabelArgs& args, const BasePoint& base, PrinterOutput& out,
                          const NewFormatMember& member) {
    auto prepared =
        PrepareLabel(args, base, {.color = member.printColor, .madeInAndRn = true, .baseFromPrinterSettings = true});
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    const PreparedLabel& label = *prepared;

    CommandStream stream(384);
    stream.Start(label.baseH, label.baseV);
    stream.Item("H0035", "V0020", "XM", label.style);
    if (member.printColor) {
        stream.Text("-");
        stream.Text(label.color);
    }
    stream.Item("H0345", "V0030", "XS", "SIZE:");
    stream.Item("H0400", "V0020", "XM", label.waist);
    stream.Text(" ");
    stream.Text(label.lengthDesc);
    stream.Item("H0090", "V0050", "OB", label.lines[0]);
    stream.Item("H0090", "V0080", "OB", label.lines[1]);
    stream.Item("H0090", "V0110", "OB", label.lines[2]);
    stream.Item("H0050", "V0140", "S", label.wip);
    stream.Item("H0055", "V0160", "BG02070>H", label.barcode);
    stream.Item("H0200", "V0240", "S", label.barcode);
    // A text of blanks is not empty: it still gets its item.
    if (!label.madeIn.empty()) stream.Item("H0210", "V0140", "S", label.madeIn);
    if (!label.rn.empty()) {
        stream.Item("H0430", "V0140", "S", "RN ");
        stream.Text(label.rn);
    }
    return out.SendToPrinter(std::move(stream).Finish(label.quantity));
}

}  // namespace

SendResult PrintLayoutA1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintNewFormat(args, base, out, {.printColor = true});
}

SendResult PrintLayoutA2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintNewFormat(args, base, out, {.printColor = false});
}

}  // namespace tarnwick
