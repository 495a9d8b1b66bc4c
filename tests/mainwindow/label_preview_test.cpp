#include <QAction>
#include <QApplication>
#include <QLabel>
#include <gtest/gtest.h>

#include <memory>

#include "mainwindow/frm_main_menu.h"
#include "mainwindow/preview_window.h"
#include "preview/label_renderer.h"
#include "support/scripted_dialogs.h"
#include "support/temp_plant.h"
#include "support/window_labels.h"

namespace tarnwick {
namespace {

using testing::ImportCut;
using testing::TypeLabel;

using testing::ScriptedDialogs;
using testing::TempPlant;

// Stands in for the printer and remembers every stream it was handed.
class RecordingPrinter final : public PrinterOutput {
public:
    SendResult SendToPrinter(std::string_view stream) override {
        sent.emplace_back(stream);
        return {};
    }
    std::vector<std::string> sent;
};

struct Window {
    Window() : plant(testing::ConfigText("2", "2", "7", "003")) {
        plant.SetStyle("1234", "calh020");
        plant.SetStyle("2121", "calh021");
        plant.SetStyle("NOLAYOUT", "NA");
        plant.plant->printer.BaseX = 10.0;
        plant.plant->printer.BaseY = 5;
        // B1 reads its picture from images/ below the plant folder.
        std::filesystem::copy(std::filesystem::path(std::getenv("TARNWICK_SOURCE_DIR")) / "demo" / "images",
                              plant.dir / "images");
        form = std::make_unique<frmMainMenu>(MainMenuDeps{*plant.plant, dialogs, printer, {}, [] {}});
    }
    PreviewWindow* Preview() const { return form->previewWindow(); }

    TempPlant plant;
    ScriptedDialogs dialogs;
    RecordingPrinter printer;
    std::unique_ptr<frmMainMenu> form;
};

struct Scenario {
    const char* what;
    void (*set)(frmMainMenu&);
    std::string layout;  // empty: refused
    int quantity;
};

const Scenario kScenarios[] = {
    {"typed calh020", [](frmMainMenu& f) { TypeLabel(f, "1234"); }, "C1", 24},
    {"typed calh021 with its picture", [](frmMainMenu& f) { TypeLabel(f, "2121"); }, "B1", 24},
    {"imported cut, New Format", [](frmMainMenu& f) { ImportCut(f, "1234", 1); }, "A1", 6},
    {"imported cut, New Format and brand",
     [](frmMainMenu& f) {
         ImportCut(f, "1234", 1);
         SetCheckValue(f.chkQuenby, 1);
     },
     "A2", 6},
    {"imported cut by its code", [](frmMainMenu& f) { ImportCut(f, "1234", 0); }, "C1", 6},
    {"typed, no WIP",
     [](frmMainMenu& f) {
         TypeLabel(f, "1234");
         f.txtWIP->setText("");
     },
     "", 0},
    {"typed, style not in the database", [](frmMainMenu& f) { TypeLabel(f, "9999"); }, "", 0},
    {"typed, style without a layout", [](frmMainMenu& f) { TypeLabel(f, "NOLAYOUT"); }, "", 0},
    {"typed, quantity out of range",
     [](frmMainMenu& f) {
         TypeLabel(f, "1234");
         f.txtQty->setText("40000");
     },
     "", 0},
};

// Run from a folder without pictures: they come from the plant folder.
class LabelPreview : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path("/");
    }
    void TearDown() override { std::filesystem::current_path(previous_); }

private:
    std::filesystem::path previous_;
};

TEST_F(LabelPreview, RunsPrintLabelsRequestButShowsInsteadOfPrinting) {
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.what);
        Window printed;
        s.set(*printed.form);
        printed.form->btnPrint_Click();

        Window previewed;
        s.set(*previewed.form);
        previewed.form->mnuPreview_Click();

        EXPECT_TRUE(previewed.printer.sent.empty()) << "a preview sent a stream to the printer";
        ASSERT_EQ(previewed.dialogs.shown.size(), printed.dialogs.shown.size());
        for (std::size_t i = 0; i < printed.dialogs.shown.size(); ++i) {
            EXPECT_EQ(previewed.dialogs.shown[i].text, printed.dialogs.shown[i].text);
            EXPECT_EQ(previewed.dialogs.shown[i].title, printed.dialogs.shown[i].title);
            EXPECT_EQ(previewed.dialogs.shown[i].icon, printed.dialogs.shown[i].icon);
        }
        if (s.layout.empty()) {
            EXPECT_EQ(printed.dialogs.shown.size(), 1u);
            EXPECT_TRUE(printed.printer.sent.empty());
            EXPECT_EQ(previewed.Preview(), nullptr);
            continue;
        }
        ASSERT_EQ(printed.printer.sent.size(), 1u);
        const std::string& stream = printed.printer.sent[0];
        const PreviewWindow* preview = previewed.Preview();
        ASSERT_NE(preview, nullptr);
        EXPECT_TRUE(preview->isVisible());
        EXPECT_FALSE(preview->isModal());
        EXPECT_EQ(preview->LayoutName(), s.layout);
        EXPECT_EQ(preview->ByteCount(), stream.size());
        EXPECT_EQ(preview->Quantity(), s.quantity);
        EXPECT_EQ(preview->lblNote->text().toStdString(),
                  "The printer repeats this one label for the quantity; nothing has been printed.");
        const QString summary = preview->lblSummary->text();
        EXPECT_TRUE(summary.contains(QString::fromStdString(s.layout))) << summary.toStdString();
        EXPECT_TRUE(summary.contains(QString("%1 bytes").arg(stream.size()))) << summary.toStdString();
        EXPECT_TRUE(summary.contains(QString::fromUtf8("\u00D7 %1").arg(s.quantity))) << summary.toStdString();
        // What is shown is the very stream Print Labels sends.
        const auto expected = RenderLabel(stream);
        ASSERT_TRUE(expected) << expected.error().text;
        EXPECT_EQ(preview->Label(), expected->image);
    }
}

TEST_F(LabelPreview, AStreamThePrinterWouldNotTakeIsReportedNotDrawn) {
    Window w;
    ImportCut(*w.form, "1234", 1);
    w.plant.plant->printer.BaseX = std::string("abc");  // a base point saved as text

    w.form->mnuPreview_Click();

    EXPECT_TRUE(w.printer.sent.empty());
    EXPECT_EQ(w.Preview(), nullptr);
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_NE(w.dialogs.shown[0].text.find("ESC \"A3H\" needs 1 to 4 digits at byte 6"), std::string::npos)
        << w.dialogs.shown[0].text;
    EXPECT_EQ(w.dialogs.shown[0].icon, MessageIcon::Critical);
}

TEST_F(LabelPreview, MenuActionOpensOneWindowThatFollowsTheLatestLabel) {
    Window w;
    TypeLabel(*w.form, "1234");
    ASSERT_EQ(w.form->mnuPreview->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_P));

    w.form->mnuPreview->trigger();
    ASSERT_NE(w.Preview(), nullptr);
    EXPECT_EQ(w.Preview()->Quantity(), 24);

    w.form->txtQty->setText("7");
    PreviewWindow* first = w.Preview();
    w.form->mnuPreview->trigger();
    EXPECT_EQ(w.Preview(), first);
    EXPECT_EQ(w.Preview()->Quantity(), 7);
    EXPECT_TRUE(w.printer.sent.empty());
}

}  // namespace
}  // namespace tarnwick
