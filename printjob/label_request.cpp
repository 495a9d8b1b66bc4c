#include "printjob/label_request.h"

#include "cutsheet/cut_rows.h"

namespace tarnwick {

std::string SourceOf(const Requester& requester) {
    const char* kind = "cli";
    switch (requester.kind) {
        case Requester::Kind::Window: kind = "window"; break;
        case Requester::Kind::Cli: kind = "cli"; break;
        case Requester::Kind::Service: kind = "service"; break;
        case Requester::Kind::DropFolder: kind = "drop folder"; break;
    }
    return requester.name.empty() ? std::string(kind) : std::string(kind) + ":" + requester.name;
}

LabelRequest RequestFromControls(const PrintControls& c, const LabelJob& job, std::optional<int> cutRow,
                                 Requester requester) {
    LabelRequest r;
    r.rn = c.txtRN;
    r.newFormat = c.chkNew == 1;
    r.brand = c.chkQuenby == 1;
    // A greyed box counts as checked, as the label system counted it.
    r.printHeaders = c.chkPrintHeaders != 0;
    r.quantity = c.txtQty;
    r.requester = std::move(requester);
    if (c.SelectedFile.empty()) {
        r.fields = {c.txtWIP,   c.txtStyle, c.txtColor, c.txtWaist, c.txtLength, c.txtLDesc,
                    c.cmbText1, c.cmbText2, c.cmbText3, {},         {}};
        r.madeIn = c.txtMadeIn;
        return r;
    }
    r.fields = job;
    r.madeIn = job.MadeIn;
    r.cut = LabelRequest::Cut{c.SelectedFile, cutRow};
    r.typedLengthDesc = c.txtLDesc;
    r.typedMadeIn = c.txtMadeIn;
    return r;
}

LabelRequest RequestForCut(const CutRow& cut, std::string sheet, CutOptions options, Requester requester) {
    LabelRequest r;
    r.fields = cut;
    // The import reads the cut's country of origin into the Made In box.
    r.madeIn = cut.MadeIn.value_or("");
    r.cut = LabelRequest::Cut{std::move(sheet), cut.row};
    r.quantity = options.quantity.value_or(cut.QtyShown);
    r.typedLengthDesc = cut.LengthDesc;
    r.typedMadeIn = cut.MadeIn.value_or("");
    // Checking the brand box puts its RN number in the RN box.
    r.rn = options.brand ? "112806" : "30417";
    r.newFormat = options.newFormat;
    r.brand = options.brand;
    r.printHeaders = options.printHeaders;
    r.printer = std::move(options.printer);
    r.requester = std::move(requester);
    return r;
}

PrintControls ControlsOf(const LabelRequest& r) {
    PrintControls c;
    c.txtRN = r.rn;
    c.chkNew = r.newFormat ? 1 : 0;
    c.chkQuenby = r.brand ? 1 : 0;
    c.chkPrintHeaders = r.printHeaders ? 1 : 0;
    c.txtQty = r.quantity;
    if (!r.cut) {
        const LabelFields& f = r.fields;
        c.txtWIP = f.WIP;
        c.txtStyle = f.Style;
        c.txtColor = f.Color;
        c.txtWaist = f.Waist;
        c.txtLength = f.Length;
        c.txtLDesc = f.LengthDesc;
        c.cmbText1 = f.Text1;
        c.cmbText2 = f.Text2;
        c.cmbText3 = f.Text3;
        c.txtMadeIn = r.madeIn;
        return c;
    }
    c.SelectedFile = r.cut->sheet;
    // The cut's style is the one shown, and so the one looked up.
    c.txtWIP = r.fields.WIP;
    c.txtStyle = r.fields.Style;
    c.txtLDesc = r.typedLengthDesc;
    c.txtMadeIn = r.typedMadeIn;
    return c;
}

LabelJob JobOf(const LabelRequest& r) {
    if (!r.cut) return {};
    LabelJob job;
    static_cast<LabelFields&>(job) = r.fields;
    job.MadeIn = r.madeIn;
    return job;
}

}  // namespace tarnwick
