#include "setupwindow/frm_setup.h"

#include <QKeyEvent>

#include "labels/label_job.h"
#include "labels/sample_label.h"
#include "printjob/print_and_record.h"
#include "store/settings_entry.h"
#include "toolkit/toolkit.h"

namespace tarnwick {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

}  // namespace

void SetOptionValue(QRadioButton* option, bool value) {
    if (value || !option->isChecked()) {
        option->setChecked(value);
        return;
    }
    // An exclusive group will not let its checked button go; let go of it for a moment.
    QButtonGroup* group = option->group();
    const bool exclusive = group != nullptr && group->exclusive();
    if (exclusive) group->setExclusive(false);
    option->setChecked(false);
    if (exclusive) group->setExclusive(true);
}

frmSetup::frmSetup(SetupDeps deps, QWidget* parent)
    // Owned by the main window, it stays above it, even after an error box, and goes with it.
    : QWidget(parent, parent ? Qt::Dialog : Qt::Window), deps_(std::move(deps)) {
    // Unloading on close: the next Setup press loads a fresh window from the settings.
    setAttribute(Qt::WA_DeleteOnClose);
    BuildControls();
    Form_Load();
}

void frmSetup::BuildControls() {
    setWindowTitle("Settings");
    setFixedSize(Twips(5865), Twips(2535));
    // The main window's font, or "Parallel Printer" is clipped.
    setFont(DialogFont());

    Frame1 = new QGroupBox("Layout Settings", this);
    PlaceTwips(Frame1, 120, 120, 5655, 1815);

    Label1 = new QLabel("X", Frame1);
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    PlaceTwips(Label1, 1080, 240, 735, 255);
    Label2 = new QLabel("Y", Frame1);
    Label2->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    PlaceTwips(Label2, 1920, 240, 735, 255);

    Label12 = new QLabel("Base:", Frame1);
    Label12->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    PlaceTwips(Label12, 240, 480, 735, 285);
    txtBaseX = new QLineEdit(Frame1);
    PlaceTwips(txtBaseX, 1080, 480, 735, 285);
    txtBaseY = new QLineEdit(Frame1);
    PlaceTwips(txtBaseY, 1920, 480, 735, 285);

    optParallel = new QRadioButton("Parallel Printer", Frame1);
    PlaceTwips(optParallel, 120, 960, 1575, 255);
    optUSB = new QRadioButton("USB", Frame1);
    PlaceTwips(optUSB, 120, 1320, 855, 255);
    printerOptions = new QButtonGroup(this);
    printerOptions->addButton(optParallel);
    printerOptions->addButton(optUSB);
    optUSB->setChecked(true);

    Label15 = new QLabel("Name:", Frame1);
    Label15->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    PlaceTwips(Label15, 1080, 1320, 735, 285);
    txtPrinterName = new QLineEdit(Frame1);
    PlaceTwips(txtPrinterName, 1920, 1320, 3495, 285);

    btnPrint = new QPushButton("Print Sample", this);
    PlaceTwips(btnPrint, 480, 2040, 1695, 375);
    btnSavePostion = new QPushButton("Save Settings", this);
    PlaceTwips(btnSavePostion, 2280, 2040, 1695, 375);
    btnExitSettings = new QPushButton("Exit Settings", this);
    PlaceTwips(btnExitSettings, 4080, 2040, 1695, 375);

    QWidget* tabOrder[] = {btnExitSettings, txtBaseX,       txtBaseY, optParallel,
                           optUSB,          txtPrinterName, btnPrint, btnSavePostion};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);
    btnExitSettings->setFocus();

    connect(btnPrint, &QPushButton::clicked, this, [this] { btnPrint_Click(); });
    connect(btnSavePostion, &QPushButton::clicked, this, [this] { btnSavePostion_Click(); });
    connect(btnExitSettings, &QPushButton::clicked, this, [this] { btnExitSettings_Click(); });
}

void frmSetup::Form_Load() {
    const PrinterSettings& settings = deps_.plant.printer;
    txtBaseX->setText(Q(BaseText(settings.BaseX)));
    txtBaseY->setText(QString::number(settings.BaseY));
    // Parallel first, then USB: with both stored true the USB button wins.
    SetOptionValue(optParallel, settings.ParallelPrinter.value_or(false));
    SetOptionValue(optUSB, settings.USBPrinter);
    txtPrinterName->setText(Q(settings.USBPrinterName));
}

void frmSetup::btnPrint_Click() {
    // The route and name as they stand in the window, saved or not.
    OutputRoute route = PlantRoute(deps_.plant);
    route.queue = optUSB->isChecked();
    route.printerName = S(txtPrinterName->text());
    FunctionOutput output([this, &route](std::string_view bytes) { return deps_.send(route, bytes); });
    // The main window's journal when it has one; told once the sample is out: a box now
    // would hold the label between its row and its bytes.
    const auto journal = SharedJournalWriter(
        deps_.plant.databaseFile(),
        [this](const Failure& notice) {
            QMetaObject::invokeMethod(
                this, [this, notice] { deps_.dialogs.Show(notice); }, Qt::QueuedConnection);
        },
        false, deps_.plant.shared);
    SendResult sent;
    {
        BusyCursor busy;
        sent = PrintSample(S(txtBaseX->text()), S(txtBaseY->text()), route, output, *journal);
    }
    // The sample's row has its outcome before anyone looks.
    journal->Flush();
    if (!sent) deps_.dialogs.Show(sent.error());
    else if (!sent->note.empty()) deps_.dialogs.Show(sent->note, MessageButtons::Ok, MessageIcon::Information);
}

void frmSetup::btnSavePostion_Click() {
    auto settings = SettingsFromEntries(S(txtBaseX->text()), S(txtBaseY->text()), optParallel->isChecked(),
                                        optUSB->isChecked(), S(txtPrinterName->text()));
    if (!settings) {
        deps_.dialogs.Show(settings.error());
        return;
    }
    // The row first: when it cannot be written the settings in memory stay as they were
    // too, so what prints next is what the database holds. No row: memory only.
    if (const auto saved = deps_.plant.db.SavePrinterSettings(*settings); !saved) {
        deps_.dialogs.Show(saved.error());
        return;
    }
    deps_.plant.printer = std::move(*settings);
}

void frmSetup::btnExitSettings_Click() { close(); }

void frmSetup::keyPressEvent(QKeyEvent* event) {
    // Escape leaves as Exit Settings does.
    if (event->key() == Qt::Key_Escape) btnExitSettings_Click();
    else QWidget::keyPressEvent(event);
}

}  // namespace tarnwick
