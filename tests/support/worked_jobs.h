#pragma once

#include "labels/label_job.h"

namespace tarnwick::test {

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
