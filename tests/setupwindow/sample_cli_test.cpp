#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "printer/print_server.h"
#include "setup_fixture.h"

namespace tarnwick::testing {
namespace {

const std::string kSample50x7 = Esc("^A^A3H0050V0007^H0000^V0000^OBSAMPLE TEXT^Q1^Z");

std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// `tarnwick-cli sample` on the test's plant folder.
class SampleCli : public PlantFolderTest {
protected:
    struct Outcome {
        int status = -1;
        std::string out;
        std::string err;
    };

    Outcome Sample(std::vector<std::string> args) {
        std::string command = ShellQuoted(TARNWICK_CLI) + " sample --folder " + ShellQuoted(folder.string());
        for (const auto& arg : args) command += " " + ShellQuoted(arg);
        command += " >" + ShellQuoted((folder / "out.txt").string()) + " 2>" +
                   ShellQuoted((folder / "err.txt").string()) + " </dev/null";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(folder / "out.txt"), ReadFile(folder / "err.txt")};
    }
};

TEST_F(SampleCli, WritesTheSampleToAFileFromOptionsOrSavedSettings) {
    const struct {
        PrinterSettings saved;
        std::vector<std::string> options;
        std::string stream;
    } cases[] = {
        {Settings(std::string("1"), 1, true, false, ""), {"--base-x", "50", "--base-y", "7"}, kSample50x7},
        {Settings(std::string("12345"), 0, true, false, ""),
         {},
         Esc("^A^A3H12345V0000^H0000^V0000^OBSAMPLE TEXT^Q1^Z")},
        {Settings(50.0, 7, true, false, ""), {}, kSample50x7},
        {Settings(std::string("left"), -5, true, false, ""),
         {"--base-y", "12.5"},
         Esc("^A^A3HleftV0012^H0000^V0000^OBSAMPLE TEXT^Q1^Z")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Describe(c.saved));
        StoreSettings(c.saved);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-o", (folder / "sample.bin").string()});
        const auto outcome = Sample(args);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(ReadFile(folder / "sample.bin"), c.stream);
    }
    EXPECT_EQ(ReadFile(folder / "lp0"), "") << "-o sends nothing";
}

TEST_F(SampleCli, SendsByTheSavedRouteUnlessTold) {
    StoreSettings(Settings(std::string("50"), 7, true, false, "tarnwick-no-such-queue"));
    auto outcome = Sample({});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadFile(folder / "lp0"), kSample50x7);

    StoreSettings(Settings(std::string("50"), 7, false, true, "tarnwick-no-such-queue"));
    outcome = Sample({"--route", "device"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadFile(folder / "lp0"), kSample50x7 + kSample50x7);
}

TEST_F(SampleCli, RefusalsAndUsage) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* said;
    } cases[] = {
        {{"--route", "lpt1"}, 2, "--route"},
        {{"extra"}, 2, "extra"},
        {{"--base-x", "5\x1bZ", "-o", "never.bin"}, 1, "base X box"},
    };
    for (const auto& c : cases) {
        const auto outcome = Sample(c.args);
        EXPECT_EQ(outcome.status, c.status) << c.args.front();
        EXPECT_NE(outcome.err.find(c.said), std::string::npos) << outcome.err;
    }
    std::filesystem::remove(folder / "lp0");
    const auto outcome = Sample({"--route", "device"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find((folder / "lp0").string()), std::string::npos) << outcome.err;
}

TEST_F(SampleCli, QueueRouteThroughThePrintServer) {
    TARNWICK_PRINT_SERVER(server);
    StoreSettings(Settings(std::string("0"), 0, true, true, server.queue));
    auto outcome = Sample({"--printer", "tarnwick-no-such-queue"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("The Printer Name you typed wasn't recognized."), std::string::npos) << outcome.err;

    const std::string baseX = "t" + std::to_string(std::random_device{}());
    outcome = Sample({"--base-x", baseX, "--base-y", "7"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    const auto job = WaitForJob(server, server.queue, Esc("^A^A3H" + baseX + "V0007^H0000^V0000^OBSAMPLE TEXT^Q1^Z"));
    ASSERT_TRUE(job);
    EXPECT_EQ(job->title, "AAAAAA");
}

}  // namespace
}  // namespace tarnwick::testing
