#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/run_cli.h"
#include "support/temp_plant.h"
#include "temp_files.h"

namespace tarnwick {
namespace {

using testing::CliRun;
using testing::CutSheetFixture;
using testing::ReadAll;
using testing::RunProgram;
using testing::TempDir;
using testing::TempPlant;

CliRun Cli(const std::vector<std::string>& args) { return RunProgram(TARNWICK_CLI, args); }

std::size_t Count(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}

// A plant whose raw device is a file in its folder, with styles for the fixtures' cuts.
struct CliPlant {
    CliPlant() : plant(testing::ConfigText("2", "2") + "ParallelPort,labels.prn\r\n") {
        plant.dir.Write("labels.prn", "");
        for (const char* style : {"5510", "5520", "5530"}) plant.SetStyle(style, "calh020");
    }
    std::string folder() const { return plant.dir.path().string(); }
    std::string Printed() const { return ReadAll(plant.dir / "labels.prn"); }
    TempPlant plant;
};

TEST(CliCuts, ListsTheCutsOfEveryFormat) {
    CliPlant p;
    for (const char* name : {"cuts.csv", "cuts_openpyxl.xlsx", "cuts.ods", "cuts.xls"}) {
        const CliRun run = Cli({"cuts", CutSheetFixture(name).string(), "--folder", p.folder()});
        EXPECT_EQ(run.status, 0) << name << run.err;
        EXPECT_EQ(run.out,
                  "2\t40123 - 5510 - 7 - 32 - 30 - REG\n"
                  "3\t004512 - 5520 - 12 - 34 - 32.5 - LONG\n"
                  "4\t40125 - 5530 - 123 - 36 - 29 - SHORT\n")
            << name;
    }
}

TEST(CliCuts, CutShowsWhatMoveToCutLoads) {
    CliPlant p;
    const CliRun run = Cli({"cut", CutSheetFixture("cuts_streamed.xlsx").string(), "3", "--folder", p.folder()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "WIP=004512\nStyle=5520\nColor=O12\nWaist=34\nLength=32.5\nLengthDesc=LONG\nText1=POLY WOOL WOVEN\n"
              "Text2=55% POLYESTER\nText3=45% WOOL\nBarcode=00451255201234\nQty=12\nStock=WB2\nMadeIn=MEXICO\n"
              "txtQty=14\n");
}

TEST(CliCuts, RefusalsGoToStandardErrorWithStatusOne) {
    CliPlant p;
    const TempDir files;
    files.Write("bad.csv", "h\r\n1,S,7,,,,,,,,,lots,\r\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;  // a part of standard error
    };
    const std::string missing = (files / "gone.csv").string();
    const std::string folder = files.path().string();
    const std::string fifo = (files / "pipe.csv").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A picture under a cut sheet's name: neither zip, OLE nor text.
    const std::string picture = (files / "photo.xlsx").string();
    files.Write("photo.xlsx", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR\0\0\0\x10", 20));
    const std::string notThere = "The cut sheet " + missing + " does not exist. Check the path and try again.\n";
    const std::string isFolder =
        "The cut sheet " + folder + " is a folder, not a file. Give the path of a CSV, xlsx, ods or xls file.\n";
    const std::string isFifo = "The cut sheet " + fifo +
                               " is a FIFO (named pipe), not a file. Give the path of a CSV, xlsx, ods or xls file.\n";
    const std::string notASheet = "The file " + picture +
                                  " is not a cut sheet (CSV, xlsx, ods or xls): it holds neither text nor a "
                                  "spreadsheet. Choose the cut sheet file and try again.\n";
    const std::vector<Case> cases = {
        {{"cuts", missing}, 1, notThere},
        {{"cut", missing, "2"}, 1, notThere},
        {{"cells", missing}, 1, notThere},
        {{"print", missing, "--row", "2"}, 1, notThere},
        {{"cuts", folder}, 1, isFolder},
        {{"cells", folder}, 1, isFolder},
        {{"cuts", fifo}, 1, isFifo},
        {{"cut", fifo, "2"}, 1, isFifo},
        {{"cells", fifo}, 1, isFifo},
        {{"print", fifo, "--all"}, 1, isFifo},
        {{"cuts", picture}, 1, notASheet},
        {{"cells", picture}, 1, notASheet},
        {{"cells", CutSheetFixture("cuts.csv").string(), "--rows", "3"}, 2, "--rows takes FIRST:LAST"},
        {{"cells", CutSheetFixture("cuts.csv").string(), "--rows", "5:4"}, 2, "--rows takes FIRST:LAST"},
        {{"cells", CutSheetFixture("cuts.csv").string(), "--rows", "1:1048577"}, 2, "--rows takes FIRST:LAST"},
        {{"cut", CutSheetFixture("cuts.csv").string(), "5"}, 1, "Row 5 of the cut sheet"},
        {{"cuts", (files / "bad.csv").string()}, 1, "\"lots\""},
        {{"cut", CutSheetFixture("cuts.csv").string(), "0"}, 2, "ROW from 1 to 32767"},
        {{"cut", CutSheetFixture("cuts.csv").string()}, 2, "ROW"},
    };
    for (auto c : cases) {
        c.args.insert(c.args.end(), {"--folder", p.folder()});
        const CliRun run = Cli(c.args);
        EXPECT_EQ(run.status, c.status) << c.args[0] << " " << c.args[1];
        // A whole message is compared whole; a usage error is compared by its start.
        if (c.err.ends_with('\n')) EXPECT_EQ(run.err, c.err);
        else EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
}

TEST(CliCuts, CellsWritesTheSheetAsTarnwickReadsIt) {
    // The same workbook saved by a spreadsheet program in every format reads the same;
    // only the date in D8 shows how each format keeps it.
    const std::string rows1To7 =
        "1\tWIP\tStyle\tColor\tWaist\tLength\tLength Desc\tLine 1\tLine 2\tLine 3\tBarcode\tMade In\tQty\tStock\n"
        "2\t40123\t5510\t7\t32\t30\tREG\tPOLY COTTON WOVEN\t65% POLYESTER\t35% COTTON\t40123551007323\tUSA\t24\tWB1\n"
        "3\t004512\t5520\t12\t34\t32.5\tLONG\tPOLY WOOL WOVEN\t55% POLYESTER\t45% "
        "WOOL\t00451255201234\tMEXICO\t12\tWB2\n"
        "4\t40125\t5530\t123\t36\t29\tSHORT\tMICROFIBER\t100% POLYESTER\t\t40125553012336\tCAF\xC3\x89\t6\tWB3\n"
        "5\t\t\t\t\t\t\t\t\t\t\t\t\t\n"
        "6\t99999\t\t\t\t\t\t\t\t\t\t\t\t\n"
        "7\t\t\t\t\t\t\t\t\t\t\t\t\t\n";
    const std::vector<std::pair<const char*, const char*>> formats = {
        {"formulas_saved.csv", "2024/03/01"},
        {"formulas_saved.xlsx", "45352"},
        {"formulas_saved.ods", "3/1/24"},
        {"formulas_saved.xls", "45352"},
    };
    for (const auto& [name, date] : formats) {
        const CliRun run = Cli({"cells", CutSheetFixture(name).string(), "--rows", "1:8"});
        EXPECT_EQ(run.status, 0) << name << run.err;
        EXPECT_EQ(run.out, rows1To7 + "8\t#DIV/0!\tTRUE\t#N/A\t" + date + "\t\t\t\t\t\t\t\t\t\n") << name;
    }

    const auto unsaved = CutSheetFixture("formulas_unsaved.xlsx");
    const CliRun stopped = Cli({"cells", unsaved.string()});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_EQ(stopped.out, rows1To7.substr(0, rows1To7.find('\n') + 1));
    EXPECT_EQ(stopped.err, "The cut sheet " + unsaved.string() +
                               " cannot be read: cell A2 holds a formula whose result was never saved. Open the sheet "
                               "in a spreadsheet program, save it, and choose it again.\n");

    const CliRun byDefault = Cli({"cells", CutSheetFixture("cuts.csv").string()});
    EXPECT_EQ(byDefault.status, 0) << byDefault.err;
    EXPECT_EQ(Count(byDefault.out, "\n"), 100u);
    EXPECT_TRUE(byDefault.out.ends_with("\n100\t\t\t\t\t\t\t\t\t\t\t\t\t\n"));
}

TEST(CliCuts, PrintAllPrintsEveryCutInOrder) {
    CliPlant p;
    const CliRun run = Cli({"print", CutSheetFixture("cuts.csv").string(), "--all", "--folder", p.folder()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Count(run.out, "Printed cut "), 3u);
    EXPECT_NE(run.out.find("Printed cut 4 (40125 - 5530 - 123 - 36 - 29 - SHORT)"), std::string::npos) << run.out;
    const std::string printed = p.Printed();
    EXPECT_EQ(Count(printed, "\x1BZ"), 3u);
    // The sheet's bar-code values and the quantities with ExtraQty, in sheet order.
    const auto first = printed.find("40123551007323");
    const auto second = printed.find("00451255201234");
    const auto third = printed.find("40125553012336");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(third, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_NE(printed.find("\x1BQ26\x1BZ"), std::string::npos);
    EXPECT_NE(printed.find("\x1BQ14\x1BZ"), std::string::npos);
}

TEST(CliCuts, PrintRowTakesTheQuantityOption) {
    CliPlant p;
    const CliRun run =
        Cli({"print", CutSheetFixture("cuts.ods").string(), "--row", "3", "--qty", "7", "--folder", p.folder()});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string printed = p.Printed();
    EXPECT_EQ(Count(printed, "\x1BZ"), 1u);
    EXPECT_NE(printed.find("00451255201234"), std::string::npos);
    EXPECT_NE(printed.find("\x1BQ7\x1BZ"), std::string::npos);
}

TEST(CliCuts, PrintAllStopsAtTheFirstRefusalNamingTheCut) {
    CliPlant p;
    const TempDir files;
    files.Write(
        "cuts.csv",
        "h\r\n1,5510,7,32,30,R,,,,BARX1,,4,\r\n2,NOSTYLE,7,32,30,R,,,,BARX2,,4,\r\n3,5510,7,32,30,R,,,,BARX3,,4,\r\n");
    const CliRun run = Cli({"print", (files / "cuts.csv").string(), "--all", "--old-format", "--folder", p.folder()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cut 3 (2 - NOSTYLE - 7 - 32 - 30 - R)"), std::string::npos) << run.err;
    EXPECT_EQ(Count(run.out, "Printed cut "), 1u);
    EXPECT_EQ(Count(p.Printed(), "\x1BZ"), 1u);
    EXPECT_NE(p.Printed().find("BARX1"), std::string::npos);
    EXPECT_EQ(p.Printed().find("BARX3"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
