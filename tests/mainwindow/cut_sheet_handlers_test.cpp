#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mainwindow/frm_main_menu.h"
#include "support/scripted_dialogs.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using testing::ScriptedDialogs;
using testing::TempDir;
using testing::TempPlant;

constexpr const char* kNoFile = "The Selected File Does Not Exist.  Choose Again.";

std::string Row(const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + cells[i];
    return line + "\r\n";
}

std::string Cut(const std::string& wip, const std::string& color, const std::string& qty = "24",
                const std::string& madeIn = "USA") {
    return Row({wip, "S" + wip, color, "32", "30", "REG", "POLY COTTON WOVEN", "65% POLYESTER", "35% COTTON",
                "BAR" + wip, madeIn, qty, "WB" + wip});
}

const std::string kHeadings =
    Row({"WIP", "Style", "Color", "Waist", "Length", "LDesc", "L1", "L2", "L3", "Bar", "Made", "Qty", "Stock"});

// Three cuts in rows 2 to 4, row 5 empty, a cut in row 6 the list never reaches.
const std::string kThreeCuts = kHeadings + Cut("1001", "7", "24", "USA") + Cut("1002", "12", "10", "MEXICO") +
                               Cut("1003", "123", "5", "PERU") + "\r\n" + Cut("1009", "1");

struct Window {
    explicit Window(const std::string& config = testing::ConfigText()) : plant(config) {
        form =
            std::make_unique<frmMainMenu>(MainMenuDeps{*plant.plant, dialogs, output, {{"c:", files.path()}}, [] {}});
    }
    std::string Sheet(const std::string& name, const std::string& bytes) {
        files.Write(name, bytes);
        return (files / name).string();
    }
    void Select(const std::string& path) { form->SelectedFile->setText(QString::fromStdString(path)); }
    frmMainMenu& operator*() { return *form; }
    frmMainMenu* operator->() { return form.get(); }

    TempPlant plant;
    TempDir files;
    ScriptedDialogs dialogs;
    CapturingOutput output;
    std::unique_ptr<frmMainMenu> form;
};

QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
}

// Everything a press may change, to check that a refused press changed nothing.
std::vector<std::string> State(frmMainMenu& f) {
    std::vector<std::string> s;
    for (const QLineEdit* box :
         {f.txtWIP, f.txtStyle, f.txtColor, f.txtWaist, f.txtLength, f.txtLDesc, f.txtQty, f.txtStock, f.txtMadeIn})
        s.push_back(box->text().toStdString());
    for (const QComboBox* box : {f.cmbText1, f.cmbText2, f.cmbText3}) s.push_back(box->currentText().toStdString());
    s.push_back(Items(f.cmbCut).join("|").toStdString());
    s.push_back(Items(f.cmbRow).join("|").toStdString());
    s.push_back(std::to_string(f.cmbCut->currentIndex()));
    s.push_back(std::to_string(f.CurrentRow));
    s.push_back(f.btnPrint->isEnabled() ? "print on" : "print off");
    const LabelJob& j = f.Job;
    for (const auto* field : {&j.WIP, &j.Style, &j.Color, &j.Waist, &j.Length, &j.LengthDesc, &j.Text1, &j.Text2,
                              &j.Text3, &j.Barcode, &j.Qty})
        s.push_back(*field);
    s.push_back(j.MadeIn);
    return s;
}

void ExpectOneBox(Window& w, const std::string& text, MessageIcon icon, const std::string& title = "Tarnwick") {
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_EQ(w.dialogs.shown[0].text, text);
    EXPECT_EQ(w.dialogs.shown[0].icon, icon);
    EXPECT_EQ(w.dialogs.shown[0].title, title);
    EXPECT_EQ(w.dialogs.shown[0].buttons, MessageButtons::Ok);
    w.dialogs.shown.clear();
}

bool CursorIsNormal() { return QApplication::overrideCursor() == nullptr; }

TEST(CutSheetImport, RefusesNoFileAndMissingFilesChangingNothing) {
    Window w;
    const auto before = State(*w);
    w->btnImport_Click();
    ExpectOneBox(w, "You must select a file.", MessageIcon::None, "No File Selected");
    EXPECT_EQ(State(*w), before);
    for (const std::string& path :
         {w.files.path().string(), w.files.path().string() + "/", (w.files / "gone.csv").string()}) {
        SCOPED_TRACE(path);
        w.Select(path);
        w->btnImport_Click();
        ExpectOneBox(w, kNoFile, MessageIcon::Information);
        EXPECT_EQ(State(*w), before);
    }
}

TEST(CutSheetImport, ListsTheCutsAndLoadsTheFirst) {
    Window w;
    w.Select(w.Sheet("cuts.csv", kThreeCuts));
    w->btnImport_Click();
    EXPECT_TRUE(w.dialogs.shown.empty());
    frmMainMenu& f = *w;
    EXPECT_EQ(Items(f.cmbCut), (QStringList{"1001 - S1001 - 7 - 32 - 30 - REG", "1002 - S1002 - 12 - 32 - 30 - REG",
                                            "1003 - S1003 - 123 - 32 - 30 - REG"}));
    EXPECT_EQ(Items(f.cmbRow), (QStringList{"2", "3", "4"}));
    EXPECT_EQ(f.cmbCut->currentIndex(), -1);
    EXPECT_EQ(f.CurrentRow, 2);
    EXPECT_EQ(f.txtWIP->text(), "1001");
    EXPECT_EQ(f.txtStyle->text(), "S1001");
    EXPECT_EQ(f.txtColor->text(), "O07");
    EXPECT_EQ(f.txtWaist->text(), "32");
    EXPECT_EQ(f.txtLength->text(), "30");
    EXPECT_EQ(f.txtLDesc->text(), "REG");
    EXPECT_EQ(f.cmbText1->currentText(), "POLY COTTON WOVEN");
    EXPECT_EQ(f.cmbText3->currentText(), "35% COTTON");
    EXPECT_EQ(f.txtStock->text(), "WB1001");
    EXPECT_EQ(f.txtMadeIn->text(), "USA");
    EXPECT_EQ(f.txtQty->text(), "26");  // 24 plus ExtraQty 2
    EXPECT_TRUE(f.btnPrint->isEnabled());
    EXPECT_EQ(f.Job.Barcode, "BAR1001");
    EXPECT_EQ(f.Job.Qty, "24");
    EXPECT_EQ(f.Job.Color, "O07");
    EXPECT_EQ(f.Job.MadeIn, "USA");
    EXPECT_TRUE(CursorIsNormal());
}

TEST(CutSheetImport, ExtraQtyThatIsNoNumberAddsNothing) {
    for (const char* extra : {"", "abc"}) {
        Window w(testing::ConfigText("2", extra));
        w.Select(w.Sheet("cuts.csv", kThreeCuts));
        w->btnImport_Click();
        EXPECT_EQ(w->txtQty->text(), "24") << extra;
    }
}

TEST(CutSheetImport, SecondImportReplacesTheFirst) {
    Window w;
    w.Select(w.Sheet("first.csv", kThreeCuts));
    w->btnImport_Click();
    w->cmbCut->setCurrentIndex(2);
    w->btnMoveToCut_Click();
    ASSERT_EQ(w->CurrentRow, 4);
    w.Select(w.Sheet("second.csv", kHeadings + Cut("2001", "5", "8", "CHILE")));
    w->btnImport_Click();
    EXPECT_EQ(Items(w->cmbCut), QStringList{"2001 - S2001 - 5 - 32 - 30 - REG"});
    EXPECT_EQ(Items(w->cmbRow), QStringList{"2"});
    EXPECT_EQ(w->cmbCut->currentIndex(), -1);
    EXPECT_EQ(w->CurrentRow, 2);
    EXPECT_EQ(w->txtColor->text(), "O05");
    EXPECT_EQ(w->txtMadeIn->text(), "CHILE");
    EXPECT_EQ(w->txtQty->text(), "10");
}

TEST(CutSheetImport, RefusedImportsChangeNothing) {
    struct Case {
        const char* name;
        std::string config;
        std::string file, bytes;
        std::string message;  // exact, or a part when partial
        bool partial;
        MessageIcon icon;
    };
    const std::vector<Case> cases = {
        {"no cut at StartRow", testing::ConfigText("3"), "cuts.csv",
         kHeadings + Cut("1001", "7") + "\r\n" + Cut("1", "1"), "The cut sheet has no cuts from row 3.", false,
         MessageIcon::Information},
        {"quantity is no number", testing::ConfigText(), "cuts.csv", kHeadings + Cut("1001", "7", "two dozen"),
         "Row 2 of the cut sheet", true, MessageIcon::Information},
        {"StartRow below 1", testing::ConfigText("0"), "cuts.csv", kThreeCuts, "config.txt", true,
         MessageIcon::Critical},
        {"damaged xlsx", testing::ConfigText(), "cuts.xlsx", std::string("PK\x03\x04", 4) + "broken", "cuts.xlsx", true,
         MessageIcon::Critical},
        {"unterminated quote", testing::ConfigText(), "cuts.csv", kHeadings + "\"1001,S\r\n", "line 2", true,
         MessageIcon::Critical},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Window w(c.config);
        // A good import first, so there is something to keep.
        w.Select(w.Sheet("good.csv", kThreeCuts));
        w->btnImport_Click();
        w->cmbCut->setCurrentIndex(1);
        const auto before = State(*w);
        w.Select(w.Sheet(c.file, c.bytes));
        w.dialogs.shown.clear();
        w->btnImport_Click();
        ASSERT_EQ(w.dialogs.shown.size(), 1u);
        if (c.partial) {
            EXPECT_NE(w.dialogs.shown[0].text.find(c.message), std::string::npos) << w.dialogs.shown[0].text;
        } else {
            EXPECT_EQ(w.dialogs.shown[0].text, c.message);
        }
        EXPECT_EQ(w.dialogs.shown[0].icon, c.icon);
        EXPECT_EQ(State(*w), before);
        EXPECT_TRUE(CursorIsNormal());
    }
}

TEST(CutSheetImport, SaysWhenTheListStopsAtRow32767) {
    Window w;
    std::string csv = kHeadings;
    for (int row = 2; row <= 32768; ++row) csv += std::to_string(row) + ",S,1,1,1,R,,,,,,1,\n";
    w.Select(w.Sheet("long.csv", csv));
    w->btnImport_Click();
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_NE(w.dialogs.shown[0].text.find("up to row 32767"), std::string::npos);
    EXPECT_EQ(w->cmbCut->count(), 32766);
    EXPECT_EQ(w->cmbRow->itemText(32765), "32767");
    EXPECT_TRUE(w->btnPrint->isEnabled());
    // At the last row a list can hold, Move Next does nothing.
    w->CurrentRow = 32767;
    const auto before = State(*w);
    w.dialogs.shown.clear();
    w->btnMoveNext_Click();
    EXPECT_EQ(State(*w), before);
    EXPECT_TRUE(w.dialogs.shown.empty());
}

TEST(CutSheetImport, SameCutsFromCsvXlsxAndOds) {
    const char* source = std::getenv("TARNWICK_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::filesystem::path data = std::filesystem::path(source) / "tests/data/cutsheet";
    std::vector<std::vector<std::string>> states;
    for (const char* name : {"cuts.csv", "cuts_openpyxl.xlsx", "cuts_streamed.xlsx", "cuts.ods", "cuts.xls"}) {
        Window w;
        w.Select((data / name).string());
        w->btnImport_Click();
        EXPECT_TRUE(w.dialogs.shown.empty()) << name;
        w->btnMoveNext_Click();
        states.push_back(State(*w));
        EXPECT_EQ(w->txtWIP->text(), "004512") << name;
    }
    for (std::size_t i = 1; i < states.size(); ++i) EXPECT_EQ(states[i], states[0]) << i;
}

struct Navigation : ::testing::Test {
    Window w;
    void SetUp() override {
        w.Select(w.Sheet("cuts.csv", kThreeCuts));
        w->btnImport_Click();
        ASSERT_TRUE(w.dialogs.shown.empty());
    }
};

// What the window shows of a loaded cut is what prints: the boxes the cut fills take no
// typing, Qty does, and clearing Filename gives the boxes back for a typed label.
TEST_F(Navigation, CutBoxesTakeNoTypingWhileTheCutIsLoaded) {
    const struct {
        QWidget* box;
        bool locked;
    } boxes[] = {{w->txtWIP, true},    {w->txtStyle, true}, {w->txtColor, true},  {w->txtWaist, true},
                 {w->txtLength, true}, {w->txtLDesc, true}, {w->txtMadeIn, true}, {w->cmbText1, true},
                 {w->cmbText2, true},  {w->cmbText3, true}, {w->txtQty, false},   {w->txtRN, false}};
    const auto text = [](QWidget* box) {
        if (auto* combo = qobject_cast<QComboBox*>(box)) return combo->currentText();
        return static_cast<QLineEdit*>(box)->text();
    };
    w->show();
    for (const auto& [box, locked] : boxes) {
        const QString before = text(box);
        box->setFocus();
        QTest::keyClicks(box, "9");
        QTest::keyClick(box, Qt::Key_Down);
        EXPECT_EQ(text(box) == before, locked) << box->objectName().toStdString() << " " << before.toStdString();
    }
    EXPECT_TRUE(w->lblCutLoaded->isVisible());
    w->btnPrint_Click();
    ASSERT_EQ(w.output.streams.size(), 1u) << (w.dialogs.shown.empty() ? "" : w.dialogs.shown[0].text);
    EXPECT_NE(w.output.streams[0].find("1001"), std::string::npos);
    EXPECT_EQ(w.output.streams[0].find("10019"), std::string::npos);
    EXPECT_TRUE(w.output.streams[0].ends_with("\x1BQ269\x1BZ"));

    // In New Format an empty Length Desc of the cut is taken from its box, so it may be typed.
    w.Select(w.Sheet("blank.csv",
                     kHeadings + Row({"2001", "S2001", "7", "32", "30", "", "A", "B", "C", "", "", "4", "WB"})));
    w->btnImport_Click();
    QTest::keyClicks(w->txtLDesc, "LONG");
    EXPECT_EQ(w->txtLDesc->text(), "LONG");
    SetCheckValue(w->chkNew, 0);
    EXPECT_TRUE(w->txtLDesc->isReadOnly());
    EXPECT_EQ(w->txtLDesc->text(), "");

    w.Select("");
    for (const auto& [box, locked] : boxes) {
        const QString before = text(box);
        QTest::keyClicks(box, "9");
        EXPECT_NE(text(box), before) << box->objectName().toStdString();
    }
    EXPECT_FALSE(w->lblCutLoaded->isVisible());
}

TEST_F(Navigation, MoveBackStopsAtTheFirstCut) {
    const auto before = State(*w);
    w->btnMoveBack_Click();
    EXPECT_EQ(State(*w), before);
    EXPECT_TRUE(w.dialogs.shown.empty());
}

TEST_F(Navigation, MoveNextShowsTheNextCutKeepingMadeInAndTheChosenEntry) {
    w->cmbCut->setCurrentIndex(0);
    w->btnMoveNext_Click();
    EXPECT_EQ(w->CurrentRow, 3);
    EXPECT_EQ(w->txtWIP->text(), "1002");
    EXPECT_EQ(w->txtColor->text(), "O12");
    EXPECT_EQ(w->txtQty->text(), "12");
    EXPECT_EQ(w->txtMadeIn->text(), "USA");
    EXPECT_EQ(w->Job.MadeIn, "USA");
    EXPECT_EQ(w->cmbCut->currentIndex(), 0);
    w->btnMoveNext_Click();
    EXPECT_EQ(w->txtColor->text(), "123");
    EXPECT_EQ(w->CurrentRow, 4);
    // At the last cut: nothing moves.
    const auto before = State(*w);
    w->btnMoveNext_Click();
    EXPECT_EQ(State(*w), before);
    w->btnMoveBack_Click();
    EXPECT_EQ(w->CurrentRow, 3);
    EXPECT_EQ(w->txtWIP->text(), "1002");
    EXPECT_TRUE(w.dialogs.shown.empty());
    EXPECT_TRUE(CursorIsNormal());
}

TEST_F(Navigation, MoveToCutLoadsTheRowOfTheChosenEntry) {
    w->cmbRow->setItemText(2, "6");  // the row list decides, not the entry text
    w->cmbCut->setCurrentIndex(2);
    w->btnMoveToCut_Click();
    EXPECT_EQ(w->CurrentRow, 6);
    EXPECT_EQ(w->txtWIP->text(), "1009");
    EXPECT_EQ(w->txtColor->text(), "O01");
    EXPECT_EQ(w->cmbCut->currentIndex(), 2);
    EXPECT_TRUE(w.dialogs.shown.empty());
}

TEST_F(Navigation, MoveToCutNeedsAnEntryAndAFile) {
    const auto before = State(*w);
    w->btnMoveToCut_Click();
    ExpectOneBox(w, "You must import a file and select a cut.", MessageIcon::Information);
    w->cmbCut->setCurrentIndex(1);
    w.Select("");
    w->btnMoveToCut_Click();
    ExpectOneBox(w, "You must import a file and select a cut.", MessageIcon::Information);
    w.Select((w.files / "gone.csv").string());
    w->btnMoveToCut_Click();
    ExpectOneBox(w, kNoFile, MessageIcon::Information);
    w->cmbCut->setCurrentIndex(-1);
    w.Select(w.files.path().string());
    EXPECT_EQ(State(*w), before);
}

TEST_F(Navigation, MoveToCutOnAnEmptyRowKeepsTheCurrentRow) {
    w->btnMoveNext_Click();
    ASSERT_EQ(w->CurrentRow, 3);
    w.Sheet("cuts.csv", kHeadings + Cut("1001", "7") + Cut("1002", "12"));  // row 4 gone since the import
    w->cmbCut->setCurrentIndex(2);
    const auto before = State(*w);
    w->btnMoveToCut_Click();
    EXPECT_EQ(State(*w), before);
    EXPECT_TRUE(w.dialogs.shown.empty());
}

TEST_F(Navigation, MoveBackWithTheFileGoneKeepsTheCurrentRow) {
    w->btnMoveNext_Click();
    w->btnMoveNext_Click();
    ASSERT_EQ(w->CurrentRow, 4);
    const auto path = w->SelectedFile->text().toStdString();
    std::filesystem::rename(path, path + ".away");
    const auto before = State(*w);
    w->btnMoveBack_Click();
    ExpectOneBox(w, kNoFile, MessageIcon::Information);
    EXPECT_EQ(State(*w), before);
    std::filesystem::rename(path + ".away", path);
    w->btnMoveBack_Click();
    EXPECT_EQ(w->CurrentRow, 3);
    EXPECT_EQ(w->txtWIP->text(), "1002");
    // Move Next with the file gone says so and stays put too.
    std::filesystem::remove(path);
    w->btnMoveNext_Click();
    ExpectOneBox(w, kNoFile, MessageIcon::Information);
    EXPECT_EQ(w->CurrentRow, 3);
}

TEST_F(Navigation, ABadRowChangesNothing) {
    // The sheet changed since the import: row 3's quantity is no number, row 4 has an
    // error-free blank WIP with a quantity.
    w.Sheet("cuts.csv", kHeadings + Cut("1001", "7") + Cut("1002", "12", "lots") + Cut("", "5", "3"));
    w->btnMoveNext_Click();
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_NE(w.dialogs.shown[0].text.find("Row 3"), std::string::npos) << w.dialogs.shown[0].text;
    EXPECT_NE(w.dialogs.shown[0].text.find("\"lots\""), std::string::npos) << w.dialogs.shown[0].text;
    w.dialogs.shown.clear();
    EXPECT_EQ(w->CurrentRow, 2);
    EXPECT_EQ(w->txtWIP->text(), "1001");
    EXPECT_TRUE(CursorIsNormal());
    // Move Back onto a row with an empty WIP loads it and disables Print Labels.
    w->CurrentRow = 5;
    w->btnMoveBack_Click();
    EXPECT_TRUE(w.dialogs.shown.empty());
    EXPECT_EQ(w->CurrentRow, 4);
    EXPECT_EQ(w->txtWIP->text(), "");
    EXPECT_EQ(w->txtColor->text(), "O05");
    EXPECT_FALSE(w->btnPrint->isEnabled());
    // Moving to a cut with a WIP does not enable it again.
    w->btnMoveBack_Click();
    ASSERT_EQ(w.dialogs.shown.size(), 1u);  // row 3's quantity again
    w.dialogs.shown.clear();
    w.Sheet("cuts.csv", kThreeCuts);
    w->btnMoveBack_Click();
    EXPECT_EQ(w->txtWIP->text(), "1002");
    EXPECT_FALSE(w->btnPrint->isEnabled());
}

TEST(CutNavigation, MoveNextWithoutAnImportLoadsTheRowBelowStartRow) {
    Window w;
    w.Select(w.Sheet("cuts.csv", kThreeCuts));
    w->btnMoveNext_Click();
    EXPECT_EQ(w->CurrentRow, 3);
    EXPECT_EQ(w->txtWIP->text(), "1002");
    EXPECT_EQ(w->txtMadeIn->text(), "");
    EXPECT_EQ(w->cmbCut->count(), 0);
    EXPECT_EQ(w->cmbRow->count(), 0);
    EXPECT_FALSE(w->btnPrint->isEnabled());
    // With no file named, Move Next and Move Back do nothing and say nothing.
    w.Select("");
    const auto before = State(*w);
    w->btnMoveNext_Click();
    w->btnMoveBack_Click();
    EXPECT_EQ(State(*w), before);
    EXPECT_TRUE(w.dialogs.shown.empty());
}

}  // namespace
}  // namespace tarnwick
