#include "mainwindow/history_window.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "mainwindow/frm_main_menu.h"
#include "mainwindow/preview_window.h"
#include "preview/label_renderer.h"
#include "base/printable_text.h"
#include "labels/reprint_stream.h"
#include "plantdb/plant_database.h"
#include "plantdb/plant_station.h"
#include "store/plant_copy.h"
#include "printjob/print_and_record.h"
#include "toolkit/toolkit.h"

namespace tarnwick {
namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// The journal keeps UTC; the operator reads the station's own clock.
QString LocalTime(const std::string& utc) {
    const QDateTime time = QDateTime::fromString(Q(utc), Qt::ISODateWithMs);
    if (!time.isValid()) return Q(utc);
    return time.toLocalTime().toString("yyyy-MM-dd HH:mm:ss");
}

// A recorded text as the list shows it: a control character typed into a box is shown,
// never acted on.
QString Shown(const std::string& text) { return Q(PrintableText(text)); }

QString Outcome(const JournalEntry& job) {
    const ShownOutcome shown = ShowOutcome(job);
    QString text = Shown(shown.outcome);
    if (job.reprintOf) text += QString(", reprint of %1").arg(*job.reprintOf);
    if (job.reprintOf && !job.reprintOfStation.empty()) text += " of " + Shown(job.reprintOfStation);
    if (shown.outcome != "sent" && !shown.message.empty()) text += ": " + Shown(shown.message);
    return text;
}

// The quantity a reprint offers first: the recorded one when a reprint can take it.
int OfferedQuantity(const std::string& recorded) { return ReprintQuantity(recorded).value_or(1); }

QPushButton* Button(const char* caption, QWidget* parent) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    // Enter in a filter box must not reprint.
    button->setAutoDefault(false);
    return button;
}

}  // namespace

HistoryWindow::HistoryWindow(Plant& plant, Dialogs& dialogs, PrinterOutput& printer, QWidget* parent)
    : QDialog(parent),
      plant_(plant),
      dialogs_(dialogs),
      printer_(printer),
      // The main window's journal when it has one; told once the reprint is out: a box now
      // would hold the label between its row and its bytes.
      journal_(SharedJournalWriter(
          plant.databaseFile(),
          [this](const Failure& notice) {
              QMetaObject::invokeMethod(
                  this, [this, notice] { dialogs_.Show(notice); }, Qt::QueuedConnection);
          },
          false, plant.shared)) {
    setWindowTitle("Print History");
    setModal(false);

    txtWIP = new QLineEdit(this);
    txtStyle = new QLineEdit(this);
    auto* wipCaption = new QLabel("&WIP #:", this);
    wipCaption->setBuddy(txtWIP);
    auto* styleCaption = new QLabel("&Style:", this);
    styleCaption->setBuddy(txtStyle);
    lblCount = new QLabel(this);

    lstJobs = new QTableWidget(0, 8, this);
    // The journal keeps UTC; the list shows the station's clock and says so.
    lstJobs->setHorizontalHeaderLabels(
        {"Time (local)", "Station", "WIP", "Style", "Layout", "Qty", "Printer", "Outcome"});
    // One station's own history has one station.
    lstJobs->setColumnHidden(1, plant.shared == nullptr);
    lstJobs->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstJobs->setSelectionMode(QAbstractItemView::SingleSelection);
    lstJobs->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstJobs->setTabKeyNavigation(false);
    lstJobs->verticalHeader()->setVisible(false);
    lstJobs->verticalHeader()->setDefaultSectionSize(lstJobs->fontMetrics().height() + 6);
    lstJobs->horizontalHeader()->setStretchLastSection(true);
    lstJobs->setWordWrap(false);
    const int columnWidths[] = {140, 80, 80, 80, 55, 50, 130};
    for (int i = 0; i < 7; ++i) lstJobs->setColumnWidth(i, columnWidths[i]);

    btnReprint = Button("&Reprint\u2026", this);
    btnPreview = Button("&Preview", this);
    btnClose = Button("Close", this);

    auto* filter = new QHBoxLayout;
    filter->addWidget(wipCaption);
    filter->addWidget(txtWIP);
    filter->addSpacing(12);
    filter->addWidget(styleCaption);
    filter->addWidget(txtStyle);
    filter->addStretch();
    filter->addWidget(lblCount);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnReprint);
    buttons->addWidget(btnPreview);
    buttons->addStretch();
    buttons->addWidget(btnClose);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filter);
    layout->addWidget(lstJobs, 1);
    layout->addLayout(buttons);
    resize(860, 460);

    setTabOrder(txtWIP, txtStyle);
    setTabOrder(txtStyle, lstJobs);
    setTabOrder(lstJobs, btnReprint);
    setTabOrder(btnReprint, btnPreview);
    setTabOrder(btnPreview, btnClose);

    askQuantity = [this](int original) -> std::optional<int> {
        bool ok = false;
        const int quantity =
            QInputDialog::getInt(this, "Reprint", "Number of labels to print:", original, 1, 32767, 1, &ok);
        if (!ok) return std::nullopt;
        return quantity;
    };

    connect(txtWIP, &QLineEdit::textChanged, this, [this] { Refresh(); });
    connect(txtStyle, &QLineEdit::textChanged, this, [this] { Refresh(); });
    // Reprint and Preview act on the chosen job; with none chosen there is nothing to do.
    connect(lstJobs, &QTableWidget::itemSelectionChanged, this, [this] {
        const bool chosen = !lstJobs->selectedItems().isEmpty();
        btnReprint->setEnabled(chosen);
        btnPreview->setEnabled(chosen);
    });
    btnReprint->setEnabled(false);
    btnPreview->setEnabled(false);
    connect(btnReprint, &QPushButton::clicked, this, [this] { btnReprint_Click(); });
    connect(btnPreview, &QPushButton::clicked, this, [this] { btnPreview_Click(); });
    connect(btnClose, &QPushButton::clicked, this, &QDialog::close);

    Refresh();
    txtWIP->setFocus();
}

HistoryWindow::~HistoryWindow() = default;

PreviewWindow* HistoryWindow::previewWindow() const { return preview_.data(); }

void HistoryWindow::Refresh() {
    JournalQuery query;
    query.wip = txtWIP->text().toStdString();
    query.style = txtStyle->text().toStdString();
    query.prefix = true;
    query.limit = kShown;
    auto jobs = ReadHistory(query);
    if (!jobs) {
        jobs_.clear();
        lstJobs->setRowCount(0);
        lblCount->setText("");
        // Told once while it lasts, not at every keystroke in a filter box.
        if (!readFailing_) dialogs_.Show(jobs.error());
        readFailing_ = true;
        return;
    }
    readFailing_ = false;
    jobs_ = std::move(*jobs);

    lstJobs->setUpdatesEnabled(false);
    lstJobs->clearContents();
    lstJobs->setRowCount(static_cast<int>(jobs_.size()));
    for (int row = 0; row < static_cast<int>(jobs_.size()); ++row) {
        const JournalEntry& job = jobs_[static_cast<std::size_t>(row)];
        const QString cells[] = {LocalTime(job.time), Shown(job.station),  Shown(job.wip),     Shown(job.style),
                                 Shown(job.layout),   Shown(job.quantity), Shown(job.printer), Outcome(job)};
        for (int column = 0; column < 8; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            // The printer's path and a refusal's message are often wider than their column.
            if (column >= 6) item->setToolTip(cells[column]);
            lstJobs->setItem(row, column, item);
        }
    }
    // A printer's device path is often wider than a column: the column takes it, and the
    // operator can still narrow it.
    lstJobs->resizeColumnToContents(6);
    lstJobs->setUpdatesEnabled(true);
    if (!jobs_.empty()) lstJobs->selectRow(0);
    lblCount->setText(jobs_.size() == 1                          ? QString("1 job")
                      : static_cast<int>(jobs_.size()) == kShown ? QString("the latest %1 jobs").arg(kShown)
                                                                 : QString("%1 jobs").arg(jobs_.size()));
}

bool HistoryWindow::IsOtherStations(const JournalEntry& job) const {
    if (!showingPlant_ || Station() == nullptr) return false;
    // By id, not name: two stations cloned from one image may share a host name.
    const auto own = StationId(plant_.db.handle(), plant_.databaseFile());
    return !own || job.stationId != *own;
}

std::expected<std::vector<JournalEntry>, Failure> HistoryWindow::ReadHistory(const JournalQuery& query) {
    SharedPlant* station = Station();
    showingPlant_ = false;
    // While the plant is down every keystroke would wait for it: this station's own serve.
    if (station != nullptr && station->answering()) {
        auto jobs = station->History(query);
        if (jobs) {
            showingPlant_ = true;
            setWindowTitle("Print History \u2013 the plant");
            // This station's labels not sent on yet are its history too. Should data.mdb
            // not read, the journal's own notice says so.
            (void)station->AddWaitingJobs(query, *jobs);
            return std::move(*jobs);
        }
        station->MarkDown(jobs.error(), plant_.db.handle());
    }
    setWindowTitle(station != nullptr ? "Print History \u2013 this station only (the plant database does not answer)"
                                      : "Print History");
    auto own = ReadJournal(plant_.databaseFile(), query);
    // Every job here is this station's, under the name the plant gives it.
    if (own)
        for (JournalEntry& job : *own) job.station = StationName(plant_.config);
    return own;
}

std::expected<JournalEntry, Failure> HistoryWindow::PlantJob(const JournalEntry& chosen) {
    SharedPlant* station = Station();
    auto jobs = station->Job(chosen.station, chosen.id);
    if (!jobs) return std::unexpected(jobs.error());
    if (jobs->size() != 1)
        return std::unexpected(Failure{"Job " + std::to_string(chosen.id) + " of station " + chosen.station +
                                       " cannot be told apart in the plant's history: " + std::to_string(jobs->size()) +
                                       " jobs match. Give each station a name of its "
                                       "own (Station,NAME in config.txt)."});
    return std::move(jobs->front());
}

std::optional<JournalEntry> HistoryWindow::SelectedJob() {
    const int row = lstJobs->currentRow();
    if (row < 0 || row >= static_cast<int>(jobs_.size()) || lstJobs->selectedItems().isEmpty()) {
        dialogs_.Show("Choose a job in the list first.");
        return std::nullopt;
    }
    const JournalEntry& chosen = jobs_[static_cast<std::size_t>(row)];
    std::expected<JournalEntry, Failure> job = std::unexpected(Failure{});
    if (IsOtherStations(chosen)) job = PlantJob(chosen);
    else job = ReadJournalJob(plant_.databaseFile(), chosen.id);
    if (!job) {
        dialogs_.Show(job.error());
        return std::nullopt;
    }
    return std::move(*job);
}

void HistoryWindow::btnReprint_Click() {
    const auto job = SelectedJob();
    if (!job) return;
    std::optional<int> quantity;
    // A job without a stream is refused by the reprint itself, with the reason.
    if (job->stream) {
        const int offered = OfferedQuantity(job->quantity);
        const auto asked = askQuantity(offered);
        if (!asked) return;
        // The recorded quantity again sends the recorded bytes untouched.
        if (*asked != offered || job->quantity != std::to_string(offered)) quantity = *asked;
    }
    std::expected<Reprint, Failure> reprint;
    {
        BusyCursor busy;
        if (IsOtherStations(*job)) reprint = ReprintJob(plant_, *journal_, *job, job->station, quantity, printer_);
        else reprint = ReprintJob(plant_, *journal_, job->id, quantity, printer_);
        // The list shows the reprint with its outcome, not as still sending.
        journal_->Flush();
    }
    // The reprint's row goes on to the plant like a label's.
    if (plant_.shared) plant_.shared->RowsWritten();
    if (!reprint) {
        dialogs_.Show(reprint.error());
        return;
    }
    // The new job is in the list and chosen before any box: an operator who saw nothing
    // happen would press again and print twice.
    ShowNewestOwnJob();
    if (!reprint->sent) dialogs_.Show(reprint->sent.error());
    else if (!reprint->sent->note.empty())
        dialogs_.Show(reprint->sent->note, MessageButtons::Ok, MessageIcon::Information);
}

void HistoryWindow::ShowNewestOwnJob() {
    Refresh();
    for (int row = 0; row < static_cast<int>(jobs_.size()); ++row) {
        if (IsOtherStations(jobs_[static_cast<std::size_t>(row)])) continue;
        lstJobs->selectRow(row);
        lstJobs->scrollToItem(lstJobs->item(row, 0));
        return;
    }
}

void HistoryWindow::btnPreview_Click() {
    const auto job = SelectedJob();
    if (!job) return;
    if (!job->stream) {
        dialogs_.Show("Job " + std::to_string(job->id) +
                      " has no label to preview: it was refused before a label "
                      "was composed (" +
                      job->message + ").");
        return;
    }
    auto rendering = RenderLabel(*job->stream);
    if (!rendering) {
        dialogs_.Show(rendering.error());
        return;
    }
    ShowPreview(preview_, PreviewOf::RecordedJob, this, job->layout, job->stream->size(), std::move(*rendering));
}

}  // namespace tarnwick
