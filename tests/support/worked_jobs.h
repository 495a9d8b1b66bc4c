#pragma once

#include "labels/label_job.h"
#include "labels/print_request.h"

namespace tarnwick::test {

// A label typed into the main window (manual mode), style 1234.
inline PrintControls TypedLabel() {
    PrintControls c;
    c.txtWIP = "004512";
    c.txtStyle = "1234";
    c.txtColor = "5";
    c.txtWaist = "32";
    c.txtLength = "30";
    c.txtLDesc = "R";
    c.cmbText1 = "65% POLYESTER";
    c.cmbText2 = "35% COTTON";
    c.cmbText3 = "MACHINE WASH";
    c.txtQty = "24";
    c.txtMadeIn = "MADE IN MEXICO";
    c.txtRN = "30417";
    c.chkPrintHeaders = 1;
    return c;
}

// The job of the new-format and lot-heading worked examples.
inline LabelArgs Job4012() {
    LabelArgs a;
    a.WIP = "4012";
    a.Style = "12345";
    a.Color = "7";
    a.Waist = "32";
    a.Length = "30";
    a.LengthDesc = "30";
    a.Text1 = "65% POLYESTER";
    a.Text2 = "35% COTTON";
    a.Text3 = "MACHINE WASH";
    a.Barcode = "12345O07 32 30";
    a.Qty = "24";
    a.MadeIn = "MADE IN U.S.A.";
    a.RN = "30417";
    return a;
}

// The job of the style-heading, inline-heading and stacked-lot worked examples.
inline LabelArgs Job004512() {
    LabelArgs a;
    a.WIP = "004512";
    a.Style = "12345";
    a.Color = "01";
    a.Waist = "32";
    a.Length = "30";
    a.LengthDesc = "30";
    a.Text1 = "100% WOOL";
    a.Text2 = "DRY CLEAN";
    a.Text3 = "ONLY";
    a.Barcode = "12345O01 32 30";
    a.Qty = "25";
    a.PrintHeaders = true;
    return a;
}

// Picture bytes that hold every byte value, ESC and NUL included.

}  // namespace tarnwick::test
