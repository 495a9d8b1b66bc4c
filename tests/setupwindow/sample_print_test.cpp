#include <gtest/gtest.h>

#include <random>

#include "printer/print_server.h"
#include "setup_fixture.h"
#include "setupwindow/frm_setup.h"

namespace tarnwick::testing {
namespace {

const std::string kUnknownPrinter = "The Printer Name you typed wasn't recognized.";

// Print Sample through the real queue and device code.
class SampleThroughSendRaw : public PlantFolderTest {
protected:
    void TearDown() override {
        delete window.data();
        PlantFolderTest::TearDown();
    }

    frmSetup* Load() {
        window = new frmSetup({*plant, dialogs, SendRaw});
        return window;
    }

    QPointer<frmSetup> window;
};

// A base X text no other run sends, so the job is known by its bytes.
std::string UniqueBaseX() { return "t" + std::to_string(std::random_device{}()); }

TEST_F(SampleThroughSendRaw, UnrecognisedTypedNameIsReportedEvenWhenTheSavedNameIsValid) {
    TARNWICK_PRINT_SERVER(server);
    StoreSettings(Settings(std::string("0"), 0, false, true, server.queue));
    frmSetup* w = Load();
    const int jobsBefore = JobCount(server.queue);
    w->txtPrinterName->setText("tarnwick-no-such-queue");
    w->btnPrint->click();

    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, kUnknownPrinter);
    EXPECT_EQ(dialogs.shown[0].buttons, MessageButtons::Ok);
    EXPECT_EQ(dialogs.shown[0].icon, MessageIcon::None);
    EXPECT_EQ(dialogs.shown[0].title, "Tarnwick");
    EXPECT_EQ(JobCount(server.queue), jobsBefore);
    EXPECT_EQ(ReadFile(folder / "lp0"), "");
}

TEST_F(SampleThroughSendRaw, TypedQueueGetsTheSampleAsOneJobNamedAAAAAA) {
    TARNWICK_PRINT_SERVER(server);
    StoreSettings(Settings(std::string("0"), 0, true, false, "tarnwick-no-such-queue"));
    frmSetup* w = Load();
    const std::string baseX = UniqueBaseX();
    w->txtBaseX->setText(QString::fromStdString(baseX));
    w->txtBaseY->setText("7");
    w->optUSB->click();
    w->txtPrinterName->setText(QString::fromStdString(server.queue));
    w->btnPrint->click();

    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.shown.front().text;
    const auto job = WaitForJob(server, server.queue, Esc("^A^A3H" + baseX + "V0007^H0000^V0000^OBSAMPLE TEXT^Q1^Z"));
    ASSERT_TRUE(job) << "the sample did not reach " << server.queue;
    EXPECT_EQ(job->title, "AAAAAA");
}

TEST_F(SampleThroughSendRaw, PausedQueueIsSaidInAnInformationBoxAfterTheSample) {
    TARNWICK_PRINT_SERVER(server);
    if (server.paused.empty()) GTEST_SKIP() << "the print server has no paused queue";
    frmSetup* w = Load();
    w->optUSB->click();
    w->txtPrinterName->setText(QString::fromStdString(server.paused));
    const int jobsBefore = JobCount(server.paused);
    w->btnPrint->click();

    EXPECT_EQ(JobCount(server.paused), jobsBefore + 1);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "The queue of printer \"" + server.paused +
                                         "\" is paused: it holds the label until the queue is resumed. Resume the "
                                         "queue (for example with cupsenable " +
                                         server.paused + ") to print it.");
    EXPECT_EQ(dialogs.shown[0].icon, MessageIcon::Information);
}

TEST_F(SampleThroughSendRaw, DeviceOptionWritesTheDeviceWhateverTheSavedRouteSays) {
    StoreSettings(Settings(std::string("0"), 0, false, true, "tarnwick-no-such-queue"));
    frmSetup* w = Load();
    w->txtBaseX->setText("50");
    w->txtBaseY->setText("7");
    w->optParallel->click();
    w->btnPrint->click();

    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.shown.front().text;
    EXPECT_EQ(ReadFile(folder / "lp0"), Esc("^A^A3H0050V0007^H0000^V0000^OBSAMPLE TEXT^Q1^Z"));
}

TEST_F(SampleThroughSendRaw, MissingDeviceIsReportedByName) {
    std::filesystem::remove(folder / "lp0");
    frmSetup* w = Load();
    w->optParallel->click();
    w->btnPrint->click();

    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find((folder / "lp0").string()), std::string::npos) << dialogs.shown[0].text;
    EXPECT_FALSE(std::filesystem::exists(folder / "lp0")) << "no file made in the device's place";
}

}  // namespace
}  // namespace tarnwick::testing
