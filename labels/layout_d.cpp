#include "labels/command_stream.h"
#include "labels/layouts.h"
#include "labels/prepared_label.h"
#include "labels/stream_rules.h"

namespace tarnwick {
namespace {

// Both inline-heading labels print the same picture; they differ in the waist heading
// and in how high the picture stands.
struct InlineHeadingMember {
    std::string_view waistHeading;
    std::string_view graphicV;
};

constexpr GraphicImage kInlineHeadingImage{"images/calh018.pcx", "GP01450,", 1450};

SendResult PrintInlineHeading(const LabelArgs& args, const BasePoint& base, PrinterOutput& out,
                              const InlineHeadingMember& member) {
    auto prepared = PrepareLabel(args, base, {});
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    const PreparedLabel& label = *prepared;

    const bool headers = args.PrintHeaders;
    // Read in every run, headers or not, so a missing picture stops any label of the layout.
    auto image = ReadGraphic(kInlineHeadingImage, headers, args.pictures);
    if (!image) return std::unexpected(std::move(image.error()));

    CommandStream stream(320 + (headers ? image->size() : 0));
    stream.Start(label.baseH, label.baseV);
    // Each heading and its value share one item: only the font changes between them.
    stream.Item("H0170", "V0030", "XS", "STYLE:");
    stream.Command("OB");
    stream.Text(label.style);
    stream.Text("-");
    stream.Text(label.color);
    stream.Item("H0455", "V0030", "XS", member.waistHeading);
    stream.Command("OB");
    stream.Text(label.waist);
    stream.Item("H0585", "V0030", "XS", "L:");
    stream.Command("OB");
    stream.Text(label.lengthDesc);
    stream.Item("H0290", "V0060", "OB", label.lines[0]);
    stream.Item("H0290", "V0090", "OB", label.lines[1]);
    stream.Item("H0290", "V0120", "OB", label.lines[2]);
    stream.Item("H0160", "V0120", "OB", label.wip);
    stream.Item("H0205", "V0150", "BG02080>H", label.barcode);
    if (headers) stream.Item("H0180", member.graphicV, kInlineHeadingImage.prefix, *image);
    return out.SendToPrinter(std::move(stream).Finish(label.quantity));
}

}  // namespace

SendResult PrintLayoutD1(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintInlineHeading(args, base, out, {"W:", "V0825"});
}

SendResult PrintLayoutD2(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    return PrintInlineHeading(args, base, out, {"SIZE:", "V0810"});
}

}  // namespace tarnwick
