#include "mainwindow/frm_main_menu.h"

#include "labels/fabric_lists.h"

#include <QAction>
#include <QFont>
#include <QFrame>
#include <QKeyEvent>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWidget>
#include <span>
#include <utility>

#include "base/numbers.h"
#include "mainwindow/history_window.h"
#include "mainwindow/preview_window.h"
#include "mainwindow/print_labels.h"
#include "preview/label_renderer.h"
#include "printjob/print_and_record.h"
#include "toolkit/toolkit.h"

namespace tarnwick {

int CheckValue(const QCheckBox* box) {
    switch (box->checkState()) {
        case Qt::Unchecked: return 0;
        case Qt::Checked: return 1;
        case Qt::PartiallyChecked: return 2;
    }
    return 0;
}

void SetCheckValue(QCheckBox* box, int value) {
    box->setCheckState(value == 0 ? Qt::Unchecked : value == 1 ? Qt::Checked : Qt::PartiallyChecked);
}

namespace {

constexpr int kClientWidth = 7320;
constexpr int kClientHeight = 7290;

QFont TimesNewRoman(double points) {
    QFont font("Times New Roman");
    font.setPointSizeF(points);
    return font;
}

template <typename W>
W* Place(W* widget, int left, int top, int width, int height) {
    PlaceTwips(widget, left, top, width, height);
    return widget;
}

QLabel* Caption(QWidget* parent, const char* text, int left, int top, int width,
                Qt::Alignment align = Qt::AlignRight | Qt::AlignVCenter) {
    auto* label = Place(new QLabel(QString::fromUtf8(text), parent), left, top, width, 255);
    label->setAlignment(align);
    return label;
}

void Rule(QWidget* parent, int top) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    PlaceTwips(line, 120, top - 15, 7080 - 120, 30);
}

QLineEdit* TextBox(QWidget* parent, int left, int top, int width, int height) {
    return Place(new QLineEdit(parent), left, top, width, height);
}

QPushButton* Button(QWidget* parent, const char* caption, int left, int top, int width, int height) {
    auto* button = Place(new QPushButton(QString::fromUtf8(caption), parent), left, top, width, height);
    button->setAutoDefault(false);
    return button;
}

FabricCombo* FabricBox(QWidget* parent, int top) {
    auto* box = Place(new FabricCombo(parent), 2040, top, 3975, 315);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}

// How long "answers again" stays on the notice line.
constexpr int kRecoveryShownMs = 10000;

constexpr const char* kCutLoadedTip =
    "The cut's value: it prints as shown. Move Back, Move Next or Move to Cut "
    "for another cut, or clear Filename to type a label.";

}  // namespace

void FabricCombo::SetLocked(bool locked) {
    locked_ = locked;
    if (QLineEdit* edit = lineEdit()) edit->setReadOnly(locked);
}

void FabricCombo::showPopup() {
    if (!locked_) QComboBox::showPopup();
}

void FabricCombo::wheelEvent(QWheelEvent* event) {
    if (locked_) event->ignore();
    else QComboBox::wheelEvent(event);
}

void FabricCombo::keyPressEvent(QKeyEvent* event) {
    // The arrows and paging keys choose another list item, F4 and Alt+Down open the list.
    const int key = event->key();
    if (locked_ && (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp || key == Qt::Key_PageDown ||
                    key == Qt::Key_Home || key == Qt::Key_End || key == Qt::Key_F4)) {
        event->ignore();
        return;
    }
    QComboBox::keyPressEvent(event);
}

frmMainMenu::frmMainMenu(MainMenuDeps deps, QWidget* parent) : QMainWindow(parent), deps_(std::move(deps)) {
    setWindowTitle("Tarnwick Main Menu 3.4");
    BuildControls();
    BuildMenu();
    // The notice comes from the journal's thread; the box is shown on the window's.
    journal_ = SharedJournalWriter(
        deps_.plant.databaseFile(),
        [this](const Failure& notice) {
            QMetaObject::invokeMethod(
                this, [this, notice] { ShowNotice(NoticeSource::Journal, notice); }, Qt::QueuedConnection);
        },
        true, deps_.plant.shared);
    Form_Load();
    Drive1->setFocus();
}

void frmMainMenu::BuildControls() {
    auto* client = new QWidget(this);
    client->setFixedSize(Twips(kClientWidth), Twips(kClientHeight));
    client->setFont(DialogFont());
    setCentralWidget(client);

    Drive1 = Place(new DriveList(deps_.drives, client), 120, 120, 3255, 405);
    Drive1->setFont(TimesNewRoman(12));
    Dir1 = Place(new DirList(client), 120, 600, 3255, 1365);
    Dir1->setFont(TimesNewRoman(9.75));
    File1 = Place(new FileList(client), 3600, 120, 3495, 1890);
    File1->setFont(TimesNewRoman(9.75));
    Caption(client, "Filename:", 120, 2160, 975, Qt::AlignLeft | Qt::AlignVCenter)->setFont(TimesNewRoman(12));
    SelectedFile = TextBox(client, 1200, 2160, 4215, 285);
    btnImport = Button(client, "Import CSV File", 5520, 2160, 1575, 375);
    Rule(client, 2640);

    Caption(client, "Select Cut:", 0, 2760, 855);
    cmbCut = Place(new QComboBox(client), 1080, 2760, 4335, 315);
    btnMoveToCut = Button(client, "Move to Cut", 5520, 2760, 1575, 375);
    cmbRow = Place(new QComboBox(client), 6960, 2760, 390, 315);
    cmbRow->setVisible(false);
    Rule(client, 3240);

    Caption(client, "WIP #:", 720, 3480, 855);
    Caption(client, "Style:", 720, 3840, 855);
    Caption(client, "Color:", 720, 4200, 855);
    Caption(client, "Waist:", 720, 4560, 855);
    Caption(client, "Length:", 3480, 3480, 855);
    Caption(client, "Length Desc:", 3360, 3840, 975);
    Caption(client, "Qty:", 3480, 4200, 855);
    Caption(client, "Label Stock:", 3360, 4560, 975);
    txtWIP = TextBox(client, 1680, 3480, 1575, 285);
    txtStyle = TextBox(client, 1680, 3840, 1575, 285);
    txtColor = TextBox(client, 1680, 4200, 1575, 285);
    txtWaist = TextBox(client, 1680, 4560, 1575, 285);
    txtLength = TextBox(client, 4440, 3480, 1575, 285);
    txtLDesc = TextBox(client, 4440, 3840, 1575, 285);
    txtQty = TextBox(client, 4440, 4200, 1575, 285);
    txtStock = TextBox(client, 4440, 4560, 1575, 285);
    txtStock->setEnabled(false);

    Caption(client, "Line 1:", 1080, 5040, 855);
    Caption(client, "Line 2:", 1080, 5400, 855);
    Caption(client, "Line 3:", 1080, 5760, 855);
    cmbText1 = FabricBox(client, 5040);
    cmbText2 = FabricBox(client, 5400);
    cmbText3 = FabricBox(client, 5760);

    // Lies beyond the client width on purpose: never seen, still reachable by Tab.
    chkPrintHeaders = Place(new QCheckBox("Print Headers && Images", client), 9000, 5400, 2175, 255);
    Caption(client, "Made In:", 120, 6240, 735);
    txtMadeIn = TextBox(client, 960, 6240, 1455, 285);
    Caption(client, "RN:", 2640, 6240, 735);
    txtRN = TextBox(client, 3480, 6240, 1455, 285);
    txtRN->setText("30417");
    chkNew = Place(new QCheckBox("New Format", client), 5640, 6240, 1335, 255);
    chkNew->setCheckState(Qt::Checked);
    chkQuenby = Place(new QCheckBox("Quenby", client), 5640, 6480, 1335, 255);

    btnSetup = Button(client, "Setup", 240, 6840, 1215, 375);
    btnMoveBack = Button(client, "Move Back", 1560, 6840, 1335, 375);
    btnMoveNext = Button(client, "Move Next", 3000, 6840, 1335, 375);
    btnPrint = Button(client, "Print Labels", 4440, 6840, 1335, 375);
    btnExit = Button(client, "Exit", 5880, 6840, 1335, 375);

    // Tab order by the label system's tab indices.
    const QWidget* order[] = {Drive1,   Dir1,      File1,    SelectedFile, btnImport,   txtWIP,
                              txtStyle, txtColor,  txtWaist, txtLength,    txtLDesc,    txtQty,
                              txtStock, cmbText1,  cmbText2, cmbText3,     btnMoveBack, btnMoveNext,
                              btnPrint, btnExit,   cmbCut,   btnMoveToCut, cmbRow,      chkPrintHeaders,
                              chkNew,   txtMadeIn, btnSetup, txtRN,        chkQuenby};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(const_cast<QWidget*>(order[i - 1]), const_cast<QWidget*>(order[i]));

    // The lists start where they are told, else on the current drive and directory,
    // before any handler is wired.
    std::error_code ec;
    const std::filesystem::path cwd =
        deps_.listsOpenIn.empty() ? std::filesystem::current_path() : std::filesystem::absolute(deps_.listsOpenIn, ec);
    Drive1->SetDrive(Drive1->DriveOf(cwd));
    Dir1->SetPath(cwd.string());
    File1->SetPath(Dir1->Path());

    connect(btnExit, &QPushButton::clicked, this, [this] { btnExit_Click(); });
    connect(btnSetup, &QPushButton::clicked, this, [this] { btnSetup_Click(); });
    connect(btnImport, &QPushButton::clicked, this, [this] { btnImport_Click(); });
    connect(btnMoveBack, &QPushButton::clicked, this, [this] { btnMoveBack_Click(); });
    connect(btnMoveNext, &QPushButton::clicked, this, [this] { btnMoveNext_Click(); });
    connect(btnMoveToCut, &QPushButton::clicked, this, [this] { btnMoveToCut_Click(); });
    connect(btnPrint, &QPushButton::clicked, this, [this] { btnPrint_Click(); });
    // stateChanged fires for the operator's clicks and for changes made by code alike.
    connect(chkQuenby, &QCheckBox::stateChanged, this, [this] { chkQuenby_Click(); });
    OnFocusOut(txtWIP, [this] { txtWIP_LostFocus(); });
    Drive1->onChange = [this] { Drive1_Change(); };
    Dir1->onChange = [this] { Dir1_Change(); };
    File1->onClick = [this] { File1_Click(); };
    File1->onDblClick = [this] { File1_DblClick(); };
    connect(SelectedFile, &QLineEdit::textChanged, this, [this] { LockCutBoxes(); });
    connect(chkNew, &QCheckBox::stateChanged, this, [this] { LockCutBoxes(); });

    auto* notices = new QWidget(this);
    auto* lines = new QVBoxLayout(notices);
    lines->setContentsMargins(Twips(120), 0, Twips(120), 0);
    lblCutLoaded = new QLabel(
        QString::fromUtf8("A cut is loaded: its boxes print as shown and take no typing (Qty may be changed). "
                          "Move Back, Move Next or Move to Cut for another cut."),
        notices);
    lblNotice = new QLabel(notices);
    for (QLabel* line : {lblCutLoaded, lblNotice}) {
        line->setWordWrap(true);
        line->setTextInteractionFlags(Qt::TextSelectableByMouse);
        line->setVisible(false);
        lines->addWidget(line);
    }
    lblNotice->setObjectName("lblNotice");
    lblNotice->setAccessibleName("Notice");
    statusBar()->setSizeGripEnabled(false);
    statusBar()->addWidget(notices, 1);
    statusBar()->setVisible(false);
    for (QTimer*& expiry : noticeExpiry_) {
        expiry = new QTimer(this);
        expiry->setSingleShot(true);
    }
    connect(noticeExpiry_[0], &QTimer::timeout, this, [this] {
        notices_[0].clear();
        ShowNotices();
    });
    connect(noticeExpiry_[1], &QTimer::timeout, this, [this] {
        notices_[1].clear();
        ShowNotices();
    });
}

void frmMainMenu::CutShown() {
    cutShown_ = true;
    LockCutBoxes();
}

void frmMainMenu::LockCutBoxes() {
    const bool locked = cutShown_ && !SelectedFile->text().isEmpty();
    // In New Format an empty Length Desc or Made In of the cut is taken from its box.
    const bool newFormat = CheckValue(chkNew) == 1;
    const auto cutGives = [](const std::string& value) { return value.find_first_not_of(' ') != std::string::npos; };
    for (QLineEdit* box : {txtWIP, txtStyle, txtColor, txtWaist, txtLength}) {
        box->setReadOnly(locked);
        box->setToolTip(locked ? kCutLoadedTip : "");
    }
    const std::pair<QLineEdit*, bool> fromBox[] = {
        {txtLDesc, !newFormat || cutGives(Job.LengthDesc)},
        {txtMadeIn, cutGives(Job.MadeIn)},
    };
    for (const auto& [box, fromCut] : fromBox) {
        // What is typed there would not print: show the cut's value instead.
        if (locked && fromCut && box == txtLDesc) box->setText(QString::fromStdString(Job.LengthDesc));
        box->setReadOnly(locked && fromCut);
        box->setToolTip(locked && fromCut ? kCutLoadedTip : "");
    }
    for (FabricCombo* box : {cmbText1, cmbText2, cmbText3}) {
        box->SetLocked(locked);
        box->setToolTip(locked ? kCutLoadedTip : "");
    }
    lblCutLoaded->setVisible(locked);
    statusBar()->setVisible(locked || lblNotice->isVisible());
}

void frmMainMenu::ShowNotice(NoticeSource source, const Failure& notice) {
    const auto at = static_cast<std::size_t>(source);
    notices_[at] = notice.text;
    if (notice.clears) noticeExpiry_[at]->start(kRecoveryShownMs);
    else noticeExpiry_[at]->stop();
    ShowNotices();
}

void frmMainMenu::ShowNotices() {
    QStringList shown;
    for (const std::string& text : notices_)
        if (!text.empty()) shown << QString::fromStdString(text);
    lblNotice->setText(shown.join('\n'));
    lblNotice->setVisible(!shown.isEmpty());
    statusBar()->setVisible(lblCutLoaded->isVisible() || !shown.isEmpty());
}

void frmMainMenu::BuildMenu() {
    QMenu* label = menuBar()->addMenu("&Label");
    mnuPreview = label->addAction(QString::fromUtf8("&Preview…"));
    mnuPreview->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    connect(mnuPreview, &QAction::triggered, this, [this] { mnuPreview_Click(); });
    mnuHistory = label->addAction(QString::fromUtf8("&History…"));
    mnuHistory->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    connect(mnuHistory, &QAction::triggered, this, [this] { mnuHistory_Click(); });
}

void frmMainMenu::Form_Load() {
    const std::pair<QComboBox*, std::span<const char* const>> lists[] = {
        {cmbText1, kText1Items}, {cmbText2, kText2Items}, {cmbText3, kText3Items}};
    for (const auto& [box, items] : lists) {
        for (const char* item : items) box->addItem(QString::fromUtf8(item));
        box->setCurrentIndex(-1);
        box->setEditText(QString());
    }
    // Start-up has already refused a StartRow outside the 16-bit range.
    CurrentRow = RoundToInt16(LeadingNumber(deps_.plant.config.StartRow)).value_or(0);
    btnPrint->setEnabled(false);
}

void frmMainMenu::btnExit_Click() { close(); }

void frmMainMenu::btnSetup_Click() {
    if (deps_.showSetup) deps_.showSetup();
}

void frmMainMenu::chkQuenby_Click() {
    if (CheckValue(chkQuenby) == 1) txtRN->setText("112806");
}

void frmMainMenu::txtWIP_LostFocus() { btnPrint->setEnabled(true); }

HistoryWindow* frmMainMenu::historyWindow() const { return history_.data(); }

PreviewWindow* frmMainMenu::previewWindow() const { return preview_.data(); }

// Label › Preview…: Print Labels to the letter, lookup, mode rules and refusals
// included, but the stream is captured and drawn instead of printed.
void frmMainMenu::mnuPreview_Click() {
    CapturingOutput capture;
    const auto printed = PreviewRequest(deps_.plant, RequestOf(*this), capture);
    if (!printed) {
        deps_.dialogs.Show(printed.error());
        return;
    }
    if (capture.streams.size() != 1) {
        deps_.dialogs.Show("No label was composed, so there is nothing to preview.");
        return;
    }
    const std::string& stream = capture.streams.front();
    auto rendering = RenderLabel(stream);
    if (!rendering) {
        deps_.dialogs.Show(rendering.error());
        return;
    }
    ShowPreview(preview_, PreviewOf::NextLabel, this, std::string(printed->layout), stream.size(),
                std::move(*rendering));
}

// Label › History…: one history window, brought forward and read afresh when open.
void frmMainMenu::mnuHistory_Click() {
    // The last label's outcome is still on its way to the journal when the operator is quick.
    journal_->Flush();
    if (history_.isNull()) {
        history_ = new HistoryWindow(deps_.plant, deps_.dialogs, deps_.printer, this);
        history_->setObjectName("HistoryWindow");
    } else {
        history_->Refresh();
    }
    history_->show();
    history_->raise();
    history_->activateWindow();
}

}  // namespace tarnwick
