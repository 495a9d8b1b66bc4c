#include "labels/prepared_label.h"

#include <string>

#include "labels/label_fields.h"
#include "labels/stream_rules.h"

namespace tarnwick {

std::expected<PreparedLabel, Failure> PrepareLabel(const LabelArgs& args, const BasePoint& base, const FieldUse& use) {
    PreparedLabel label;
    std::array<std::string, 3> lines;
    std::string barcode;
    // Field names as the main window labels its boxes.
    struct Field {
        const char* what;
        const std::string& utf8;
        std::string& target;
        bool used;
    };
    const Field fields[] = {
        {"The WIP # field", args.WIP, label.wip, true},
        {"The Style field", args.Style, label.style, true},
        {"The Color field", args.Color, label.color, use.color},
        {"The Waist field", args.Waist, label.waist, true},
        {"The Length Desc field", args.LengthDesc, label.lengthDesc, true},
        {"The Line 1 field", args.Text1, lines[0], true},
        {"The Line 2 field", args.Text2, lines[1], true},
        {"The Line 3 field", args.Text3, lines[2], true},
        {"The bar-code value", args.Barcode, barcode, true},
        {"The Made In field", args.MadeIn, label.madeIn, use.madeInAndRn},
        {"The RN field", args.RN, label.rn, use.madeInAndRn},
        {use.baseFromPrinterSettings ? "The BaseX setting" : "The BaseH value of config.txt", base.h, label.baseH,
         true},
        {use.baseFromPrinterSettings ? "The BaseY setting" : "The BaseV value of config.txt", base.v, label.baseV,
         true},
    };
    for (const Field& field : fields) {
        if (!field.used) continue;
        auto encoded = EncodeLabelText(field.what, field.utf8);
        if (!encoded) return std::unexpected(std::move(encoded.error()));
        field.target = std::move(*encoded);
    }

    // The printer reads ">" in bar-code data as a code-set command: it would print a
    // different bar code from the one on the label's text and still say it printed.
    if (const auto at = barcode.find('>'); at != std::string::npos) {
        return std::unexpected(Failure{"The bar-code value holds \">\" at character " + std::to_string(at + 1) +
                                           ", which the printer would take as a bar-code command and so print a "
                                           "wrong bar code. Remove it and print again.",
                                       "Tarnwick", MessageIcon::Critical});
    }

    auto quantity = QuantityText(args.Qty);
    if (!quantity) return std::unexpected(std::move(quantity.error()));
    label.quantity = std::move(*quantity);
    label.lines = CenterFabricLines(std::move(lines[0]), std::move(lines[1]), std::move(lines[2]));
    label.barcode = PadBarcode(std::move(barcode));
    return label;
}

}  // namespace tarnwick
