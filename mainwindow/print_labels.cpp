#include "mainwindow/print_labels.h"

#include "labels/base_point.h"
#include "mainwindow/frm_main_menu.h"
#include "startup/journaling_output.h"
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

std::expected<PrintedLabel, Failure> RunPrintRequest(frmMainMenu& form, PrinterOutput& out) {
    const Plant& plant = form.deps().plant;
    const auto code = LookupPrintStyle(plant.databaseFile(), form.txtStyle->text().toStdString());
    if (!code) return std::unexpected(code.error());
    const PrintBases bases{FamilyABase(plant.printer.BaseX, plant.printer.BaseY),
                           OtherFamiliesBase(plant.config.BaseH, plant.config.BaseV)};
    return PrintLabels(ReadPrintControls(form), *code, form.Job, bases, out);
}

namespace {

// The journal row of one Print Labels, posted once the label has gone or been refused.
void RecordPrint(frmMainMenu& form, JournalingOutput& journaling, const std::expected<PrintedLabel, Failure>& printed) {
    const Plant& plant = form.deps().plant;
    const PrintControls controls = ReadPrintControls(form);
    std::string layout = printed ? std::string(printed->layout)
                                 : RequestLayout(controls, LookupPrintStyle(plant.databaseFile(), controls.txtStyle)
                                                               .value_or(""));
    JournalEntry facts = RequestFacts("window", controls, std::move(layout), form.Job);
    if (!controls.SelectedFile.empty()) facts.cutRow = form.CurrentRow;
    if (auto entry = journaling.Finish(std::move(facts), printed ? nullptr : &printed.error()))
        form.journal().Post(std::move(*entry));
}

}  // namespace

void frmMainMenu::btnPrint_Click() {
    JournalingOutput journaling(deps_.printer, RouteOf(deps_.plant));
    std::expected<PrintedLabel, Failure> printed;
    {
        // A printer that stops taking the label keeps the window waiting up to its deadline.
        BusyCursor busy;
        printed = RunPrintRequest(*this, journaling);
    }
    if (!printed) deps_.dialogs.Show(printed.error());
    else if (!printed->note.empty()) deps_.dialogs.Show(printed->note, MessageButtons::Ok, MessageIcon::Information);
    RecordPrint(*this, journaling, printed);
}

}  // namespace tarnwick
