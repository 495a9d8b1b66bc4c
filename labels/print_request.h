#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "labels/label_job.h"
#include "labels/printer_output.h"

namespace tarnwick {

// What Print Labels reads from the main window: the texts of its boxes and the values
// of its check boxes (0 unchecked, 1 checked, 2 greyed).
struct PrintControls {
    std::string SelectedFile;
    std::string txtWIP, txtStyle, txtColor, txtWaist, txtLength, txtLDesc;
    std::string cmbText1, cmbText2, cmbText3;
    std::string txtQty, txtMadeIn, txtRN;
    int chkNew = 0;
    int chkPrintHeaders = 0;
    int chkQuenby = 0;
};

// The two base points a label can take: family A's from the Settings row, the other
// families' from config.txt.
struct PrintBases {
    BasePoint familyA;
    BasePoint otherFamilies;
};

// The label that went to the printer.
struct PrintedLabel {
    std::string_view layout;  // "A1" .. "E"
    std::string note;  // the route's note for the operator (SendReceipt)
};

// "O0" before a one-character colour, "O" before a two-character one; others unchanged:
// how a cut sheet's colour is shown and how the bar code carries a typed one.
std::string ColorRule(std::string_view color);

// The manual bar-code value: style in columns 1-5, colour 6-8 ("O0" or "O" before a
// short one), waist 9-11 and length description 12-14 right-aligned, blanks to 17.
// Longer pieces are kept whole, so the value may run past 17 characters.
std::string ComposeBarcode(std::string_view style, std::string_view color, std::string_view waist,
                           std::string_view lengthDesc);

// The layout a request takes for these controls and the style's layout code; a code no
// layout has is given back as it is.
std::string RequestLayout(const PrintControls& controls, std::string_view code);

// Print Labels once `code` (the layout code of the style box's text) is known: the mode
// rules, the window's LabelJob brought up to date, one layout built and sent to `out`.
// Every refusal, of the request, of the builder or of the output, comes back as the
// Failure to show; nothing is sent then.
// Pictures are read below `pictures` (the plant folder; empty: the current folder).
std::expected<PrintedLabel, Failure> PrintLabels(const PrintControls& controls, std::string_view code, LabelJob& job,
                                                 const PrintBases& bases, PrinterOutput& out,
                                                 const std::filesystem::path& pictures = {});

}  // namespace tarnwick
