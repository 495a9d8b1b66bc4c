#include <QApplication>
#include <QCursor>
#include <QTest>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "labels/layouts.h"
#include "mainwindow/frm_main_menu.h"
#include "printer/print_server.h"
#include "printer/send_to_printer.h"
#include "support/scripted_dialogs.h"
#include "support/temp_plant.h"
#include "support/window_labels.h"

namespace tarnwick {
namespace {

using testing::ImportCut;
using testing::TypeLabel;

using testing::ScriptedDialogs;
using testing::TempPlant;

const std::string kInvalideData = "You must select a file or manually enter the data.";
const std::string kStyleNotFound = "The selected style does not exist in the database.";

// config.txt with BaseH 7, BaseV 003 and the raw device named as a path inside the plant folder.
std::string PlantConfig() { return testing::ConfigText("2", "2", "7", "003") + "ParallelPort,lp0.out\r\n"; }

// The real window on a scratch plant, printing the way the program does: the route is
// read from the settings at every label.
struct Window {
    explicit Window(const std::string& config = PlantConfig()) : plant(config) {
        plant.dir.Write("lp0.out", "");
        plant.SetStyle("1234", "calh020");
        plant.SetStyle("5678", "calh025");
        plant.SetStyle("NOLAYOUT", "NA");
        plant.plant->printer.BaseX = 10.0;
        plant.plant->printer.BaseY = 5;
        form = std::make_unique<frmMainMenu>(MainMenuDeps{*plant.plant, dialogs, output, {}, [] {}});
    }
    Plant& settings() { return *plant.plant; }
    std::string DeviceBytes() const {
        std::ifstream in(plant.dir / "lp0.out", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void Click() { QTest::mouseClick(form->btnPrint, Qt::LeftButton); }

    TempPlant plant;
    ScriptedDialogs dialogs;
    RoutedOutput output{[this] {
        const Plant& p = *plant.plant;
        return OutputRoute{p.printer.USBPrinter, p.printer.USBPrinterName, p.rawDevice(), p.config.DeviceTimeout};
    }};
    std::unique_ptr<frmMainMenu> form;
};

// The typed label as PrintLayoutC1 composes it with config.txt's base point.
std::string TypedC1() {
    CapturingOutput out;
    LabelArgs args{
        "004512", "1234", "5", "32", "30", "R", "65% POLYESTER", "35% COTTON", "MACHINE WASH", "1234 O05 32  R   ",
        "24",     true,   "",  ""};
    EXPECT_TRUE(PrintLayoutC1(args, {"7", "003"}, out).has_value());
    return out.streams.at(0);
}

std::string ImportedC2() {
    CapturingOutput out;
    LabelArgs args{
        "4012", "5678", "O07", "32", "30", "30", "65% POLYESTER", "35% COTTON", "MACHINE WASH", "5678 O07 32 30   ",
        "6",    false,  "",    ""};
    EXPECT_TRUE(PrintLayoutC2(args, {"7", "003"}, out).has_value());
    return out.streams.at(0);
}

// Every control's text and value, to show that Print Labels changes none.
std::vector<std::string> ControlState(const frmMainMenu& f) {
    std::vector<std::string> state;
    for (const QLineEdit* box : {f.SelectedFile, f.txtWIP, f.txtStyle, f.txtColor, f.txtWaist, f.txtLength, f.txtLDesc,
                                 f.txtQty, f.txtStock, f.txtMadeIn, f.txtRN})
        state.push_back(box->text().toStdString());
    for (const QComboBox* box : {static_cast<QComboBox*>(f.cmbText1), static_cast<QComboBox*>(f.cmbText2),
                                 static_cast<QComboBox*>(f.cmbText3), f.cmbCut})
        state.push_back(box->currentText().toStdString());
    for (const QCheckBox* box : {f.chkNew, f.chkPrintHeaders, f.chkQuenby})
        state.push_back(std::to_string(CheckValue(box)));
    state.push_back(f.btnPrint->isEnabled() ? "print enabled" : "print disabled");
    return state;
}

TEST(PrintLabelsWindow, TypedLabelArrivesByteExactInThePrintQueue) {
    TARNWICK_PRINT_SERVER(server);
    Window w;
    w.settings().printer.USBPrinter = true;
    w.settings().printer.USBPrinterName = server.queue;
    TypeLabel(*w.form);
    w.form->txtWIP->setText(QString::fromStdString("00" + std::to_string(::getpid())));  // this test's job
    auto expected = TypedC1();
    expected.replace(expected.find("004512"), 6, w.form->txtWIP->text().toStdString());

    w.Click();

    EXPECT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    const auto job = testing::WaitForJob(server, server.queue, expected);
    ASSERT_TRUE(job.has_value()) << "the label never reached the queue";
    const auto attributes = testing::GetJobAttributes(job->id);
    ASSERT_TRUE(attributes.has_value());
    EXPECT_EQ(attributes->name, "AAAAAA");
    EXPECT_EQ(w.DeviceBytes(), "") << "the queue route writes nothing to the device";
}

TEST(PrintLabelsWindow, ImportedCutArrivesByteExactInThePrintQueue) {
    TARNWICK_PRINT_SERVER(server);
    Window w;
    w.settings().printer.USBPrinter = true;
    w.settings().printer.USBPrinterName = server.queue;
    ImportCut(*w.form, "5678", 0);
    const std::string wip = "4" + std::to_string(::getpid());
    w.form->Job.WIP = wip;
    auto expected = ImportedC2();
    expected.replace(expected.find("4012"), 4, wip);

    w.Click();

    EXPECT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    EXPECT_TRUE(testing::WaitForJob(server, server.queue, expected).has_value());
}

TEST(PrintLabelsWindow, TypedAndImportedLabelsArriveByteExactOnTheRawDevice) {
    Window w;
    TypeLabel(*w.form);
    w.Click();
    ASSERT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    EXPECT_EQ(w.DeviceBytes(), TypedC1());

    ImportCut(*w.form, "5678", 0);
    w.Click();
    ASSERT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown.front().text;
    EXPECT_EQ(w.DeviceBytes(), TypedC1() + ImportedC2());
}

TEST(PrintLabelsWindow, PausedQueueIsSaidInAnInformationBoxAfterThePrint) {
    TARNWICK_PRINT_SERVER(server);
    if (server.paused.empty()) GTEST_SKIP() << "the print server has no paused queue";
    Window w;
    w.settings().printer.USBPrinter = true;
    w.settings().printer.USBPrinterName = server.paused;
    TypeLabel(*w.form);
    const int before = testing::JobCount(server.paused);

    w.Click();

    EXPECT_EQ(testing::JobCount(server.paused), before + 1);
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_EQ(w.dialogs.shown[0].text, "The queue of printer \"" + server.paused +
                                           "\" is paused: it holds the label until the queue is resumed. Resume "
                                           "the queue (for example with cupsenable " +
                                           server.paused + ") to print it.");
    EXPECT_EQ(w.dialogs.shown[0].icon, MessageIcon::Information);
    EXPECT_EQ(w.dialogs.shown[0].title, "Tarnwick");
}

// Passes each label on, noting whether the busy cursor showed while the printer had it.
class CursorWatchingOutput final : public PrinterOutput {
public:
    explicit CursorWatchingOutput(PrinterOutput& inner) : inner_(inner) {}
    SendResult SendToPrinter(std::string_view stream) override {
        const QCursor* cursor = QApplication::overrideCursor();
        busyWhileSending = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
        return inner_.SendToPrinter(stream);
    }
    bool busyWhileSending = false;

private:
    PrinterOutput& inner_;
};

// A printer that is offline: the FIFO standing in for it is full and nobody reads it.
TEST(PrintLabelsWindow, DeviceThatStopsTakingTheLabelIsReportedAtItsDeadline) {
    Window w(testing::ConfigText("2", "2", "7", "003") + "ParallelPort,port\r\nDeviceTimeout,1\r\n");
    const auto port = w.plant.dir / "port";
    ASSERT_EQ(::mkfifo(port.c_str(), 0600), 0);
    const int reader = ::open(port.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int filler = ::open(port.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const std::string chunk(4096, 'x');
    while (::write(filler, chunk.data(), chunk.size()) > 0) {}
    ::close(filler);
    CursorWatchingOutput watching(w.output);
    w.form = std::make_unique<frmMainMenu>(MainMenuDeps{w.settings(), w.dialogs, watching, {}, [] {}});
    TypeLabel(*w.form);

    w.Click();

    ::close(reader);
    EXPECT_TRUE(watching.busyWhileSending);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the cursor is back before the message";
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_EQ(w.dialogs.shown[0].text, "The printer device " + port.string() + " took none of the label's " +
                                           std::to_string(TypedC1().size()) +
                                           " bytes for 1 second, so the label was not printed. Check that the "
                                           "printer is online and has labels and ribbon, then print the label again.");
    EXPECT_EQ(w.dialogs.shown[0].icon, MessageIcon::Critical);
}

TEST(PrintLabelsWindow, SavedRouteGovernsTheNextLabel) {
    Window w;
    TypeLabel(*w.form);
    w.settings().printer.USBPrinter = true;
    w.settings().printer.USBPrinterName = "";
    w.Click();
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_EQ(w.dialogs.shown[0].text, "The Printer Name you typed wasn't recognized.");
    EXPECT_EQ(w.dialogs.shown[0].title, "Tarnwick");
    EXPECT_EQ(w.dialogs.shown[0].icon, MessageIcon::None);
    EXPECT_EQ(w.DeviceBytes(), "");

    w.settings().printer.USBPrinter = false;
    w.Click();
    EXPECT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_EQ(w.DeviceBytes(), TypedC1());
}

TEST(PrintLabelsWindow, MissingDeviceIsReportedAndTheWindowGoesOn) {
    Window w;
    std::filesystem::remove(w.plant.dir / "lp0.out");
    TypeLabel(*w.form);
    const auto before = ControlState(*w.form);
    w.Click();
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_NE(w.dialogs.shown[0].text.find((w.plant.dir / "lp0.out").string()), std::string::npos);
    EXPECT_NE(w.dialogs.shown[0].text.find("No such file or directory"), std::string::npos);
    EXPECT_EQ(ControlState(*w.form), before);
    EXPECT_FALSE(std::filesystem::exists(w.plant.dir / "lp0.out"));
}

TEST(PrintLabelsWindow, LookupRunsFirstEvenForAnEmptyWip) {
    Window w;
    std::filesystem::remove(w.plant.dir / "data.mdb");
    w.form->txtWIP_LostFocus();
    w.Click();
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_NE(w.dialogs.shown[0].text, kInvalideData);
    EXPECT_NE(w.dialogs.shown[0].text.find("data.mdb"), std::string::npos) << w.dialogs.shown[0].text;
}

TEST(PrintLabelsWindow, DecisionTableThroughTheWindow) {
    struct Row {
        const char* what;
        bool fileMode;
        std::string wip, style;
        int chkNew, chkQuenby;
        std::string layout;  // empty: the message below, nothing printed
        std::string message, title;
        MessageIcon icon = MessageIcon::None;
    };
    const Row rows[] = {
        {"manual, no WIP, no style", false, "", "", 1, 0, "", kInvalideData, "Invalide Data"},
        {"manual calh020 whatever New Format says", false, "7", "1234", 1, 1, "C1", "", ""},
        {"manual style not in database", false, "7", "9999", 0, 0, "", kStyleNotFound, "Style Not Found",
         MessageIcon::Critical},
        {"file, New Format, brand, style not in database", true, "", "9999", 1, 1, "A2", "", ""},
        {"file, New Format, no brand", true, "", "9999", 1, 0, "A1", "", ""},
        {"file, no New Format, NA", true, "", "NOLAYOUT", 0, 0, "", kStyleNotFound, "Style Not Found",
         MessageIcon::Critical},
        {"file, greyed New Format counts as unchecked", true, "", "NOLAYOUT", 2, 1, "", kStyleNotFound,
         "Style Not Found", MessageIcon::Critical},
        // The cut's style, which its locked box shows, is the one looked up.
        {"file, the cut's style picks its layout", true, "", "1234", 0, 0, "C1", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Window w;
        CapturingOutput capture;
        w.form = std::make_unique<frmMainMenu>(MainMenuDeps{w.settings(), w.dialogs, capture, {}, [] {}});
        frmMainMenu& f = *w.form;
        if (row.fileMode) {
            ImportCut(f, row.style, 0);
        } else {
            TypeLabel(f);
            f.txtWIP->setText(QString::fromStdString(row.wip));
            f.txtStyle->setText(QString::fromStdString(row.style));
        }
        SetCheckValue(f.chkNew, row.chkNew);
        SetCheckValue(f.chkQuenby, row.chkQuenby);
        f.txtRN->setText("30417");
        const auto before = ControlState(f);

        w.Click();

        EXPECT_EQ(ControlState(f), before) << "Print Labels changes no control";
        if (row.layout.empty()) {
            ASSERT_EQ(w.dialogs.shown.size(), 1u);
            EXPECT_EQ(w.dialogs.shown[0].text, row.message);
            EXPECT_EQ(w.dialogs.shown[0].title, row.title);
            EXPECT_EQ(w.dialogs.shown[0].icon, row.icon);
            EXPECT_EQ(w.dialogs.shown[0].buttons, MessageButtons::Ok);
            EXPECT_TRUE(capture.streams.empty());
            continue;
        }
        ASSERT_TRUE(w.dialogs.shown.empty()) << w.dialogs.shown[0].text;
        ASSERT_EQ(capture.streams.size(), 1u);
        const std::string& stream = capture.streams[0];
        if (row.layout == "C1" && !row.fileMode) {
            auto expected = TypedC1();
            expected.replace(expected.find("004512"), 6, row.wip);
            EXPECT_EQ(stream, expected);
        } else if (row.layout == "C1") {
            EXPECT_NE(stream.find("1234 O07 32 30   "), std::string::npos);
        } else {
            LabelArgs args{"4012",
                           row.style,
                           "O07",
                           "32",
                           "30",
                           "30",
                           "65% POLYESTER",
                           "35% COTTON",
                           "MACHINE WASH",
                           row.style + " O07 32 30   ",
                           "6",
                           false,
                           "MADE IN U.S.A.",
                           "30417"};
            CapturingOutput direct;
            ASSERT_TRUE(LayoutByName(row.layout)->build(args, {"10", "5"}, direct).has_value());
            EXPECT_EQ(stream, direct.streams.at(0));
        }
    }
}

TEST(PrintLabelsWindow, GreyedPrintHeadersCountsAsChecked) {
    std::string streams[3];
    for (int value = 0; value < 3; ++value) {
        Window w;
        TypeLabel(*w.form);
        SetCheckValue(w.form->chkPrintHeaders, value);
        w.Click();
        ASSERT_TRUE(w.dialogs.shown.empty());
        streams[value] = w.DeviceBytes();
    }
    EXPECT_EQ(streams[1], TypedC1());
    EXPECT_EQ(streams[2], streams[1]);
    EXPECT_NE(streams[0], streams[1]);
}

}  // namespace
}  // namespace tarnwick
