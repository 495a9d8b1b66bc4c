#include "mainwindow/print_labels.h"

#include "labels/base_point.h"
#include "mainwindow/frm_main_menu.h"
#include "mainwindow/toolkit.h"

namespace tarnwick {

PrintControls ReadPrintControls(const frmMainMenu& form) {
    PrintControls c;
    c.SelectedFile = form.SelectedFile->text().toStdString();
    c.txtWIP = form.txtWIP->text().toStdString();
    c.txtStyle = form.txtStyle->text().toStdString();
    c.txtColor = form.txtColor->text().toStdString();
    c.txtWaist = form.txtWaist->text().toStdString();
    c.txtLength = form.txtLength->text().toStdString();
    c.txtLDesc = form.txtLDesc->text().toStdString();
    c.cmbText1 = form.cmbText1->currentText().toStdString();
    c.cmbText2 = form.cmbText2->currentText().toStdString();
    c.cmbText3 = form.cmbText3->currentText().toStdString();
    c.txtQty = form.txtQty->text().toStdString();
    c.txtMadeIn = form.txtMadeIn->text().toStdString();
    c.txtRN = form.txtRN->text().toStdString();
    c.chkNew = CheckValue(form.chkNew);
    c.chkPrintHeaders = CheckValue(form.chkPrintHeaders);
    c.chkQuenby = CheckValue(form.chkQuenby);
    return c;
}

std::expected<PrintedLabel, Failure> RunPrintRequest(frmMainMenu& form, PrinterOutput& out) {
    const Plant& plant = form.deps().plant;
    const auto code = LookupPrintStyle(plant.databaseFile(), form.txtStyle->text().toStdString());
    if (!code) return std::unexpected(code.error());
    const PrintBases bases{FamilyABase(plant.printer.BaseX, plant.printer.BaseY),
                           OtherFamiliesBase(plant.config.BaseH, plant.config.BaseV)};
    return PrintLabels(ReadPrintControls(form), *code, form.Job, bases, out);
}

void frmMainMenu::btnPrint_Click() {
    std::expected<PrintedLabel, Failure> printed;
    {
        // A printer that stops taking the label keeps the window waiting up to its deadline.
        BusyCursor busy;
        printed = RunPrintRequest(*this, deps_.printer);
    }
    if (!printed) deps_.dialogs.Show(printed.error());
    else if (!printed->note.empty()) deps_.dialogs.Show(printed->note, MessageButtons::Ok, MessageIcon::Information);
}

}  // namespace tarnwick
