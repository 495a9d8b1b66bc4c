#pragma once

#include <QDialog>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "labels/printer_output.h"
#include "store/print_journal.h"
#include "startup/startup.h"
#include "toolkit/dialogs.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace tarnwick {

class PreviewWindow;

// "Print History": the latest jobs of the print journal, newest first, narrowed as the
// operator types the beginning of a WIP or a style. Reprint sends a job's recorded bytes
// again through today's route; Preview draws them. Modeless, beside the main window.
class HistoryWindow final : public QDialog {
public:
    // How many of the newest jobs the list holds.
    static constexpr int kShown = 1000;

    HistoryWindow(Plant& plant, Dialogs& dialogs, PrinterOutput& printer, QWidget* parent = nullptr);
    ~HistoryWindow() override;

    QLineEdit* txtWIP;
    QLineEdit* txtStyle;
    QTableWidget* lstJobs;
    QLabel* lblCount;
    QPushButton* btnReprint;
    QPushButton* btnPreview;
    QPushButton* btnClose;

    // Asks the quantity to reprint, offering the original; nullopt when cancelled. Tests
    // replace it; the window asks with an input box.
    std::function<std::optional<int>(int original)> askQuantity;

    // Reads the journal again with the filter as it stands.
    void Refresh();
    // Reads it again after a label of this station's, and selects that label's job: the
    // newest of this station's in the list.
    void ShowNewestOwnJob();
    void btnReprint_Click();
    void btnPreview_Click();

    const std::vector<JournalEntry>& Jobs() const { return jobs_; }
    PreviewWindow* previewWindow() const;

private:
    std::optional<JournalEntry> SelectedJob();
    SharedPlant* Station() const { return plant_.shared.get(); }
    // The plant's history when the plant database answers, else this station's own.
    std::expected<std::vector<JournalEntry>, Failure> ReadHistory(const JournalQuery& query);
    bool IsOtherStations(const JournalEntry& job) const;
    std::expected<JournalEntry, Failure> PlantJob(const JournalEntry& chosen);

    Plant& plant_;
    Dialogs& dialogs_;
    PrinterOutput& printer_;
    std::shared_ptr<JournalWriter> journal_;
    std::vector<JournalEntry> jobs_;
    QPointer<PreviewWindow> preview_;
    bool readFailing_ = false;
    bool showingPlant_ = false;
};

}  // namespace tarnwick
