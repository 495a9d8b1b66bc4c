#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "labels/layouts.h"
#include "labels/print_request.h"
#include "support/worked_jobs.h"

namespace tarnwick {
namespace {

const PrintBases kBases{{"10", "5"}, {"7", "003"}};
const std::string kInvalideData = "You must select a file or manually enter the data.";
const std::string kStyleNotFound = "The selected style does not exist in the database.";

// The record as an import of a cut-sheet row leaves it.
LabelJob ImportedJob() {
    LabelJob job;
    job.WIP = "4012";
    job.Style = "12345";
    job.Color = "O07";
    job.Waist = "32";
    job.Length = "30";
    job.LengthDesc = "30";
    job.Text1 = "65% POLYESTER";
    job.Text2 = "35% COTTON";
    job.Text3 = "MACHINE WASH";
    job.Barcode = "12345O07 32 30";
    job.Qty = "1";
    job.MadeIn = "MADE IN U.S.A.";
    return job;
}

PrintControls FileModeControls() {
    PrintControls c;
    c.SelectedFile = "/plant/cuts/order 7.csv";
    c.txtWIP = "9999";  // typed after the import: not printed in file mode
    c.txtStyle = "EDITED";
    c.txtColor = "99";
    c.txtWaist = "44";
    c.txtLength = "44";
    c.txtLDesc = "LONG";
    c.cmbText1 = "100% WOOL";
    c.txtQty = "12";
    c.txtMadeIn = "MADE IN PERU";
    c.txtRN = "112806";
    return c;
}

std::string Direct(LayoutBuilder build, const LabelArgs& args, const BasePoint& base) {
    CapturingOutput out;
    const auto built = build(args, base, out);
    EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().text);
    return out.streams.empty() ? std::string() : out.streams.front();
}

struct Outcome {
    std::expected<PrintedLabel, Failure> result;
    std::vector<std::string> streams;
};

Outcome Print(const PrintControls& controls, std::string_view code, LabelJob& job) {
    CapturingOutput out;
    auto result = PrintLabels(controls, code, job, kBases, out);
    return {std::move(result), std::move(out.streams)};
}

TEST(PrintRequest, DecisionTableRowByRow) {
    struct Row {
        const char* what;
        bool fileMode;
        std::string wip;
        int chkNew;
        int chkQuenby;
        std::string code;
        std::string layout;  // empty: refused
        std::string message;
        std::string title;
        MessageIcon icon = MessageIcon::None;
    };
    const Row rows[] = {
        {"manual, no WIP", false, "", 0, 0, "calh020", "", kInvalideData, "Invalide Data"},
        {"manual, no WIP, no style", false, "", 1, 1, "", "", kInvalideData, "Invalide Data"},
        {"manual, code in table", false, "4", 0, 0, "calh020", "C1", "", ""},
        {"manual ignores New Format", false, "4", 1, 1, "calh020", "C1", "", ""},
        {"manual, second C code", false, "4", 0, 0, "calh025", "C2", "", ""},
        {"manual, stacked lot", false, "4", 0, 0, "calh015", "E", "", ""},
        {"manual, NA", false, "4", 1, 0, "NA", "", kStyleNotFound, "Style Not Found", MessageIcon::Critical},
        {"manual, style not in database", false, "4", 0, 0, "", "", kStyleNotFound, "Style Not Found",
         MessageIcon::Critical},
        {"codes are case-sensitive", false, "4", 0, 0, "CALH020", "", kStyleNotFound, "Style Not Found",
         MessageIcon::Critical},
        {"file, New Format, brand, no style", true, "", 1, 1, "", "A2", "", ""},
        {"file, New Format, brand, NA", true, "4", 1, 1, "NA", "A2", "", ""},
        {"file, New Format, no brand", true, "", 1, 0, "calh020", "A1", "", ""},
        {"file, New Format, greyed brand", true, "", 1, 2, "", "A1", "", ""},
        {"file, no New Format, code in table", true, "", 0, 1, "calh025", "C2", "", ""},
        {"file, greyed New Format is unchecked", true, "", 2, 1, "calh020", "C1", "", ""},
        {"file, no New Format, NA", true, "", 0, 0, "NA", "", kStyleNotFound, "Style Not Found", MessageIcon::Critical},
        {"file, greyed New Format, NA", true, "", 2, 1, "NA", "", kStyleNotFound, "Style Not Found",
         MessageIcon::Critical},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PrintControls controls = row.fileMode ? FileModeControls() : test::TypedLabel();
        controls.txtWIP = row.wip;
        controls.chkNew = row.chkNew;
        controls.chkQuenby = row.chkQuenby;
        LabelJob job = row.fileMode ? ImportedJob() : LabelJob{};

        const auto outcome = Print(controls, row.code, job);

        if (row.layout.empty()) {
            ASSERT_FALSE(outcome.result.has_value());
            EXPECT_EQ(outcome.result.error().text, row.message);
            EXPECT_EQ(outcome.result.error().title, row.title);
            EXPECT_EQ(outcome.result.error().icon, row.icon);
            EXPECT_TRUE(outcome.streams.empty());
        } else {
            ASSERT_TRUE(outcome.result.has_value()) << outcome.result.error().text;
            EXPECT_EQ(outcome.result->layout, row.layout);
            EXPECT_EQ(outcome.streams.size(), 1u);
        }
    }
}

TEST(PrintRequest, ComposedBarcodes) {
    struct Case {
        std::string style, color, waist, lengthDesc, barcode;
    };
    const Case cases[] = {
        {"1234", "5", "32", "R", "1234 O05 32  R   "},
        {"12345678", "12", "3", "32", "12345678O12  3 32"},
        {"123456789", "12", "3", "32", "123456789O12  3 32"},  // 18 characters, sent whole
        {"12", "123", "30", "L", "12   123 30  L   "},
        {"", "", "", "", std::string(17, ' ')},
        {"AB", "", "1234", "", "AB   1234        "},
        {"ÉTÉ", "é", "3", "", "ÉTÉ  O0é  3      "},  // characters, not bytes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style + "|" + c.color + "|" + c.waist + "|" + c.lengthDesc);
        EXPECT_EQ(ComposeBarcode(c.style, c.color, c.waist, c.lengthDesc), c.barcode);
    }
}

TEST(PrintRequest, ManualModeCopiesTheBoxesAndBuildsFromTheRecord) {
    const PrintControls controls = test::TypedLabel();
    LabelJob job = ImportedJob();

    const auto outcome = Print(controls, "calh020", job);

    ASSERT_TRUE(outcome.result.has_value()) << outcome.result.error().text;
    EXPECT_EQ(job.WIP, "004512");
    EXPECT_EQ(job.Style, "1234");
    EXPECT_EQ(job.Color, "5");
    EXPECT_EQ(job.Waist, "32");
    EXPECT_EQ(job.Length, "30");
    EXPECT_EQ(job.LengthDesc, "R");
    EXPECT_EQ(job.Text1, "65% POLYESTER");
    EXPECT_EQ(job.Text3, "MACHINE WASH");
    EXPECT_EQ(job.Qty, "24");
    EXPECT_EQ(job.Barcode, "1234 O05 32  R   ");
    EXPECT_EQ(job.MadeIn, "MADE IN U.S.A.") << "manual mode leaves MadeIn alone";

    LabelArgs expected{
        "004512", "1234", "5", "32", "30", "R", "65% POLYESTER", "35% COTTON", "MACHINE WASH", "1234 O05 32  R   ",
        "24",     true,   "",  ""};
    ASSERT_EQ(outcome.streams.size(), 1u);
    EXPECT_EQ(outcome.streams.front(), Direct(PrintLayoutC1, expected, kBases.otherFamilies));
}

TEST(PrintRequest, ManualModeUpdatesTheRecordEvenWhenTheStyleIsNotFound) {
    LabelJob job;
    const auto outcome = Print(test::TypedLabel(), "NA", job);
    ASSERT_FALSE(outcome.result.has_value());
    EXPECT_EQ(job.WIP, "004512");
    EXPECT_EQ(job.Barcode, "1234 O05 32  R   ");
}

TEST(PrintRequest, EmptyWipChangesNothing) {
    PrintControls controls = test::TypedLabel();
    controls.txtWIP.clear();
    LabelJob job = ImportedJob();
    ASSERT_FALSE(Print(controls, "calh020", job).result.has_value());
    EXPECT_EQ(job.Style, "12345");
    EXPECT_EQ(job.Barcode, "12345O07 32 30");
    EXPECT_EQ(job.Qty, "1");
}

TEST(PrintRequest, FileModePrintsTheImportedRecordWithTheQuantityOfTheBox) {
    // The style box was edited after the import: its code picks the layout, the
    // builder still gets the imported style.
    const PrintControls controls = FileModeControls();
    LabelJob job = ImportedJob();

    const auto outcome = Print(controls, "calh025", job);

    ASSERT_TRUE(outcome.result.has_value()) << outcome.result.error().text;
    EXPECT_EQ(outcome.result->layout, "C2");
    EXPECT_EQ(job.Qty, "12");
    EXPECT_EQ(job.Style, "12345");
    EXPECT_EQ(job.Barcode, "12345O07 32 30") << "file mode does not compose the bar code";
    EXPECT_EQ(job.LengthDesc, "30");

    LabelArgs expected{"4012",         "12345",          "O07", "32",  "30", "30", "65% POLYESTER", "35% COTTON",
                       "MACHINE WASH", "12345O07 32 30", "12",  false, "",   ""};
    ASSERT_EQ(outcome.streams.size(), 1u);
    EXPECT_EQ(outcome.streams.front(), Direct(PrintLayoutC2, expected, kBases.otherFamilies));
}

TEST(PrintRequest, NewFormatFillsBlankLengthDescriptionAndMadeInFromTheWindow) {
    struct Case {
        std::optional<std::string> lengthDesc;
        std::string madeIn;
        std::string expectLengthDesc, expectMadeIn;
    };
    const Case cases[] = {
        {"30", "MADE IN U.S.A.", "30", "MADE IN U.S.A."},
        {"   ", "", "LONG", "MADE IN PERU"},
        {std::nullopt, "  ", "LONG", "MADE IN PERU"},
        {" R ", "", " R ", "MADE IN PERU"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lengthDesc.value_or("<unset>") + "|" + c.madeIn);
        PrintControls controls = FileModeControls();
        controls.chkNew = 1;
        controls.chkPrintHeaders = 2;  // greyed counts as checked
        LabelJob job = ImportedJob();
        job.LengthDesc = c.lengthDesc.value_or("");
        job.MadeIn = c.madeIn;

        const auto outcome = Print(controls, "", job);

        ASSERT_TRUE(outcome.result.has_value()) << outcome.result.error().text;
        EXPECT_EQ(job.LengthDesc, c.expectLengthDesc) << "the fill stays in the record";
        EXPECT_EQ(job.MadeIn, c.expectMadeIn);
        LabelArgs expected{"4012",
                           "12345",
                           "O07",
                           "32",
                           "30",
                           c.expectLengthDesc,
                           "65% POLYESTER",
                           "35% COTTON",
                           "MACHINE WASH",
                           "12345O07 32 30",
                           "12",
                           true,
                           c.expectMadeIn,
                           "112806"};
        ASSERT_EQ(outcome.streams.size(), 1u);
        EXPECT_EQ(outcome.streams.front(), Direct(PrintLayoutA1, expected, kBases.familyA));
    }
}

TEST(PrintRequest, PrintHeadersCountsAnyValueButZero) {
    std::string streams[3];
    for (int value = 0; value < 3; ++value) {
        PrintControls controls = test::TypedLabel();
        controls.chkPrintHeaders = value;
        LabelJob job;
        auto outcome = Print(controls, "calh020", job);
        ASSERT_TRUE(outcome.result.has_value());
        streams[value] = outcome.streams.at(0);
    }
    EXPECT_NE(streams[0], streams[1]);
    EXPECT_EQ(streams[2], streams[1]);
}

TEST(PrintRequest, EachFamilyGetsItsOwnBasePoint) {
    LabelJob job = ImportedJob();
    PrintControls controls = FileModeControls();
    controls.chkNew = 1;
    const auto a = Print(controls, "calh020", job);
    controls.chkNew = 0;
    const auto c = Print(controls, "calh020", job);
    ASSERT_EQ(a.streams.size(), 1u);
    ASSERT_EQ(c.streams.size(), 1u);
    EXPECT_EQ(a.streams[0].rfind("\x1b"
                                 "A\x1b"
                                 "A3H10V5\x1b",
                                 0),
              0u);
    EXPECT_EQ(c.streams[0].rfind("\x1b"
                                 "A\x1b"
                                 "A3H7V003\x1b",
                                 0),
              0u);
}

// A printer that refuses the label, as an unknown printer or a stopped queue would.
class RefusingOutput final : public PrinterOutput {
public:
    SendResult SendToPrinter(std::string_view) override {
        ++calls;
        return std::unexpected(Failure{"The Printer Name you typed wasn't recognized."});
    }
    int calls = 0;
};

TEST(PrintRequest, RefusalsOfTheBuilderAndOfTheOutputComeBack) {
    {
        PrintControls controls = test::TypedLabel();
        controls.txtQty = "40000";
        LabelJob job;
        const auto outcome = Print(controls, "calh020", job);
        ASSERT_FALSE(outcome.result.has_value());
        EXPECT_NE(outcome.result.error().text.find("40000"), std::string::npos) << outcome.result.error().text;
        EXPECT_TRUE(outcome.streams.empty());
    }
    {
        PrintControls controls = test::TypedLabel();
        controls.txtStyle =
            "12\x1b"
            "34";
        LabelJob job;
        const auto outcome = Print(controls, "calh020", job);
        ASSERT_FALSE(outcome.result.has_value());
        EXPECT_TRUE(outcome.streams.empty());
    }
    {
        // B1 reads images/calh021.pcx from the current folder; here there is none.
        const auto here = std::filesystem::current_path();
        const auto empty = std::filesystem::temp_directory_path() / ("tarnwick-noimages-" + std::to_string(::getpid()));
        std::filesystem::create_directories(empty);
        std::filesystem::current_path(empty);
        LabelJob job;
        const auto outcome = Print(test::TypedLabel(), "calh021", job);
        std::filesystem::current_path(here);
        std::filesystem::remove_all(empty);
        ASSERT_FALSE(outcome.result.has_value());
        EXPECT_NE(outcome.result.error().text.find("calh021.pcx"), std::string::npos) << outcome.result.error().text;
        EXPECT_TRUE(outcome.streams.empty());
    }
    {
        RefusingOutput out;
        LabelJob job;
        const auto result = PrintLabels(test::TypedLabel(), "calh020", job, kBases, out);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().text, "The Printer Name you typed wasn't recognized.");
        EXPECT_EQ(out.calls, 1);
    }
}

}  // namespace
}  // namespace tarnwick
