#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>

#include "labels/layouts.h"
#include "printer/print_server.h"
#include "support/run_cli.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using testing::CliRun;
using testing::ReadAll;
using testing::RunProgram;
using testing::TempDir;
using testing::TempPlant;

CliRun Cli(const std::vector<std::string>& args) { return RunProgram(TARNWICK_CLI, args); }

// A plant whose raw device is a file inside its folder and whose style 1234 prints C1.
struct CliPlant {
    CliPlant() : plant(testing::ConfigText("2", "2", "7", "003") + "ParallelPort,labels.prn\r\n") {
        plant.dir.Write("labels.prn", "");
        plant.SetStyle("1234", "calh020");
        plant.SetStyle("NOLAYOUT", "NA");
    }
    void PrintTo(const std::string& queue) {
        plant.plant->printer.USBPrinter = true;
        plant.plant->printer.USBPrinterName = queue;
        ASSERT_TRUE(plant.plant->db.SavePrinterSettings(plant.plant->printer).value_or(false));
    }
    std::vector<std::string> Args(const std::string& wip, const std::string& style) const {
        return {"print",
                "--folder",
                plant.dir.path().string(),
                "--wip",
                wip,
                "--style",
                style,
                "--color",
                "5",
                "--waist",
                "32",
                "--length",
                "30",
                "--length-desc",
                "R",
                "--text1",
                "65% POLYESTER",
                "--text2",
                "35% COTTON",
                "--text3",
                "MACHINE WASH",
                "--qty",
                "24",
                "--headers"};
    }
    std::string Device() const { return ReadAll(plant.dir / "labels.prn"); }
    TempPlant plant;
};

std::string ExpectedC1(const std::string& wip) {
    CapturingOutput out;
    const LabelArgs args{
        wip,  "1234", "5", "32", "30", "R", "65% POLYESTER", "35% COTTON", "MACHINE WASH", "1234 O05 32  R   ",
        "24", true,   "",  ""};
    EXPECT_TRUE(PrintLayoutC1(args, {"7", "003"}, out).has_value());
    return out.streams.at(0);
}

TEST(CliPrint, TypedLabelGoesToTheRawDeviceOfTheFolder) {
    CliPlant p;
    const CliRun run = Cli(p.Args("004512", "1234"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(p.Device(), ExpectedC1("004512"));
}

TEST(CliPrint, TypedLabelArrivesInTheQueueOfTheSettings) {
    TARNWICK_PRINT_SERVER(server);
    CliPlant p;
    p.PrintTo(server.queue);
    const std::string wip = "7" + std::to_string(::getpid());

    const CliRun run = Cli(p.Args(wip, "1234"));

    EXPECT_EQ(run.status, 0) << run.err;
    const auto job = testing::WaitForJob(server, server.queue, ExpectedC1(wip));
    ASSERT_TRUE(job.has_value()) << "the label never reached the queue";
    const auto attributes = testing::GetJobAttributes(job->id);
    ASSERT_TRUE(attributes.has_value());
    EXPECT_EQ(attributes->name, "AAAAAA");
    EXPECT_EQ(p.Device(), "");
}

TEST(CliPrint, RefusalsExitOneWithTheMessageWordForWord) {
    struct Case {
        const char* what;
        std::string wip, style;
        std::optional<std::string> printer;  // unset: the raw device
        std::string message;
    };
    const Case cases[] = {
        {"no WIP", "", "1234", std::nullopt, "You must select a file or manually enter the data."},
        {"style not in the database", "1", "9999", std::nullopt, "The selected style does not exist in the database."},
        {"style without a layout", "1", "NOLAYOUT", std::nullopt, "The selected style does not exist in the database."},
        {"no printer name", "1", "1234", "", "The Printer Name you typed wasn't recognized."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CliPlant p;
        if (c.printer) p.PrintTo(*c.printer);
        const CliRun run = Cli(p.Args(c.wip, c.style));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, c.message + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(p.Device(), "");
    }
}

TEST(CliPrint, PausedQueueIsSaidOnTheLineOfThePrint) {
    TARNWICK_PRINT_SERVER(server);
    if (server.paused.empty()) GTEST_SKIP() << "the print server has no paused queue";
    CliPlant p;
    p.PrintTo(server.paused);
    const CliRun run = Cli(p.Args("1", "1234"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Printed layout C1 on printer \"" + server.paused + "\". The queue of printer \"" +
                           server.paused +
                           "\" is paused: it holds the label until the queue is resumed. Resume the queue (for "
                           "example with cupsenable " +
                           server.paused + ") to print it.\n");
}

TEST(CliPrint, PrinterUnknownToTheServerIsRefused) {
    TARNWICK_PRINT_SERVER(server);
    CliPlant p;
    p.PrintTo(server.queue + "-missing");
    const CliRun run = Cli(p.Args("1", "1234"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "The Printer Name you typed wasn't recognized.\n");
}

TEST(CliPrint, MissingDeviceIsNamed) {
    CliPlant p;
    std::filesystem::remove(p.plant.dir / "labels.prn");
    const CliRun run = Cli(p.Args("1", "1234"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find((p.plant.dir / "labels.prn").string() + ": No such file or directory"), std::string::npos)
        << run.err;
}

TEST(CliPrint, CutSheetOptionsNeedAFile) {
    CliPlant p;
    for (const char* option : {"--all", "--new-format", "--old-format", "--brand"}) {
        SCOPED_TRACE(option);
        auto args = p.Args("1", "1234");
        args.push_back(option);
        const CliRun run = Cli(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(p.Device(), "");
    }
}

}  // namespace
}  // namespace tarnwick
