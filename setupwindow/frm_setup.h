#pragma once

#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include "setupwindow/setup_launcher.h"

namespace tarnwick {

// An option button's Value: setting it true clears the other buttons of its group;
// setting it false clears only this one, so a group can have none selected.
void SetOptionValue(QRadioButton* option, bool value);

// The settings window, "Settings": shows and saves PrinterSettings and prints a sample
// label. Modeless and top-level; closing it (Exit Settings or the title bar) unloads it,
// so it must live on the heap. Loading it runs Form_Load.
class frmSetup final : public QWidget {
public:
    explicit frmSetup(SetupDeps deps, QWidget* parent = nullptr);

    // Controls, public so the handlers' tests can drive them by name.
    QGroupBox* Frame1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label12;
    QLineEdit* txtBaseX;
    QLineEdit* txtBaseY;
    QRadioButton* optParallel;
    QRadioButton* optUSB;
    QButtonGroup* printerOptions;
    QLabel* Label15;
    QLineEdit* txtPrinterName;
    QPushButton* btnPrint;
    QPushButton* btnSavePostion;
    QPushButton* btnExitSettings;

    // Handlers.
    void Form_Load();
    void btnPrint_Click();
    void btnSavePostion_Click();
    void btnExitSettings_Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildControls();
    SetupDeps deps_;
};

}  // namespace tarnwick
