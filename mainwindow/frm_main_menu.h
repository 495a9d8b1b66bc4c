#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "labels/label_job.h"
#include "labels/printer_output.h"
#include "store/print_journal.h"
#include "startup/startup.h"
#include "toolkit/dialogs.h"
#include "toolkit/file_lists.h"

class QAction;

namespace tarnwick {

class HistoryWindow;
class PreviewWindow;

// Check-box values as the label system counts them: 0 unchecked, 1 checked, 2 greyed.
int CheckValue(const QCheckBox* box);
void SetCheckValue(QCheckBox* box, int value);

struct MainMenuDeps {
    Plant& plant;                        // config.txt values, Settings row, database
    Dialogs& dialogs;                    // every message box goes through this
    PrinterOutput& printer;              // where Print Labels sends a finished stream
    std::vector<DriveEntry> drives;      // the drive list's entries
    std::function<void()> showSetup;     // Setup: load (once) and show the settings window
};

// The main window, "Tarnwick Main Menu 3.4". Controls keep the label system's names;
// handlers are named control_event and run synchronously on the UI thread.
class frmMainMenu final : public QMainWindow {
public:
    explicit frmMainMenu(MainMenuDeps deps, QWidget* parent = nullptr);

    // Controls, public so the handlers' tests can drive them by name.
    DriveList* Drive1;
    DirList* Dir1;
    FileList* File1;
    QLineEdit* SelectedFile;
    QPushButton* btnImport;
    QComboBox* cmbCut;
    QPushButton* btnMoveToCut;
    QComboBox* cmbRow;
    QLineEdit* txtWIP;
    QLineEdit* txtStyle;
    QLineEdit* txtColor;
    QLineEdit* txtWaist;
    QLineEdit* txtLength;
    QLineEdit* txtLDesc;
    QLineEdit* txtQty;
    QLineEdit* txtStock;
    QComboBox* cmbText1;
    QComboBox* cmbText2;
    QComboBox* cmbText3;
    QCheckBox* chkPrintHeaders;
    QLineEdit* txtMadeIn;
    QLineEdit* txtRN;
    QCheckBox* chkNew;
    QCheckBox* chkQuenby;
    QPushButton* btnSetup;
    QPushButton* btnMoveBack;
    QPushButton* btnMoveNext;
    QPushButton* btnPrint;
    QPushButton* btnExit;
    QAction* mnuPreview;
    QAction* mnuHistory;

    // State the window owns.
    std::int16_t CurrentRow = 0;
    LabelJob Job;

    // Handlers.
    void Form_Load();
    void btnExit_Click();
    void btnSetup_Click();
    void chkQuenby_Click();
    void txtWIP_LostFocus();
    void Drive1_Change();
    void Dir1_Change();
    void File1_Click();
    void File1_DblClick();
    void btnImport_Click();
    void btnMoveBack_Click();
    void btnMoveNext_Click();
    void btnMoveToCut_Click();
    void btnPrint_Click();
    void mnuPreview_Click();
    void mnuHistory_Click();

    MainMenuDeps& deps() { return deps_; }
    // Where Print Labels records its jobs: the row ahead of the label, the rest off the
    // window's thread.
    JournalWriter& journal() { return *journal_; }
    // The windows Label › History… and Label › Preview… opened, while they are open.
    HistoryWindow* historyWindow() const;
    PreviewWindow* previewWindow() const;

private:
    void BuildControls();
    void BuildMenu();
    MainMenuDeps deps_;
    std::unique_ptr<JournalWriter> journal_;
    // Kept rather than looked up: a lookup by type finds any dialog child first.
    QPointer<HistoryWindow> history_;
    QPointer<PreviewWindow> preview_;
};

}  // namespace tarnwick
