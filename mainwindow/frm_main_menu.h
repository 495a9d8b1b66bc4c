#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "labels/label_job.h"
#include "labels/printer_output.h"
#include "store/print_journal.h"
#include "startup/startup.h"
#include "toolkit/dialogs.h"
#include "toolkit/file_lists.h"

class QAction;
class QTimer;

namespace tarnwick {

class HistoryWindow;
class PreviewWindow;

// The fabric-line boxes: editable, and while locked neither typed into nor chosen from.
class FabricCombo final : public QComboBox {
public:
    using QComboBox::QComboBox;
    void SetLocked(bool locked);
    bool locked() const { return locked_; }
    void showPopup() override;

protected:
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool locked_ = false;
};

// Check-box values as the label system counts them: 0 unchecked, 1 checked, 2 greyed.
int CheckValue(const QCheckBox* box);
void SetCheckValue(QCheckBox* box, int value);

struct MainMenuDeps {
    Plant& plant;  // config.txt values, Settings row, database
    Dialogs& dialogs;  // every message box goes through this
    PrinterOutput& printer;  // where Print Labels sends a finished stream
    std::vector<DriveEntry> drives;  // the drive list's entries
    std::function<void()> showSetup;  // Setup: load (once) and show the settings window
    // Where the file lists open: the program gives the plant folder (a desktop menu
    // starts programs in the home folder); empty, the current folder.
    std::filesystem::path listsOpenIn = {};
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
    FabricCombo* cmbText1;
    FabricCombo* cmbText2;
    FabricCombo* cmbText3;
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
    // Below the buttons: what holds while it lasts (a loaded cut, a journal or plant
    // database outage), told without taking the keyboard from the operator.
    QLabel* lblCutLoaded;
    QLabel* lblNotice;

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

    // A cut was shown from the sheet: the boxes it fills print its values, so they take
    // no typing while file mode lasts.
    void CutShown();
    // A notice of the journal or the plant database: shown on its line until the next of
    // the same source; a notice that an outage is over goes after a while.
    enum class NoticeSource { Journal, Plant };
    void ShowNotice(NoticeSource source, const Failure& notice);

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
    void LockCutBoxes();
    void ShowNotices();
    bool cutShown_ = false;
    std::string notices_[2];
    QTimer* noticeExpiry_[2] = {nullptr, nullptr};
    MainMenuDeps deps_;
    std::shared_ptr<JournalWriter> journal_;
    // Kept rather than looked up: a lookup by type finds any dialog child first.
    QPointer<HistoryWindow> history_;
    QPointer<PreviewWindow> preview_;
};

}  // namespace tarnwick
