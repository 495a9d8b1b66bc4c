#include "labels/print_request.h"

#include <optional>

#include "base/windows1252.h"
#include "labels/layouts.h"

namespace tarnwick {
namespace {

void AppendRightAligned3(std::string& out, std::string_view piece) {
    const std::size_t length = Utf8Characters(piece);
    if (length == 1) out += "  ";
    else if (length == 2) out += " ";
    out += piece;
}

bool BlankAfterTrim(const std::string& text) { return text.find_first_not_of(' ') == std::string::npos; }

LabelArgs ArgsOf(const LabelJob& job) {
    LabelArgs args;
    static_cast<LabelFields&>(args) = job;
    args.MadeIn = job.MadeIn;
    return args;
}

std::expected<PrintedLabel, Failure> Build(const Layout& layout, LabelArgs args, const PrintControls& controls,
                                           const PrintBases& bases, PrinterOutput& out,
                                           const std::filesystem::path& pictures) {
    args.PrintHeaders = controls.chkPrintHeaders != 0;
    args.pictures = pictures;
    args.RN = controls.txtRN;
    const BasePoint& base = layout.usesPrinterSettingsBase ? bases.familyA : bases.otherFamilies;
    auto built = layout.build(args, base, out);
    if (!built) return std::unexpected(std::move(built.error()));
    return PrintedLabel{layout.name, std::move(built->note)};
}

std::expected<PrintedLabel, Failure> DispatchByCode(std::string_view code, const LabelJob& job,
                                                    const PrintControls& controls, const PrintBases& bases,
                                                    PrinterOutput& out, const std::filesystem::path& pictures) {
    const auto layout = LayoutForCode(code);
    if (!layout) {
        return std::unexpected(
            Failure{"The selected style does not exist in the database.", "Style Not Found", MessageIcon::Critical});
    }
    // Builders B1 to E take the first twelve arguments only.
    LabelArgs args = ArgsOf(job);
    args.MadeIn.clear();
    return Build(*layout, std::move(args), controls, bases, out, pictures);
}

// A cut printed in New Format takes A1, or A2 with the brand box checked.
std::optional<std::string_view> NewFormatLayout(const PrintControls& controls) {
    if (controls.SelectedFile.empty() || controls.chkNew != 1) return std::nullopt;
    return controls.chkQuenby == 1 ? "A2" : "A1";
}

}  // namespace

std::string RequestLayout(const PrintControls& controls, std::string_view code) {
    if (const auto name = NewFormatLayout(controls)) return std::string(*name);
    if (const auto layout = LayoutForCode(code)) return std::string(layout->name);
    return std::string(code);
}

std::string ColorRule(std::string_view color) {
    const std::size_t characters = Utf8Characters(color);
    if (characters == 1) return "O0" + std::string(color);
    if (characters == 2) return "O" + std::string(color);
    return std::string(color);
}

std::string ComposeBarcode(std::string_view style, std::string_view color, std::string_view waist,
                           std::string_view lengthDesc) {
    std::string barcode(style);
    if (const std::size_t length = Utf8Characters(style); length < 5) barcode.append(5 - length, ' ');
    barcode += ColorRule(color);
    AppendRightAligned3(barcode, waist);
    AppendRightAligned3(barcode, lengthDesc);
    if (const std::size_t length = Utf8Characters(barcode); length < 17) barcode.append(17 - length, ' ');
    return barcode;
}

std::expected<PrintedLabel, Failure> PrintLabels(const PrintControls& controls, std::string_view code, LabelJob& job,
                                                 const PrintBases& bases, PrinterOutput& out,
                                                 const std::filesystem::path& pictures) {
    if (controls.SelectedFile.empty()) {
        if (controls.txtWIP.empty()) {
            return std::unexpected(
                Failure{"You must select a file or manually enter the data.", "Invalide Data", MessageIcon::None});
        }
        job.WIP = controls.txtWIP;
        job.Style = controls.txtStyle;
        job.Color = controls.txtColor;
        job.Waist = controls.txtWaist;
        job.Length = controls.txtLength;
        job.LengthDesc = controls.txtLDesc;
        job.Text1 = controls.cmbText1;
        job.Text2 = controls.cmbText2;
        job.Text3 = controls.cmbText3;
        job.Qty = controls.txtQty;
        job.Barcode = ComposeBarcode(job.Style, job.Color, job.Waist, job.LengthDesc);
        return DispatchByCode(code, job, controls, bases, out, pictures);
    }

    job.Qty = controls.txtQty;
    if (const auto name = NewFormatLayout(controls)) {
        if (BlankAfterTrim(job.LengthDesc)) job.LengthDesc = controls.txtLDesc;
        if (BlankAfterTrim(job.MadeIn)) job.MadeIn = controls.txtMadeIn;
        const auto layout = LayoutByName(*name);
        return Build(*layout, ArgsOf(job), controls, bases, out, pictures);
    }
    return DispatchByCode(code, job, controls, bases, out, pictures);
}

}  // namespace tarnwick
