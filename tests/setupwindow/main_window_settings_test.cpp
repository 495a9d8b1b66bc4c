#include <gtest/gtest.h>

#include <QTimer>
#include <random>

#include "mainwindow/frm_main_menu.h"
#include "printer/print_server.h"
#include "setup_fixture.h"
#include "setupwindow/frm_setup.h"

namespace tarnwick::testing {
namespace {

// The two windows wired as the program wires them: the main window prints through a
// RoutedOutput that reads PrinterSettings at every label, Setup opens the settings window.
class SettingsGovernTheNextLabel : public PlantFolderTest {
protected:
    void SetUp() override {
        PlantFolderTest::SetUp();
        if (HasFatalFailure()) return;
        printer = std::make_unique<RoutedOutput>([this] {
            return OutputRoute{plant->printer.USBPrinter, plant->printer.USBPrinterName, plant->rawDevice(),
                               plant->config.DeviceTimeout};
        });
        setup = std::make_unique<SetupLauncher>(SetupDeps{*plant, dialogs, SendRaw});
        mainMenu =
            std::make_unique<frmMainMenu>(MainMenuDeps{*plant, dialogs, *printer, {}, [this] { setup->Show(); }});
    }
    void TearDown() override {
        mainMenu.reset();
        setup.reset();
        printer.reset();
        PlantFolderTest::TearDown();
    }

    // Opens Settings from the main window and saves a base point and route there.
    void SaveInSettings(const std::string& baseX, const std::string& baseY, bool usb, const std::string& name) {
        mainMenu->btnSetup->click();
        frmSetup* w = setup->Window();
        ASSERT_NE(w, nullptr);
        w->txtBaseX->setText(QString::fromStdString(baseX));
        w->txtBaseY->setText(QString::fromStdString(baseY));
        (usb ? w->optUSB : w->optParallel)->click();
        w->txtPrinterName->setText(QString::fromStdString(name));
        w->btnSavePostion->click();
        ASSERT_TRUE(dialogs.shown.empty()) << dialogs.shown.front().text;
    }

    // A cut on show in file mode, New Format: the layout that takes the saved base point.
    void PrintNewFormatLabel() {
        mainMenu->SelectedFile->setText("cuts.csv");
        mainMenu->chkNew->setCheckState(Qt::Checked);
        mainMenu->chkQuenby->setCheckState(Qt::Unchecked);
        LabelJob& job = mainMenu->Job;
        job.WIP = "4012";
        job.Style = "12345";
        job.Color = "7";
        job.Waist = "32";
        job.Length = "30";
        job.LengthDesc = "30";
        job.Text1 = "65% POLYESTER";
        job.Text2 = "35% COTTON";
        job.Text3 = "MACHINE WASH";
        job.Barcode = "12345O07 32 30";
        job.MadeIn = "MADE IN U.S.A.";
        mainMenu->txtWIP->setText("4012");
        mainMenu->txtQty->setText("1");
        mainMenu->btnPrint_Click();
    }

    std::unique_ptr<RoutedOutput> printer;
    std::unique_ptr<SetupLauncher> setup;
    std::unique_ptr<frmMainMenu> mainMenu;
};

TEST_F(SettingsGovernTheNextLabel, SetupButtonOpensOneModelessWindow) {
    mainMenu->move(400, 300);
    mainMenu->show();
    mainMenu->btnSetup->click();
    frmSetup* w = setup->Window();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->isWindow());
    EXPECT_EQ(w->windowModality(), Qt::NonModal);
    EXPECT_TRUE(mainMenu->frameGeometry().contains(w->frameGeometry().center())) << "opens over the main window";
    EXPECT_TRUE(mainMenu->isEnabled());
    mainMenu->btnSetup->click();
    EXPECT_EQ(setup->Window(), w);
}

TEST_F(SettingsGovernTheNextLabel, ProgramRunsUntilTheLastWindowCloses) {
    QObject guard;
    bool settingsClosing = false;
    int lastClosed = 0;
    bool lastClosedBeforeSettings = false;
    QObject::connect(qApp, &QGuiApplication::lastWindowClosed, &guard, [&] {
        ++lastClosed;
        lastClosedBeforeSettings = !settingsClosing;
    });
    mainMenu->show();
    mainMenu->btnSetup->click();
    QTimer::singleShot(0, &guard, [&] {
        mainMenu->btnExit->click();
        QTimer::singleShot(0, &guard, [&] {
            settingsClosing = true;
            setup->Window()->btnExitSettings->click();
        });
    });
    // Only so that a fault cannot hang the run; the outcome is judged below.
    bool gaveUp = false;
    QTimer::singleShot(60000, &guard, [&] {
        gaveUp = true;
        QCoreApplication::quit();
    });
    QApplication::exec();

    EXPECT_FALSE(gaveUp) << "the program did not end when its last window closed";
    EXPECT_EQ(lastClosed, 1);
    EXPECT_FALSE(lastClosedBeforeSettings) << "Exit on the main window ended the program with Settings open";
}

TEST_F(SettingsGovernTheNextLabel, SavedDeviceRouteAndBasePoint) {
    SaveInSettings("0050", "7", false, "tarnwick-no-such-queue");
    PrintNewFormatLabel();
    ASSERT_TRUE(dialogs.shown.empty()) << dialogs.shown.front().text;
    // The label writes BaseX as typed and BaseY as saved, without the sample's padding.
    EXPECT_TRUE(ReadFile(folder / "lp0").starts_with(Esc("^A^A3H0050V7^"))) << ReadFile(folder / "lp0");

    // Saved back to the queue route: the next label leaves the device alone.
    const std::string printed = ReadFile(folder / "lp0");
    SaveInSettings("0050", "7", true, "tarnwick-no-such-queue");
    PrintNewFormatLabel();
    EXPECT_EQ(ReadFile(folder / "lp0"), printed);
    ASSERT_EQ(dialogs.shown.size(), 1u) << "the failed print is reported";
}

TEST_F(SettingsGovernTheNextLabel, SavedQueueRouteAndName) {
    TARNWICK_PRINT_SERVER(server);
    const std::string baseX = "t" + std::to_string(std::random_device{}());
    SaveInSettings(baseX, "-3", false, "");
    PrintNewFormatLabel();
    const std::string label = ReadFile(folder / "lp0");
    ASSERT_TRUE(label.starts_with(Esc("^A^A3H" + baseX + "V-3^"))) << label;

    SaveInSettings(baseX, "-3", true, "tarnwick-no-such-queue");
    PrintNewFormatLabel();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "The Printer Name you typed wasn't recognized.");
    dialogs.shown.clear();

    SaveInSettings(baseX, "-3", true, server.queue);
    PrintNewFormatLabel();
    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.shown.front().text;
    const auto job = WaitForJob(server, server.queue, label);
    ASSERT_TRUE(job) << "the label did not reach " << server.queue;
    EXPECT_EQ(job->title, "AAAAAA");
    EXPECT_EQ(ReadFile(folder / "lp0"), label) << "nothing more on the device";
}

}  // namespace
}  // namespace tarnwick::testing
