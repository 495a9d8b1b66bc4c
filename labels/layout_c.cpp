#include "labels/command_stream.h"
#include "labels/layouts.h"
#include "labels/prepared_label.h"

namespace tarnwick {
namespace {

// The style-heading labels differ only in the waist heading and where the waist stands.
struct StyleHeadingMember {
    std::string_view waistHeading;
    std::string_view waistH;
};

SendResult PrintStyleHeading(const LabelArgs& args, const BasePoint& base, PrinterOutput& out,
                             const StyleHeadingMember& member) {
    auto prepared = PrepareLabel(args, base, {});
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    const PreparedLabel& label = *prepared;
    const bool headers = args.PrintHeaders;

    CommandStream stream(320);
    stream.Start(label.baseH, label.baseV);
    if (headers) stream.Item("H0135", "V0040", "XS", "STYLE");
    stream.Item("H0195", "V0040", "OB", label.style);
    stream.Text("-");
    stream.Text(label.color);
    if (headers) stream.Item("H0455", "V0040", "XS", member.waistHeading);
    stream.Item(member.waistH, "V0040", "OB", label.waist);
    if (headers) stream.Item("H0580", "V0040", "XS", "L");
    stream.Item("H0600", "V0040", "OB", label.lengthDesc);
    stream.Item("H0260", "V0070", "OB", label.lines[0]);
    stream.Item("H0260", "V0100", "OB", label.lines[1]);
    stream.Item("H0260", "V0130", "OB", label.lines[2]);
    stream.Item("H0180", "V0160", "OB", label.wip);
    stream.Item("H0205", "V0190", "BG02080>H", label.barcode);
    if (headers) {
        // The rotation is never set back; this must stay the last printed item.
        stream.Command("%3");
        stream.Item("H0720", "V0100", "XS", "RN 30417");
    }
    return out.SendToPrinter(std::move(stream).Finish(label.quantity));
}

}  // namespace

SendResult PrintLayoutC1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintStyleHeading(args, base, out, {"W", "H0490"});
}

SendResult PrintLayoutC2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintStyleHeading(args, base, out, {"SIZE", "H0500"});
}

}  // namespace tarnwick
