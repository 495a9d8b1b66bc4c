#include "mainwindow/print_labels.h"

#include "mainwindow/frm_main_menu.h"
#include "mainwindow/history_window.h"
#include "printjob/print_and_record.h"
#include "toolkit/toolkit.h"

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

LabelRequest RequestOf(const frmMainMenu& form) {
    return RequestFromControls(ReadPrintControls(form), form.Job, form.CurrentRow, {Requester::Kind::Window, {}});
}

void frmMainMenu::btnPrint_Click() {
    std::expected<LabelResult, Failure> printed;
    {
        // A printer that stops taking the label keeps the window waiting up to its deadline.
        BusyCursor busy;
        printed = PrintAndRecord(deps_.plant, RequestOf(*this), *journal_, &deps_.printer);
    }
    // The window keeps the values it printed, as its record of the label.
    if (printed) Job = printed->job;
    // A History window open beside shows the label's job, with its outcome.
    if (HistoryWindow* history = historyWindow(); history != nullptr && history->isVisible()) {
        journal_->Flush();
        history->ShowNewestOwnJob();
    }
    if (!printed) deps_.dialogs.Show(printed.error());
    else if (!printed->note.empty()) deps_.dialogs.Show(printed->note, MessageButtons::Ok, MessageIcon::Information);
}

}  // namespace tarnwick
