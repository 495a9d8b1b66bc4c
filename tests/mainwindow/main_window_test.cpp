#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <functional>

#include "mainwindow/frm_main_menu.h"
#include "support/scripted_dialogs.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using testing::ScriptedDialogs;
using testing::TempDir;
using testing::TempPlant;

// A main window on a scratch plant folder, with drives "a:" and "c:" standing for
// two scratch folders.
struct Window {
    explicit Window(const std::string& config = testing::ConfigText()) : plant(config) {
        std::filesystem::create_directories(drives / "a");
        std::filesystem::create_directories(drives / "c" / "data");
        // The lists open on the current drive and directory.
        std::filesystem::current_path(drives / "c");
        form = std::make_unique<frmMainMenu>(MainMenuDeps{
            *plant.plant, dialogs, output, {{"a:", drives / "a"}, {"c:", drives / "c"}}, [this] { ++setupPresses; }});
    }
    TempPlant plant;
    TempDir drives;
    ScriptedDialogs dialogs;
    CapturingOutput output;
    ~Window() { std::filesystem::current_path(startDir); }
    std::filesystem::path startDir = std::filesystem::current_path();
    int setupPresses = 0;
    std::unique_ptr<frmMainMenu> form;
};

QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
}

TEST(MainWindow, StartsEmptyWithPrintDisabledAndDefaults) {
    Window w;
    frmMainMenu& f = *w.form;
    EXPECT_EQ(f.windowTitle(), "Tarnwick Main Menu 3.4");
    EXPECT_FALSE(f.btnPrint->isEnabled());
    EXPECT_EQ(CheckValue(f.chkNew), 1);
    EXPECT_EQ(CheckValue(f.chkQuenby), 0);
    EXPECT_EQ(CheckValue(f.chkPrintHeaders), 0);
    EXPECT_EQ(f.txtRN->text(), "30417");
    for (const QLineEdit* box : {f.SelectedFile, f.txtWIP, f.txtStyle, f.txtColor, f.txtWaist, f.txtLength, f.txtLDesc,
                                 f.txtQty, f.txtStock, f.txtMadeIn})
        EXPECT_TRUE(box->text().isEmpty()) << box->objectName().toStdString();
    EXPECT_FALSE(f.txtStock->isEnabled());
    EXPECT_EQ(f.cmbCut->count(), 0);
    EXPECT_EQ(f.cmbRow->count(), 0);
    EXPECT_EQ(Items(f.cmbText1), (QStringList{"POLY COTTON WOVEN", "POLY WOOL WOVEN", "TEXTURIZED WOVEN",
                                              "WRINKLE RESISTANT", "MICROFIBER"}));
    EXPECT_EQ(Items(f.cmbText2), (QStringList{"55% POLYESTER", "65% POLYESTER", "70% POLYESTER", "100% POLYESTER",
                                              "100% COTTON", "75% DACRON POLYESTER"}));
    EXPECT_EQ(Items(f.cmbText3), (QStringList{"35% COTTON", "25% WOOL", "30% WOOL", "45% WOOL", "100% POLYESTER",
                                              "A VISA FABRIC", "DURABLE PRESS"}));
    for (const QComboBox* box : {f.cmbText1, f.cmbText2, f.cmbText3}) EXPECT_TRUE(box->currentText().isEmpty());
    EXPECT_TRUE(w.dialogs.shown.empty());
}

TEST(MainWindow, ControlsSitWhereTheLayoutPutsThem) {
    Window w;
    frmMainMenu& f = *w.form;
    struct Case {
        QWidget* widget;
        int left, top, width, height;
    };
    const Case cases[] = {
        {f.Drive1, 120, 120, 3255, 405},         {f.File1, 3600, 120, 3495, 1890},
        {f.SelectedFile, 1200, 2160, 4215, 285}, {f.cmbCut, 1080, 2760, 4335, 315},
        {f.txtWIP, 1680, 3480, 1575, 285},       {f.txtQty, 4440, 4200, 1575, 285},
        {f.cmbText3, 2040, 5760, 3975, 315},     {f.chkPrintHeaders, 9000, 5400, 2175, 255},
        {f.chkQuenby, 5640, 6480, 1335, 255},    {f.btnExit, 5880, 6840, 1335, 375},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.widget->geometry(), QRect(c.left / 15, c.top / 15, c.width / 15, c.height / 15));
    }
    // The headers box lies beyond the client area: never seen, yet reachable by Tab.
    EXPECT_GE(f.chkPrintHeaders->x(), f.centralWidget()->width());
    EXPECT_EQ(f.centralWidget()->size(), QSize(488, 486));
    EXPECT_EQ(f.chkPrintHeaders->text(), "Print Headers && Images");
    EXPECT_FALSE(f.cmbRow->isVisibleTo(&f));
}

TEST(MainWindow, TabKeyFollowsTheTabIndices) {
    Window w;
    frmMainMenu& f = *w.form;
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    EXPECT_EQ(QApplication::focusWidget(), f.Drive1);
    // txtStock is disabled and cmbRow hidden, so Tab passes over them.
    const QWidget* expected[] = {f.Dir1,     f.File1,    f.SelectedFile, f.btnImport,   f.txtWIP,   f.txtStyle,
                                 f.txtColor, f.txtWaist, f.txtLength,    f.txtLDesc,    f.txtQty,   f.cmbText1,
                                 f.cmbText2, f.cmbText3, f.btnMoveBack,  f.btnMoveNext, f.btnPrint, f.btnExit};
    for (const QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next)
            << "focus is on " << QApplication::focusWidget()->metaObject()->className();
    }
}

TEST(MainWindow, LeavingTheWipBoxEnablesPrintEvenWhenEmpty) {
    Window w;
    frmMainMenu& f = *w.form;
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    f.txtWIP->setFocus();
    QApplication::processEvents();
    EXPECT_FALSE(f.btnPrint->isEnabled());
    QTest::keyClick(f.txtWIP, Qt::Key_Tab);
    QApplication::processEvents();
    EXPECT_TRUE(f.btnPrint->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), f.txtStyle);
}

TEST(MainWindow, BrandBoxSetsTheRnNumberAndLeavesItWhenUnchecked) {
    Window w;
    frmMainMenu& f = *w.form;
    f.txtRN->setText("99999");
    f.chkQuenby->setCheckState(Qt::Checked);
    EXPECT_EQ(f.txtRN->text(), "112806");
    f.chkQuenby->setCheckState(Qt::Unchecked);
    EXPECT_EQ(f.txtRN->text(), "112806");
    f.txtRN->setText("30417");
    SetCheckValue(f.chkQuenby, 2);  // greyed is not checked
    EXPECT_EQ(f.txtRN->text(), "30417");
}

TEST(MainWindow, CurrentRowIsStartRowRoundedHalfToEven) {
    const std::pair<const char*, int> cases[] = {{"3", 3}, {"2.5", 2}, {"3.5", 4}, {"abc", 0}, {" 7 rows", 7}};
    for (const auto& [startRow, row] : cases) {
        Window w(testing::ConfigText(startRow));
        EXPECT_EQ(w.form->CurrentRow, row) << "StartRow " << startRow;
    }
}

TEST(MainWindow, SetupAndExitButtons) {
    Window w;
    frmMainMenu& f = *w.form;
    f.show();
    QTest::mouseClick(f.btnSetup, Qt::LeftButton);
    EXPECT_EQ(w.setupPresses, 1);
    QTest::mouseClick(f.btnExit, Qt::LeftButton);
    EXPECT_FALSE(f.isVisible());
}

// The file chooser: drive, then directory, then file, then SelectedFile.
TEST(FileChooser, ClickingAFileNamesItsFullPath) {
    Window w;
    frmMainMenu& f = *w.form;
    const auto c = w.drives / "c";
    std::ofstream(c / "cuts.csv") << "x";
    std::ofstream(c / "data" / "cuts.csv") << "x";

    // Opened on the current drive and directory; nothing is chosen yet.
    EXPECT_EQ(f.Drive1->Drive(), "c:");
    EXPECT_EQ(f.Dir1->Path(), c.string());
    f.File1->Refresh();
    EXPECT_TRUE(f.SelectedFile->text().isEmpty());

    auto clickFile = [&](const QString& name) {
        const auto items = f.File1->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1);
        const QRect rect = f.File1->visualItemRect(items[0]);
        QTest::mouseClick(f.File1->viewport(), Qt::LeftButton, {}, rect.center());
    };
    f.show();
    clickFile("cuts.csv");
    EXPECT_EQ(f.SelectedFile->text().toStdString(), (c / "cuts.csv").string());

    f.Dir1->SetPath((c / "data").string());
    EXPECT_EQ(f.SelectedFile->text().toStdString(), (c / "data").string() + "/");
    EXPECT_EQ(f.File1->Path(), (c / "data").string());

    const auto items = f.File1->findItems("cuts.csv", Qt::MatchExactly);
    ASSERT_EQ(items.size(), 1);
    const QPoint at = f.File1->visualItemRect(items[0]).center();
    QTest::mouseClick(f.File1->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(f.File1->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(f.SelectedFile->text().toStdString(), (c / "data" / "cuts.csv").string());
    EXPECT_TRUE(w.dialogs.shown.empty());
}

QStringList Items(const QListWidget* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
    return items;
}

// Sheets saved or removed while the window runs: the lists follow the folder, and the
// choice, with SelectedFile's text, stays while its file does.
TEST(FileChooser, ListsFollowTheShownFolderKeepingTheChoice) {
    Window w;
    frmMainMenu& f = *w.form;
    const auto c = w.drives / "c";
    std::ofstream(c / "cuts.csv") << "x";
    f.File1->Refresh();
    f.show();
    const auto items = f.File1->findItems("cuts.csv", Qt::MatchExactly);
    ASSERT_EQ(items.size(), 1);
    QTest::mouseClick(f.File1->viewport(), Qt::LeftButton, {}, f.File1->visualItemRect(items[0]).center());
    const QString chosen = QString::fromStdString((c / "cuts.csv").string());
    ASSERT_EQ(f.SelectedFile->text(), chosen);

    auto subfolders = [&] {
        QStringList names;
        for (int i = f.Dir1->currentRow() + 1; i < f.Dir1->count(); ++i) names << f.Dir1->item(i)->text().trimmed();
        return names;
    };
    const struct {
        const char* change;
        std::function<void()> make;
        QStringList files, folders;
        std::string choice;
    } steps[] = {
        {"a sheet saved beside it",
         [&] { std::ofstream(c / "new.xlsx") << "x"; },
         {"cuts.csv", "new.xlsx"},
         {"data"},
         "cuts.csv"},
        {"a sheet saved before it, ü in its name",
         [&] { std::ofstream(c / "a\u00FC.csv") << "x"; },
         {"a\u00FC.csv", "cuts.csv", "new.xlsx"},
         {"data"},
         "cuts.csv"},
        {"a sheet removed",
         [&] { std::filesystem::remove(c / "new.xlsx"); },
         {"a\u00FC.csv", "cuts.csv"},
         {"data"},
         "cuts.csv"},
        {"a subfolder made",
         [&] { std::filesystem::create_directory(c / "later"); },
         {"a\u00FC.csv", "cuts.csv"},
         {"data", "later"},
         "cuts.csv"},
        {"the chosen sheet removed",
         [&] { std::filesystem::remove(c / "cuts.csv"); },
         {"a\u00FC.csv"},
         {"data", "later"},
         ""},
    };
    for (const auto& step : steps) {
        step.make();
        EXPECT_TRUE(QTest::qWaitFor([&] { return Items(f.File1) == step.files && subfolders() == step.folders; }))
            << step.change << ": " << Items(f.File1).join(", ").toStdString() << " / "
            << subfolders().join(", ").toStdString();
        EXPECT_EQ(f.File1->FileName(), step.choice) << step.change;
        // Nothing but a click writes SelectedFile; a vanished sheet is refused at import.
        EXPECT_EQ(f.SelectedFile->text(), chosen) << step.change;
        EXPECT_EQ(f.Dir1->Path(), c.string()) << step.change;
    }
    EXPECT_TRUE(w.dialogs.shown.empty());
}

TEST(FileChooser, RootFolderGetsASingleSeparator) {
    EXPECT_EQ(JoinFilePath("/", "cuts.csv"), "/cuts.csv");
    EXPECT_EQ(JoinFilePath("/srv/data", "cuts.csv"), "/srv/data/cuts.csv");
    EXPECT_EQ(JoinFilePath("/srv/data", ""), "/srv/data/");
}

TEST(FileChooser, DriveAAsksForADiskAndOkShowsIt) {
    Window w;
    frmMainMenu& f = *w.form;
    w.dialogs.answers = {MessageAnswer::Ok};
    f.Drive1->SetDrive("a:");
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    const auto& box = w.dialogs.shown[0];
    EXPECT_EQ(box.text, "Insert A Disk Into Drive 'A' And Press OK Or Press CANCEL To Exit.");
    EXPECT_EQ(box.buttons, MessageButtons::OkCancel);
    EXPECT_EQ(box.icon, MessageIcon::None);
    EXPECT_EQ(box.title, "Tarnwick");
    EXPECT_EQ(f.Drive1->Drive(), "a:");
    EXPECT_EQ(f.Dir1->Path(), (w.drives / "a").string());
    EXPECT_EQ(f.SelectedFile->text().toStdString(), (w.drives / "a").string() + "/");
}

TEST(FileChooser, DriveACancelGoesBackToDriveC) {
    Window w;
    frmMainMenu& f = *w.form;
    w.dialogs.answers = {MessageAnswer::Cancel};
    f.Drive1->SetDrive("a:");
    EXPECT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_EQ(f.Drive1->Drive(), "c:");
    EXPECT_EQ(f.Dir1->Path(), (w.drives / "c").string());
    EXPECT_EQ(f.File1->Path(), (w.drives / "c").string());
    EXPECT_TRUE(f.SelectedFile->text().startsWith(QString::fromStdString((w.drives / "c").string())));
}

}  // namespace
}  // namespace tarnwick
