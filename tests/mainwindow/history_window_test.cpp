#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "mainwindow/frm_main_menu.h"
#include "mainwindow/history_window.h"
#include "mainwindow/preview_window.h"
#include "plantdb/plant_database.h"
#include "plantdb/plant_station.h"
#include "printer/send_to_printer.h"
#include "setupwindow/frm_setup.h"
#include "setupwindow/setup_launcher.h"
#include "support/private_postgres.h"
#include "support/run_cli.h"
#include "support/scripted_dialogs.h"
#include "support/temp_plant.h"
#include "support/window_labels.h"

namespace tarnwick {
namespace {

using testing::ScriptedDialogs;
using testing::TempPlant;
using testing::TypeLabel;

// The real window on a scratch plant, printing to a device file inside it.
struct Window {
    // More config.txt lines may name a plant database, whose side is joined as the
    // program does it.
    explicit Window(const std::string& moreConfig = "")
        : plant(testing::ConfigText() + "ParallelPort,lp0.out\r\n" + moreConfig) {
        plant.dir.Write("lp0.out", "");
        plant.SetStyle("1234", "calh020");
        JoinPlant(
            *plant.plant,
            [this](const Failure& notice) {
                QMetaObject::invokeMethod(
                    qApp, [this, notice] { dialogs.Show(notice); }, Qt::QueuedConnection);
            },
            true);
        form = std::make_unique<frmMainMenu>(MainMenuDeps{*plant.plant, dialogs, output, {}, [] {}});
    }
    std::string Device() const { return testing::ReadAll(plant.dir / "lp0.out"); }
    std::string DevicePath() const { return (plant.dir / "lp0.out").string(); }
    std::filesystem::path Database() const { return plant.plant->databaseFile(); }
    void Print() { QTest::mouseClick(form->btnPrint, Qt::LeftButton); }
    HistoryWindow* History() const { return form->historyWindow(); }

    TempPlant plant;
    ScriptedDialogs dialogs;
    RoutedOutput output{[this] {
        const Plant& p = *plant.plant;
        return OutputRoute{p.printer.USBPrinter, p.printer.USBPrinterName, p.rawDevice()};
    }};
    std::unique_ptr<frmMainMenu> form;
};

std::vector<std::string> Row(const QTableWidget* list, int row) {
    std::vector<std::string> cells;
    for (int column = 1; column < list->columnCount(); ++column)
        if (!list->isColumnHidden(column)) cells.push_back(list->item(row, column)->text().toStdString());
    return cells;
}

TEST(HistoryWindow, PrintThenFindReprintAndPreviewByKeyboardOnly) {
    Window w;
    TypeLabel(*w.form);
    w.Print();
    ASSERT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    const std::string original = w.Device();
    ASSERT_FALSE(original.empty());

    w.form->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.form.get()));
    QTest::keyClick(w.form.get(), Qt::Key_H, Qt::ControlModifier);
    HistoryWindow* history = w.History();
    ASSERT_NE(history, nullptr) << "Ctrl+H opened no history";
    ASSERT_TRUE(QTest::qWaitForWindowActive(history));
    EXPECT_TRUE(QTest::qWaitFor([history] { return QApplication::activeWindow() == history; }));
    EXPECT_EQ(QApplication::focusWidget(), history->txtWIP);
    ASSERT_EQ(history->lstJobs->rowCount(), 1);
    EXPECT_EQ(Row(history->lstJobs, 0),
              (std::vector<std::string>{"004512", "1234", "C1", "24", w.DevicePath(), "sent"}));
    EXPECT_EQ(history->lstJobs->horizontalHeaderItem(0)->text(), "Time (local)");
    // The device path is shown whole, not only in a tooltip.
    EXPECT_GE(history->lstJobs->columnWidth(6),
              history->lstJobs->fontMetrics().horizontalAdvance(QString::fromStdString(w.DevicePath())));

    // The list narrows as the WIP (Alt+W) or the style (Alt+S) is typed.
    const struct {
        Qt::Key box;
        const char* typed;
        int rows;
    } filters[] = {{Qt::Key_W, "0045", 1}, {Qt::Key_W, "00459", 0}, {Qt::Key_W, "", 1},
                   {Qt::Key_S, "12", 1},   {Qt::Key_S, "13", 0},    {Qt::Key_S, "", 1}};
    for (const auto& f : filters) {
        QTest::keyClick(history, f.box, Qt::AltModifier);
        QWidget* box = QApplication::focusWidget();
        ASSERT_EQ(box, f.box == Qt::Key_W ? history->txtWIP : history->txtStyle);
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, f.typed);
        EXPECT_EQ(history->lstJobs->rowCount(), f.rows) << f.typed;
        // Nothing to reprint or preview while no job is chosen.
        EXPECT_EQ(history->btnReprint->isEnabled(), f.rows > 0) << f.typed;
        EXPECT_EQ(history->btnPreview->isEnabled(), f.rows > 0) << f.typed;
    }

    int offered = 0;
    history->askQuantity = [&offered](int original) -> std::optional<int> {
        offered = original;
        return 7;
    };
    // A mnemonic clicks the button the way a mouse would, a moment after the key.
    QTest::keyClick(history, Qt::Key_R, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&offered] { return offered != 0; }));
    EXPECT_EQ(offered, 24);
    ASSERT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    std::string seven = original;
    seven.replace(seven.rfind("\x1BQ24"), 4, "\x1BQ7");
    EXPECT_EQ(w.Device(), original + seven);
    ASSERT_EQ(history->lstJobs->rowCount(), 2);
    EXPECT_EQ(Row(history->lstJobs, 0),
              (std::vector<std::string>{"004512", "1234", "C1", "7", w.DevicePath(), "sent, reprint of 1"}));

    QTest::keyClick(history, Qt::Key_S, Qt::AltModifier);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), history->lstJobs);
    QTest::keyClick(history->lstJobs, Qt::Key_Down);
    QTest::keyClick(history, Qt::Key_P, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([history] { return history->previewWindow() != nullptr; }));
    const auto* preview = history->previewWindow();
    ASSERT_NE(preview, nullptr);
    EXPECT_TRUE(preview->isVisible());
    EXPECT_EQ(preview->LayoutName(), "C1");
    EXPECT_EQ(preview->ByteCount(), original.size());
    EXPECT_EQ(preview->Quantity(), 24);
    EXPECT_EQ(preview->lblNote->text().toStdString(),
              "This shows the bytes recorded for the job; the printer repeats this one label for the quantity. "
              "Nothing is printed from here.");

    QTest::keyClick(history, Qt::Key_Escape);
    EXPECT_FALSE(history->isVisible());
}

TEST(HistoryWindow, RefusalsAndSamplesAreRecordedToo) {
    Window w;
    w.form->txtWIP_LostFocus();
    w.Print();  // no WIP
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    w.form->journal().Flush();
    SetupLauncher setup({*w.plant.plant, w.dialogs, SendRaw});
    setup.Show();
    QTest::mouseClick(setup.Window()->btnPrint, Qt::LeftButton);
    ASSERT_EQ(w.dialogs.shown.size(), 1u) << w.dialogs.shown.back().text;

    w.form->mnuHistory_Click();
    HistoryWindow* history = w.History();
    ASSERT_NE(history, nullptr);
    ASSERT_EQ(history->lstJobs->rowCount(), 2);
    EXPECT_EQ(Row(history->lstJobs, 0), (std::vector<std::string>{"", "", "sample", "1", w.DevicePath(), "sent"}));
    EXPECT_EQ(Row(history->lstJobs, 1),
              (std::vector<std::string>{"", "", "", "", w.DevicePath(),
                                        "refused: You must select a file or manually enter the data."}));

    history->lstJobs->selectRow(1);
    history->btnReprint_Click();
    ASSERT_EQ(w.dialogs.shown.size(), 2u);
    EXPECT_EQ(w.dialogs.shown[1].text,
              "Job 1 cannot be reprinted: it was refused before a label was composed (You must select a file or "
              "manually enter the data.), so there are no recorded bytes to send. Print the label again instead.");
    history->btnPreview_Click();
    ASSERT_EQ(w.dialogs.shown.size(), 3u);
    EXPECT_EQ(w.dialogs.shown[2].text,
              "Job 1 has no label to preview: it was refused before a label was composed (You must select a file "
              "or manually enter the data.).");
}

// Each window of the program opened, typed into and closed before each other one, in
// both orders: a window once closed must never be taken for another.
TEST(HistoryWindow, EveryPairOfWindowsOpensAfterTheOtherInEitherOrder) {
    Window w;
    TypeLabel(*w.form);
    w.Print();
    SetupLauncher setup({*w.plant.plant, w.dialogs, SendRaw});
    const auto history = [&w] {
        w.form->mnuHistory_Click();
        return w.History();
    };
    const struct {
        const char* name;
        std::function<QWidget*()> open;
    } windows[] = {
        {"Setup",
         [&] {
             setup.Show();
             QTest::keyClicks(setup.Window()->txtBaseY, "1");
             return setup.Window();
         }},
        {"Preview",
         [&] {
             w.form->mnuPreview->trigger();
             QTest::keyClick(w.form->previewWindow(), Qt::Key_Down);
             return w.form->previewWindow();
         }},
        {"History",
         [&] {
             history()->txtWIP->clear();
             QTest::keyClicks(w.History()->txtWIP, "0045");
             return w.History();
         }},
        {"Reprint from History",
         [&] {
             HistoryWindow* h = history();
             h->askQuantity = [](int) { return 2; };
             h->lstJobs->selectRow(0);
             h->btnReprint_Click();
             h->txtStyle->clear();
             QTest::keyClicks(h->txtStyle, "12");
             return h;
         }},
        {"Preview from History",
         [&] {
             HistoryWindow* h = history();
             h->lstJobs->selectRow(0);
             h->btnPreview_Click();
             QTest::keyClick(h->previewWindow(), Qt::Key_Down);
             return static_cast<QWidget*>(h->previewWindow());
         }},
    };
    for (const auto& first : windows) {
        for (const auto& second : windows) {
            if (&first == &second) continue;
            SCOPED_TRACE(std::string(first.name) + " then " + second.name);
            for (const auto* step : {&first, &second}) {
                QWidget* window = step->open();
                ASSERT_NE(window, nullptr);
                EXPECT_TRUE(window->isVisible());
                window->close();
                QApplication::processEvents();
            }
        }
    }
    EXPECT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
}

// A backup restored, or another station's copy put in place, while the window is open.
TEST(HistoryWindow, ReplacedDatabaseIsTheOneWrittenAndAnUnreadableOneIsToldOnce) {
    Window w;
    TypeLabel(*w.form);
    const auto replace = [&w](const std::string& with) {
        const auto next = w.plant.dir / "next.mdb";
        std::filesystem::remove(next);
        if (with.empty()) ASSERT_TRUE(SettingsDb::Create(next).has_value());
        else w.plant.dir.Write("next.mdb", with);
        std::filesystem::rename(next, w.Database());
        if (with.empty()) w.plant.SetStyle("1234", "calh020");
    };
    replace("");
    SetupLauncher setup({*w.plant.plant, w.dialogs, SendRaw});
    setup.Show();
    setup.Window()->txtBaseY->setText("77");
    setup.Window()->btnSavePostion_Click();
    w.Print();
    w.form->journal().Flush();
    ASSERT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    PrinterSettings saved;
    ASSERT_TRUE(SettingsDb::Open(w.Database())->LoadPrinterSettings(saved).has_value());
    EXPECT_EQ(saved.BaseY, 77);
    EXPECT_EQ(ReadJournal(w.Database(), {}).value_or(std::vector<JournalEntry>{}).size(), 1u);

    // Unreadable: told once however much is typed, and again after it was read.
    w.form->mnuHistory_Click();
    HistoryWindow* history = w.History();
    const struct {
        const char* file;  // what data.mdb becomes; "" a good database
        const char* typed;
        std::size_t told;
    } steps[] = {{"not a database", "004", 1}, {"", "5", 1}, {"not a database", "1", 2}};
    for (const auto& step : steps) {
        replace(step.file);
        QTest::keyClicks(history->txtWIP, step.typed);
        EXPECT_EQ(w.dialogs.shown.size(), step.told) << step.typed;
    }
    EXPECT_NE(w.dialogs.shown.back().text.find("is not an SQLite database"), std::string::npos);
}

// An ESC typed into the WIP box is refused by the label, and shown, not sent, by History.
TEST(HistoryWindow, ControlCharactersInRecordedFieldsAreShownEscaped) {
    Window w;
    TypeLabel(*w.form);
    w.form->txtWIP->setText(
        "40\x1B[2J"
        "12\xC2\x9B");
    w.Print();
    w.form->mnuHistory_Click();
    ASSERT_EQ(w.History()->lstJobs->rowCount(), 1);
    EXPECT_EQ(Row(w.History()->lstJobs, 0)[0], "40\\x1B[2J12\\u009B");
}

// Tests run as root, which writes any file. Dropping the capability that lets it, for
// this thread and the threads it starts, makes the file's mode bits hold as they do
// for an operator.
class WithoutDacOverride {
public:
    WithoutDacOverride() {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        EXPECT_EQ(syscall(SYS_capset, &header_, reduced), 0);
    }
    ~WithoutDacOverride() { syscall(SYS_capset, &header_, saved_); }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
};

TEST(HistoryWindow, LabelPrintsAndOperatorIsToldOnceWhenTheJournalCannotBeWritten) {
    const struct {
        const char* name;
        bool lock;
        std::string why;
    } cases[] = {
        {"locked", true,
         "data.mdb is locked by another program. Labels still print, but they are not recorded for History and "
         "Reprint until data.mdb can be written again. If it stays locked, close the other program that has "
         "data.mdb open."},
        {"read-only", false,
         "the file is read-only (Permission denied). Labels still print, but they are not recorded for History "
         "and Reprint until data.mdb can be written again. Let Tarnwick's user write to data.mdb."},
    };
    for (const auto& c : cases) {
        // Before the window, so that its journal's thread is made without it too.
        std::optional<WithoutDacOverride> dropped;
        if (!c.lock) dropped.emplace();
        Window w;
        TypeLabel(*w.form);
        sqlite3* writer = nullptr;
        if (c.lock) {
            sqlite3_open_v2(w.Database().c_str(), &writer, SQLITE_OPEN_READWRITE, nullptr);
            ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        } else {
            ASSERT_EQ(::chmod(w.Database().c_str(), 0444), 0);
        }

        w.Print();
        w.Print();
        w.form->journal().Flush();
        QApplication::processEvents();

        sqlite3_close_v2(writer);
        const std::string device = w.Device();
        const std::string label = device.substr(0, device.size() / 2);
        EXPECT_TRUE(label.ends_with("\x1BZ")) << c.name << ": the label was not printed";
        EXPECT_EQ(device, label + label) << c.name;
        // On the window's notice line, not in a box that would take the operator's keys.
        EXPECT_EQ(w.dialogs.shown.size(), 0u) << c.name;
        EXPECT_TRUE(w.form->lblNotice->isVisibleTo(w.form.get())) << c.name;
        EXPECT_EQ(w.form->lblNotice->text().toStdString(),
                  "The print journal in \"" + w.Database().string() + "\" is not being kept: " + c.why)
            << c.name;
    }
}

// Each outage is told, and so is each recovery: a second outage after the journal was
// kept again must not pass in silence.
TEST(HistoryWindow, EveryOutageAndEveryRecoveryIsTold) {
    Window w;
    TypeLabel(*w.form);
    const std::string file = w.Database().string();
    const std::string stopped = "The print journal in \"" + file + "\" is not being kept: data.mdb is locked";
    const std::string again =
        "The print journal in \"" + file + "\" is being kept again: labels are recorded for History and Reprint.";
    const struct {
        bool locked;
        std::string told;  // the beginning of the notice line after the label
    } steps[] = {{true, stopped}, {true, stopped}, {false, again}, {false, again}, {true, stopped}};
    for (const auto& step : steps) {
        sqlite3* writer = nullptr;
        if (step.locked) {
            sqlite3_open_v2(w.Database().c_str(), &writer, SQLITE_OPEN_READWRITE, nullptr);
            ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        }
        w.Print();
        w.form->journal().Flush();
        QApplication::processEvents();
        sqlite3_close_v2(writer);
        EXPECT_EQ(w.form->lblNotice->text().toStdString().substr(0, step.told.size()), step.told);
        EXPECT_TRUE(w.form->lblNotice->isVisibleTo(w.form.get()));
    }
    EXPECT_EQ(w.dialogs.shown.size(), 0u);
    // The labels printed in the outages have no row; the others have theirs.
    EXPECT_EQ(ReadJournal(w.Database(), {})->size(), 2u);
}

// With a plant database the list is the plant's: the label printed here reaches it from
// the window's own thread, another station's job shows under its station, and Reprint
// prints that job's bytes here, recorded as this station's job pointing at it.
TEST(HistoryWindow, PlantHistoryShowsEveryStationAndReprintsAnothersJob) {
    TARNWICK_PLANT_SERVER(server);
    const testing::ScratchPlantDatabase plantDb(server);
    const auto deadline = [] { return PgClock::now() + std::chrono::seconds(10); };
    auto db = PgConnection::Open(plantDb.conninfo(), deadline());
    ASSERT_TRUE(db.has_value()) << db.error().message;
    ASSERT_TRUE(InitPlantSchema(*db, deadline()).has_value());
    ASSERT_TRUE(PutPlantStyles(*db, {{"1234", "calh020"}}, false, deadline()).has_value());
    JournalEntry other;
    other.id = 7;
    other.time = "2026-12-01T08:00:00.000Z";
    other.source = "cli";
    other.layout = "C1";
    other.wip = "009900";
    other.style = "1234";
    other.quantity = "3";
    other.route = "device";
    other.printer = "/dev/usb/lp9";
    other.outcome = "sent";
    other.stream = std::string(
        "\x1B"
        "A label of Line9 \x1B"
        "Q3\x1B"
        "Z");
    ASSERT_TRUE(ForwardJobs(*db, "line9-id", "Line9", {other}, deadline()).has_value());

    Window w("PlantDatabase,\"" + plantDb.conninfo() + "\"\r\nStation,Line1\r\n");
    TypeLabel(*w.form);
    w.Print();
    ASSERT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    const auto plantRows = [&] {
        auto rows =
            db->Run("SELECT station || ' ' || wip || ' ' || outcome FROM print_journal ORDER BY time", deadline());
        std::vector<std::string> texts;
        for (int r = 0; rows && r < rows->size(); ++r) texts.push_back(rows->Text(r, 0));
        return texts;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return plantRows().size() == 2; }, 10000));
    EXPECT_EQ(plantRows(), (std::vector<std::string>{"Line9 009900 sent", "Line1 004512 sent"}));

    w.form->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.form.get()));
    QTest::keyClick(w.form.get(), Qt::Key_H, Qt::ControlModifier);
    HistoryWindow* history = w.History();
    ASSERT_NE(history, nullptr);
    ASSERT_EQ(history->lstJobs->rowCount(), 2);
    EXPECT_FALSE(history->lstJobs->isColumnHidden(1));
    EXPECT_EQ(Row(history->lstJobs, 0)[0], "Line1");
    EXPECT_EQ(Row(history->lstJobs, 1),
              (std::vector<std::string>{"Line9", "009900", "1234", "C1", "3", "/dev/usb/lp9", "sent"}));

    history->lstJobs->selectRow(1);
    history->askQuantity = [](int offered) { return offered; };
    const std::string before = w.Device();
    history->btnReprint_Click();
    ASSERT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    EXPECT_EQ(w.Device(), before + *other.stream);
    const auto mine = ReadJournal(w.Database(), {});
    ASSERT_TRUE(mine.has_value() && !mine->empty());
    EXPECT_EQ(mine->front().source, "reprint");
    EXPECT_EQ(mine->front().reprintOf, 7);
    EXPECT_EQ(mine->front().reprintOfStation, "Line9");
    EXPECT_EQ(mine->front().station, "Line1");
    // The new job is listed and chosen at once, whether or not it has reached the plant
    // yet, and so is a label printed from the main window while History is open.
    const auto chosen = [history] {
        const int row = history->lstJobs->currentRow();
        return row < 0 ? std::vector<std::string>{} : Row(history->lstJobs, row);
    };
    ASSERT_EQ(history->lstJobs->rowCount(), 3);
    EXPECT_EQ(chosen(), (std::vector<std::string>{"Line1", "009900", "1234", "C1", "3", w.DevicePath(),
                                                  "sent, reprint of 7 of Line9"}));
    w.form->txtQty->setText("5");
    w.Print();
    ASSERT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    ASSERT_EQ(history->lstJobs->rowCount(), 4);
    EXPECT_EQ(chosen(), (std::vector<std::string>{"Line1", "004512", "1234", "C1", "5", w.DevicePath(), "sent"}));
    // Once sent on, each job is listed once.
    EXPECT_TRUE(QTest::qWaitFor([&] { return plantRows().size() == 4; }, 10000));
    history->Refresh();
    EXPECT_EQ(history->lstJobs->rowCount(), 4);
}

}  // namespace
}  // namespace tarnwick
