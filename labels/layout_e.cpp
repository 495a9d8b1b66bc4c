#include "labels/command_stream.h"
#include "labels/layouts.h"
#include "labels/prepared_label.h"

namespace tarnwick {

SendResult PrintLayoutE(const LabelArgs& args, const BasePoint& base, PrinterOutput& out) {
    auto prepared = PrepareLabel(args, base, {});
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    const PreparedLabel& label = *prepared;
    const bool headers = args.PrintHeaders;

    CommandStream stream(320);
    stream.Start(label.baseH, label.baseV);
    if (headers) {
        stream.Item("H0160", "V0035", "XS", "L");
        stream.Item("H0160", "V0053", "XS", "O");
        stream.Item("H0160", "V0071", "XS", "T");
    }
    stream.Item("H0200", "V0035", "OB", label.style);
    stream.Text("-");
    stream.Text(label.color);
    if (headers) stream.Item("H0390", "V0042", "XS", "W");
    stream.Item("H0450", "V0035", "OB", label.waist);
    if (headers) stream.Item("H0560", "V0042", "XS", "L");
    stream.Item("H0585", "V0035", "OB", label.lengthDesc);
    stream.Item("H0340", "V0075", "XS", label.lines[0]);
    stream.Item("H0340", "V0095", "XS", label.lines[1]);
    stream.Item("H0340", "V0115", "XS", label.lines[2]);
    stream.Item("H0230", "V0135", "XS", label.wip);
    stream.Item("H0210", "V0155", "BG02060>H", label.barcode);
    return out.SendToPrinter(std::move(stream).Finish(label.quantity));
}

}  // namespace tarnwick
