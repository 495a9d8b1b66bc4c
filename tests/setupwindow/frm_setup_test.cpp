#include <gtest/gtest.h>

#include <QPointer>
#include <QTest>
#include <memory>

#include "setup_fixture.h"
#include "setupwindow/frm_setup.h"
#include "toolkit/toolkit.h"

namespace tarnwick::testing {
namespace {

class SetupWindow : public PlantFolderTest {
protected:
    void TearDown() override {
        launcher.reset();
        PlantFolderTest::TearDown();
    }

    // The window as the Setup button loads it.
    frmSetup* Open() {
        if (!launcher) launcher = std::make_unique<SetupLauncher>(Deps());
        launcher->Show();
        return launcher->Window();
    }

    std::unique_ptr<SetupLauncher> launcher;
};

// The next control the Tab key reaches.
const QWidget* NextTabStop(const QWidget* w) {
    for (const QWidget* next = w->nextInFocusChain(); next != w; next = next->nextInFocusChain())
        if (next->focusPolicy() & Qt::TabFocus) return next;
    return w;
}

QRect TwipsRect(int left, int top, int width, int height) {
    return {Twips(left), Twips(top), Twips(width), Twips(height)};
}

TEST_F(SetupWindow, ControlsCaptionsAndPlaces) {
    frmSetup* w = Open();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->windowTitle(), "Settings");
    EXPECT_TRUE(w->isWindow());
    EXPECT_EQ(w->windowModality(), Qt::NonModal);
    EXPECT_EQ(w->size(), QSize(Twips(5865), Twips(2535)));
    EXPECT_EQ(w->Frame1->title(), "Layout Settings");
    EXPECT_EQ(w->Frame1->geometry(), TwipsRect(120, 120, 5655, 1815));

    const struct {
        QWidget* control;
        QString caption;
        QWidget* container;
        QRect place;
    } controls[] = {
        {w->Label1, "X", w->Frame1, TwipsRect(1080, 240, 735, 255)},
        {w->Label2, "Y", w->Frame1, TwipsRect(1920, 240, 735, 255)},
        {w->Label12, "Base:", w->Frame1, TwipsRect(240, 480, 735, 285)},
        {w->txtBaseX, "", w->Frame1, TwipsRect(1080, 480, 735, 285)},
        {w->txtBaseY, "", w->Frame1, TwipsRect(1920, 480, 735, 285)},
        {w->optParallel, "Parallel Printer", w->Frame1, TwipsRect(120, 960, 1575, 255)},
        {w->optUSB, "USB", w->Frame1, TwipsRect(120, 1320, 855, 255)},
        {w->Label15, "Name:", w->Frame1, TwipsRect(1080, 1320, 735, 285)},
        {w->txtPrinterName, "", w->Frame1, TwipsRect(1920, 1320, 3495, 285)},
        {w->btnPrint, "Print Sample", w, TwipsRect(480, 2040, 1695, 375)},
        {w->btnSavePostion, "Save Settings", w, TwipsRect(2280, 2040, 1695, 375)},
        {w->btnExitSettings, "Exit Settings", w, TwipsRect(4080, 2040, 1695, 375)},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.control->metaObject()->className() + (" " + c.caption.toStdString()));
        EXPECT_EQ(c.control->parentWidget(), c.container);
        EXPECT_EQ(c.control->geometry(), c.place);
        if (auto* label = qobject_cast<QLabel*>(c.control)) {
            EXPECT_EQ(label->text(), c.caption);
        }
        if (auto* button = qobject_cast<QAbstractButton*>(c.control)) {
            EXPECT_EQ(button->text(), c.caption);
        }
        // The caption shows whole in the main window's 8-point font.
        if (!c.caption.isEmpty()) {
            EXPECT_LE(c.control->sizeHint().width(), c.place.width());
        }
    }
    EXPECT_EQ(w->font().pointSize(), 8);
    EXPECT_TRUE(w->Label1->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(w->Label2->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(w->Label12->alignment() & Qt::AlignRight);
    EXPECT_TRUE(w->Label15->alignment() & Qt::AlignRight);

    // Tab order from Exit Settings, which has the focus when the window opens.
    EXPECT_EQ(w->focusWidget(), w->btnExitSettings);
    const QWidget* order[] = {w->btnExitSettings, w->txtBaseX,       w->txtBaseY, w->optParallel,
                              w->optUSB,          w->txtPrinterName, w->btnPrint, w->btnSavePostion};
    for (std::size_t i = 1; i < std::size(order); ++i)
        EXPECT_EQ(NextTabStop(order[i - 1]), order[i]) << "after tab stop " << i;
}

TEST_F(SetupWindow, FormLoadFillsTheBoxesFromTheSettings) {
    const struct {
        PrinterSettings settings;
        const char* baseX;
        const char* baseY;
        bool parallel;
        bool usb;
    } cases[] = {
        {Settings(std::string("0050"), -10, true, false, "Zebra"), "0050", "-10", true, false},
        {Settings(50.0, 7, false, true, "Zebra"), "50", "7", false, true},
        {Settings(12.5, 0, true, true, "Zebra"), "12.5", "0", false, true},  // USB decides
        {Settings(std::string("x"), 32767, false, false, ""), "x", "32767", false, false},
        {Settings(std::monostate{}, -32768, std::nullopt, false, ""), "", "-32768", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Describe(c.settings));
        plant->printer = c.settings;
        QPointer<frmSetup> w = new frmSetup(Deps());
        EXPECT_EQ(w->txtBaseX->text().toStdString(), c.baseX);
        EXPECT_EQ(w->txtBaseY->text().toStdString(), c.baseY);
        EXPECT_EQ(w->optParallel->isChecked(), c.parallel);
        EXPECT_EQ(w->optUSB->isChecked(), c.usb);
        EXPECT_EQ(w->txtPrinterName->text().toStdString(), c.settings.USBPrinterName);
        delete w;
    }
}

TEST_F(SetupWindow, BothStoredTrueOpensWithUsbAndBothFalseWithNeither) {
    StoreSettings(Settings(std::string("0"), 0, true, true, "Zebra"));
    frmSetup* w = Open();
    EXPECT_TRUE(w->optUSB->isChecked());
    EXPECT_FALSE(w->optParallel->isChecked());
    w->btnExitSettings_Click();
    ProcessDeferredDeletes();

    StoreSettings(Settings(std::string("0"), 0, false, false, "Zebra"));
    w = Open();
    EXPECT_FALSE(w->optUSB->isChecked());
    EXPECT_FALSE(w->optParallel->isChecked());
    // The operator can still choose one, and the group stays one group.
    w->optParallel->click();
    w->optUSB->click();
    EXPECT_TRUE(w->optUSB->isChecked());
    EXPECT_FALSE(w->optParallel->isChecked());
}

TEST_F(SetupWindow, SaveWritesMemoryAndRow) {
    frmSetup* w = Open();
    w->txtBaseX->setText("0050");
    w->txtBaseY->setText("12.5");
    w->optParallel->click();
    w->txtPrinterName->setText("Büro Zebra");
    w->btnSavePostion_Click();

    const PrinterSettings expected = Settings(std::string("0050"), 12, true, false, "Büro Zebra");
    EXPECT_TRUE(dialogs.shown.empty()) << "no confirmation box";
    EXPECT_EQ(Describe(plant->printer), Describe(expected));
    EXPECT_EQ(Describe(StoredRow()), Describe(expected));
    EXPECT_TRUE(w->isVisible()) << "the window stays open";

    w->txtBaseY->setText("13.5");
    w->optUSB->click();
    w->btnSavePostion_Click();
    EXPECT_EQ(plant->printer.BaseY, 14);
    EXPECT_TRUE(plant->printer.USBPrinter);
    EXPECT_EQ(plant->printer.ParallelPrinter, std::optional<bool>(false));
    EXPECT_EQ(Describe(StoredRow()), Describe(plant->printer));
}

TEST_F(SetupWindow, SaveWithNeitherOptionStoresBothFalse) {
    StoreSettings(Settings(std::string("0"), 0, false, false, "Zebra"));
    frmSetup* w = Open();
    w->btnSavePostion_Click();
    EXPECT_EQ(StoredRow().ParallelPrinter, std::optional<bool>(false));
    EXPECT_FALSE(StoredRow().USBPrinter);
}

TEST_F(SetupWindow, RefusedSaveChangesNothing) {
    const PrinterSettings before = Settings(std::string("10"), 5, false, true, "Zebra");
    StoreSettings(before);
    for (const char* y : {"", "abc", "12 boxes", "32768", "32767.5", "1e9"}) {
        SCOPED_TRACE(std::string("txtBaseY \"") + y + "\"");
        dialogs.shown.clear();
        frmSetup* w = Open();
        w->txtBaseX->setText("99");
        w->txtBaseY->setText(y);
        w->optParallel->click();
        w->txtPrinterName->setText("Other");
        w->btnSavePostion_Click();

        ASSERT_EQ(dialogs.shown.size(), 1u);
        EXPECT_NE(dialogs.shown[0].text.find("Y box"), std::string::npos) << dialogs.shown[0].text;
        EXPECT_NE(dialogs.shown[0].text.find("-32768"), std::string::npos) << dialogs.shown[0].text;
        EXPECT_NE(dialogs.shown[0].text.find("32767"), std::string::npos) << dialogs.shown[0].text;
        EXPECT_EQ(Describe(plant->printer), Describe(before));
        EXPECT_EQ(Describe(StoredRow()), Describe(before));
        w->btnExitSettings_Click();
        ProcessDeferredDeletes();
    }
}

TEST_F(SetupWindow, WithoutARowSaveKeepsTheValuesInMemoryOnly) {
    Sql("DELETE FROM Settings");
    frmSetup* w = Open();
    w->txtBaseX->setText("30");
    w->txtBaseY->setText("4");
    w->btnSavePostion_Click();
    EXPECT_TRUE(dialogs.shown.empty());
    // The new database's row chose the parallel printer, and the window showed it so.
    EXPECT_EQ(Describe(plant->printer), Describe(Settings(std::string("30"), 4, true, false, "")));
    Sql("SELECT 1");  // the database stays usable
    PrinterSettings untouched = Settings(std::string("none"), 1, true, true, "none");
    ASSERT_TRUE(plant->db.LoadPrinterSettings(untouched));
    EXPECT_EQ(std::get<std::string>(untouched.BaseX), "none") << "still no row";
}

TEST_F(SetupWindow, DatabaseFailureIsShownAndChangesNothing) {
    const PrinterSettings before = Settings(std::string("10"), 5, false, true, "Zebra");
    StoreSettings(before);
    Sql("PRAGMA query_only = ON");
    frmSetup* w = Open();
    w->txtBaseX->setText("77");
    w->btnSavePostion_Click();
    Sql("PRAGMA query_only = OFF");

    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find("data.mdb"), std::string::npos) << dialogs.shown[0].text;
    EXPECT_EQ(Describe(plant->printer), Describe(before));
    EXPECT_EQ(Describe(StoredRow()), Describe(before));
}

TEST_F(SetupWindow, PrintSampleComposesFromTheBoxesAsTheyStand) {
    StoreSettings(Settings(std::string("1"), 1, false, false, ""));
    const struct {
        const char* x;
        const char* y;
        const char* stream;
    } cases[] = {
        {"50", "7", "^A^A3H0050V0007^H0000^V0000^OBSAMPLE TEXT^Q1^Z"},
        {"12345", "0", "^A^A3H12345V0000^H0000^V0000^OBSAMPLE TEXT^Q1^Z"},
        {"", "-5", "^A^A3HV-0005^H0000^V0000^OBSAMPLE TEXT^Q1^Z"},
    };
    frmSetup* w = Open();
    for (const auto& c : cases) {
        sent.clear();
        w->txtBaseX->setText(c.x);
        w->txtBaseY->setText(c.y);
        w->btnPrint->click();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].stream, Esc(c.stream));
    }
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(Describe(plant->printer), Describe(Settings(std::string("1"), 1, false, false, "")))
        << "printing saves nothing";
}

TEST_F(SetupWindow, PrintSampleTakesTheRouteAndNameOfTheWindow) {
    const struct {
        PrinterSettings saved;
        const char* choose;  // "usb", "parallel" or "" for as loaded
        const char* typedName;
        bool queue;
    } cases[] = {
        {Settings(std::string("0"), 0, false, false, "Saved"), "usb", "Typed", true},
        {Settings(std::string("0"), 0, false, true, "Saved"), "parallel", "Saved", false},
        {Settings(std::string("0"), 0, false, true, "Saved"), "", "Typed", true},
        {Settings(std::string("0"), 0, false, false, "Saved"), "", "Saved", false},  // neither selected
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Describe(c.saved) + " choose " + c.choose);
        StoreSettings(c.saved);
        sent.clear();
        frmSetup* w = Open();
        if (std::string(c.choose) == "usb") w->optUSB->click();
        if (std::string(c.choose) == "parallel") w->optParallel->click();
        w->txtPrinterName->setText(c.typedName);
        w->btnPrint->click();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].route.queue, c.queue);
        if (c.queue) {
            EXPECT_EQ(sent[0].route.printerName, c.typedName);
        } else {
            EXPECT_EQ(sent[0].route.device, folder / "lp0");
        }
        w->btnExitSettings_Click();
        ProcessDeferredDeletes();
    }
}

TEST_F(SetupWindow, PrintSampleFailuresAreShown) {
    frmSetup* w = Open();
    sendFailure = Failure{"The printer device /dev/lp9 could not be opened.", "Tarnwick", MessageIcon::Critical};
    w->btnPrint->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, sendFailure->text);
    EXPECT_EQ(dialogs.shown[0].icon, MessageIcon::Critical);

    // A box the printer cannot take is refused before anything is sent.
    sent.clear();
    dialogs.shown.clear();
    w->txtBaseX->setText(QString::fromUtf8("5\xE2\x86\x90"));
    w->btnPrint->click();
    EXPECT_TRUE(sent.empty());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find("base X box"), std::string::npos) << dialogs.shown[0].text;
}

TEST_F(SetupWindow, SecondShowBringsTheSameWindowWithoutReloading) {
    StoreSettings(Settings(std::string("10"), 5, false, true, "Zebra"));
    QPointer<frmSetup> first = Open();
    first->txtBaseX->setText("typed");
    plant->printer.USBPrinterName = "Changed meanwhile";

    EXPECT_EQ(Open(), first.data());
    EXPECT_EQ(first->txtBaseX->text(), "typed");
    EXPECT_EQ(first->txtPrinterName->text(), "Zebra");
    EXPECT_TRUE(first->isVisible());
}

TEST_F(SetupWindow, ExitOrCloseUnloadsWithoutSavingAndTheNextShowReloads) {
    const PrinterSettings before = Settings(std::string("10"), 5, false, true, "Zebra");
    StoreSettings(before);
    for (const char* how : {"Exit Settings", "title-bar close", "Escape"}) {
        SCOPED_TRACE(how);
        QPointer<frmSetup> w = Open();
        w->txtBaseX->setText("typed");
        w->txtBaseY->setText("99");
        w->optParallel->click();
        if (std::string(how) == "title-bar close") w->close();
        else if (std::string(how) == "Escape") QTest::keyClick(w->txtBaseY, Qt::Key_Escape);
        else w->btnExitSettings->click();
        ProcessDeferredDeletes();

        EXPECT_TRUE(w.isNull()) << "unloaded";
        EXPECT_EQ(launcher->Window(), nullptr);
        EXPECT_TRUE(dialogs.shown.empty()) << "nothing asked";
        EXPECT_EQ(Describe(plant->printer), Describe(before));
        EXPECT_EQ(Describe(StoredRow()), Describe(before));

        frmSetup* again = Open();
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->txtBaseX->text(), "10");
        EXPECT_EQ(again->txtBaseY->text(), "5");
        EXPECT_TRUE(again->optUSB->isChecked());
        again->close();
        ProcessDeferredDeletes();
    }
}

// The main window's own: above it however many boxes come and go, and gone with it.
TEST_F(SetupWindow, OwnedByTheMainWindowAndGoneWithIt) {
    auto owner = std::make_unique<QWidget>();
    launcher = std::make_unique<SetupLauncher>(Deps());
    launcher->SetOwner(owner.get());
    QPointer<frmSetup> w = Open();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget(), owner.get());
    EXPECT_TRUE(w->isWindow());
    owner.reset();
    EXPECT_TRUE(w.isNull());
    EXPECT_EQ(launcher->Window(), nullptr);
}

}  // namespace
}  // namespace tarnwick::testing
