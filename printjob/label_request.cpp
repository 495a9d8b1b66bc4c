#include "printjob/label_request.h"

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
