#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <optional>

#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"
#include "base/numbers.h"
#include "mainwindow/frm_main_menu.h"
#include "toolkit/toolkit.h"

namespace tarnwick {
namespace {

constexpr const char* kNoFile = "The Selected File Does Not Exist.  Choose Again.";

std::filesystem::path PathOf(const QLineEdit* box) { return std::filesystem::path(box->text().toStdString()); }

QString Q(const std::string& text) { return QString::fromStdString(text); }

// The boxes a cut fills, in the order the label system always set them.
void ShowCut(frmMainMenu& f, const CutRow& cut) {
    f.txtWIP->setText(Q(cut.WIP));
    f.txtStyle->setText(Q(cut.Style));
    f.txtColor->setText(Q(cut.Color));
    f.txtWaist->setText(Q(cut.Waist));
    f.txtLength->setText(Q(cut.Length));
    f.txtLDesc->setText(Q(cut.LengthDesc));
    f.cmbText1->setEditText(Q(cut.Text1));
    f.cmbText2->setEditText(Q(cut.Text2));
    f.cmbText3->setEditText(Q(cut.Text3));
    f.txtStock->setText(Q(cut.Stock));
    if (cut.MadeIn) f.txtMadeIn->setText(Q(*cut.MadeIn));
    f.txtQty->setText(Q(cut.QtyShown));
    f.CutShown();
}

// A move's LoadCutRow, given a row already read whole: the window changes only now.
void LoadCutRow(frmMainMenu& f, const CutRow& cut) {
    f.CurrentRow = static_cast<std::int16_t>(cut.row);
    ApplyCutRow(cut, f.Job);
    ShowCut(f, cut);
    if (cut.WIP.empty()) f.btnPrint->setEnabled(false);
}

}  // namespace

void frmMainMenu::btnImport_Click() {
    if (SelectedFile->text().isEmpty()) {
        deps_.dialogs.Show("You must select a file.", MessageButtons::Ok, MessageIcon::None, "No File Selected");
        return;
    }
    if (!FileExists(PathOf(SelectedFile))) {
        deps_.dialogs.Show(kNoFile, MessageButtons::Ok, MessageIcon::Information);
        return;
    }
    const ConfigValues& config = deps_.plant.config;
    std::expected<CutSheetImport, Failure> imported;
    {
        BusyCursor busy;
        imported = ImportCutSheet(PathOf(SelectedFile), config.StartRow, config.ExtraQty);
        if (imported) {
            CurrentRow = imported->firstRow;
            cmbCut->clear();
            cmbRow->clear();
            for (const CutEntry& entry : imported->listing.cuts) {
                cmbCut->addItem(Q(entry.text));
                cmbRow->addItem(QString::number(entry.row));
            }
            // The operator picks a cut; a fresh list has none chosen.
            cmbCut->setCurrentIndex(-1);
            cmbRow->setCurrentIndex(-1);
            ApplyCutRow(imported->first, Job);
            ShowCut(*this, imported->first);
            btnPrint->setEnabled(true);
        }
    }
    if (!imported) {
        deps_.dialogs.Show(imported.error());
    } else if (imported->listing.notice) {
        deps_.dialogs.Show(*imported->listing.notice);
    }
}

void frmMainMenu::btnMoveBack_Click() {
    const std::filesystem::path file = PathOf(SelectedFile);
    if (!(LeadingNumber(deps_.plant.config.StartRow) < CurrentRow) || file.empty()) return;
    // The row goes down only once it has been read, so a missing file costs no cut.
    const int row = CurrentRow - 1;
    if (row < 1) return;
    if (!FileExists(file)) {
        deps_.dialogs.Show(kNoFile, MessageButtons::Ok, MessageIcon::Information);
        return;
    }
    std::expected<std::optional<CutRow>, Failure> cut;
    {
        BusyCursor busy;
        cut = ReadCutAt(file, row, deps_.plant.config.ExtraQty, RowTest::None);
        if (cut && *cut) LoadCutRow(*this, **cut);
    }
    if (!cut) deps_.dialogs.Show(cut.error());
}

void frmMainMenu::btnMoveNext_Click() {
    const std::filesystem::path file = PathOf(SelectedFile);
    if (file.empty()) return;
    if (!FileExists(file)) {
        deps_.dialogs.Show(kNoFile, MessageButtons::Ok, MessageIcon::Information);
        return;
    }
    if (CurrentRow >= kLastCutRow) return;
    const int row = CurrentRow + 1;
    if (row < 1) {
        // Only a StartRow below 0 gets here.
        if (auto first = FirstCutRow(deps_.plant.config.StartRow); !first) deps_.dialogs.Show(first.error());
        return;
    }
    std::expected<std::optional<CutRow>, Failure> cut;
    {
        BusyCursor busy;
        cut = ReadCutAt(file, row, deps_.plant.config.ExtraQty, RowTest::MustHoldCut);
        if (cut && *cut) LoadCutRow(*this, **cut);
    }
    if (!cut) deps_.dialogs.Show(cut.error());
}

void frmMainMenu::btnMoveToCut_Click() {
    const std::filesystem::path file = PathOf(SelectedFile);
    const int chosen = cmbCut->currentIndex();
    if (file.empty() || chosen < 0 || cmbCut->itemText(chosen).isEmpty()) {
        deps_.dialogs.Show("You must import a file and select a cut.", MessageButtons::Ok, MessageIcon::Information);
        return;
    }
    if (!FileExists(file)) {
        deps_.dialogs.Show(kNoFile, MessageButtons::Ok, MessageIcon::Information);
        return;
    }
    const auto row = RoundToInt16(LeadingNumber(cmbRow->itemText(chosen).toStdString()));
    if (!row || *row < 1) return;
    std::expected<std::optional<CutRow>, Failure> cut;
    {
        BusyCursor busy;
        // A row whose column 1 is empty (the sheet changed since the import) loads
        // nothing and leaves CurrentRow where it was.
        cut = ReadCutAt(file, *row, deps_.plant.config.ExtraQty, RowTest::MustHoldCut);
        if (cut && *cut) LoadCutRow(*this, **cut);
    }
    if (!cut) deps_.dialogs.Show(cut.error());
}

}  // namespace tarnwick
