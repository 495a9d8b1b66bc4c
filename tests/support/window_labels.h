#pragma once

#include <string>

#include "mainwindow/frm_main_menu.h"

namespace tarnwick::testing {

// A label typed into the main window's boxes, then the WIP box left.
inline void TypeLabel(frmMainMenu& f, const char* style = "1234") {
    f.txtWIP->setText("004512");
    f.txtStyle->setText(style);
    f.txtColor->setText("5");
    f.txtWaist->setText("32");
    f.txtLength->setText("30");
    f.txtLDesc->setText("R");
    f.cmbText1->setEditText("65% POLYESTER");
    f.cmbText2->setEditText("35% COTTON");
    f.cmbText3->setEditText("MACHINE WASH");
    f.txtQty->setText("24");
    SetCheckValue(f.chkPrintHeaders, 1);
    f.txtWIP_LostFocus();
}

// A cut as an import leaves the window: the record filled, the sheet named.
inline void ImportCut(frmMainMenu& f, const std::string& style, int chkNew) {
    f.SelectedFile->setText("/plant/cuts/order 7.csv");
    f.Job.WIP = "4012";
    f.Job.Style = style;
    f.Job.Color = "O07";
    f.Job.Waist = "32";
    f.Job.Length = "30";
    f.Job.LengthDesc = "30";
    f.Job.Text1 = "65% POLYESTER";
    f.Job.Text2 = "35% COTTON";
    f.Job.Text3 = "MACHINE WASH";
    f.Job.Barcode = style + " O07 32 30   ";
    f.Job.Qty = "3";
    f.Job.MadeIn = "MADE IN U.S.A.";
    f.txtWIP->setText("4012");
    f.txtStyle->setText(QString::fromStdString(style));
    f.txtQty->setText("6");
    SetCheckValue(f.chkNew, chkNew);
    SetCheckValue(f.chkPrintHeaders, 0);
    f.txtWIP_LostFocus();
}

}  // namespace tarnwick::testing
