#include "labels/command_stream.h"
#include "labels/layouts.h"
#include "labels/prepared_label.h"
#include "labels/stream_rules.h"

namespace tarnwick {
namespace {

// The lot-heading labels differ only in the waist caption and the picture at the foot.
struct LotHeadingMember {
    std::string_view waistCaption;
    GraphicImage image;
};

SendResult PrintLotHeading(const LabelArgs& args, const BasePoint& base, PrinterOutput& out,
                           const LotHeadingMember& member) {
    auto prepared = PrepareLabel(args, base, {});
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    const PreparedLabel& label = *prepared;

    const bool headers = args.PrintHeaders;
    // Read in every run, headers or not, so a missing picture stops any label of the layout.
    auto image = ReadGraphic(member.image, headers, args.pictures);
    if (!image) return std::unexpected(std::move(image.error()));

    CommandStream stream(384 + (headers ? image->size() : 0));
    stream.Start(label.baseH, label.baseV);
    if (headers) {
        stream.Item("H0135", "V0040", "XS", "L");
        stream.Item("H0135", "V0058", "XS", "O");
        stream.Item("H0135", "V0076", "XS", "T");
    }
    stream.Item("H0150", "V0040", "OB", label.style);
    stream.Text("-");
    stream.Text(label.color);
    if (headers) stream.Item("H0365", "V0047", "XS", member.waistCaption);
    stream.Item("H0405", "V0040", "OB", label.waist);
    if (headers) stream.Item("H0570", "V0047", "XS", "L");
    stream.Item("H0585", "V0040", "OB", label.lengthDesc);
    stream.Item("H0260", "V0070", "OB", label.lines[0]);
    stream.Item("H0260", "V0100", "OB", label.lines[1]);
    stream.Item("H0260", "V0130", "OB", label.lines[2]);
    stream.Item("H0180", "V0160", "OB", label.wip);
    stream.Item("H0205", "V0190", "BG02080>H", label.barcode);
    if (headers) stream.Item("H0180", "V0300", member.image.prefix, *image);
    return out.SendToPrinter(std::move(stream).Finish(label.quantity));
}

}  // namespace

SendResult PrintLayoutB1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintLotHeading(args, base, out, {"W", {"images/calh021.pcx", "GP02713,", 2713}});
}

SendResult PrintLayoutB2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintLotHeading(args, base, out, {"SIZE", {"images/calh026.pcx", "GP03280,", 3280}});
}

SendResult PrintLayoutB3(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintLotHeading(args, base, out, {"W", {"images/calh023.pcx", "GP03201,", 3201}});
}

SendResult PrintLayoutB4(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintLotHeading(args, base, out, {"W", {"images/calh024.pcx", "GP02852,", 2852}});
}

}  // namespace tarnwick
