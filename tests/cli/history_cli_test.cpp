#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utility>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "store/print_journal.h"
#include "support/run_cli.h"
#include "support/stalled_device.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using testing::CliRun;
using testing::ReadAll;
using testing::RunProgram;
using testing::StalledDevice;
using testing::TempPlant;

const char kCuts[] =
    "WIP,Style,Color,Waist,Length,Length Desc,Line 1,Line 2,Line 3,Barcode,Made In,Qty,Stock\r\n"
    "40123,1234,7,32,30,REG,POLY COTTON WOVEN,65% POLYESTER,35% COTTON,,USA,24,WB1\r\n"
    "40124,1234,12,34,32,LONG,POLY WOOL WOVEN,55% POLYESTER,45% WOOL,,USA,18,WB1\r\n";

// A plant whose raw device is a file inside its folder and whose style 1234 prints C1.
struct CliPlant {
    CliPlant() : plant(testing::ConfigText() + "ParallelPort,labels.prn\r\n") {
        plant.dir.Write("labels.prn", "");
        plant.dir.Write("cuts.csv", kCuts);
        plant.SetStyle("1234", "calh020");
    }
    std::string Folder() const { return plant.dir.path().string(); }
    std::string Device() const { return ReadAll(plant.dir / "labels.prn"); }
    std::string DevicePath() const { return (plant.dir / "labels.prn").string(); }
    CliRun Run(std::vector<std::string> args, const std::string& prefix = "") const {
        args.push_back("--folder=" + Folder());
        return RunProgram(TARNWICK_CLI, args, "/dev/null", prefix);
    }
    CliRun Print(const std::string& style = "1234", const std::string& prefix = "") const {
        return Run({"print", "--wip", "004512", "--style", style, "--color", "5", "--waist", "32", "--length-desc", "R",
                    "--qty", "24"},
                   prefix);
    }
    // The history's lines, each split at its tabs.
    std::vector<std::vector<std::string>> History(std::vector<std::string> options = {}) const {
        options.insert(options.begin(), "history");
        const CliRun run = Run(options);
        EXPECT_EQ(run.status, 0) << run.err;
        return testing::TabFields(run.out);
    }
    TempPlant plant;
};

enum Column {
    kId,
    kTime,
    kStation,
    kSource,
    kLayout,
    kWip,
    kStyle,
    kQty,
    kSheet,
    kRow,
    kRoute,
    kPrinter,
    kOutcome,
    kMessage,
    kBytes,
    kReprintOf,
    kColumns
};

int Labels(const std::string& device) {
    int count = 0;
    for (std::size_t at = device.find("\x1BZ"); at != std::string::npos; at = device.find("\x1BZ", at + 2)) ++count;
    return count;
}

std::string WithQ(std::string stream, const std::string& from, const std::string& to) {
    const std::size_t at = stream.rfind("\x1BQ" + from + "\x1BZ");
    EXPECT_NE(at, std::string::npos);
    return stream.replace(at + 2, from.size(), to);
}

TEST(HistoryCli, EveryLabelThatLeavesIsRecordedWithItsBytes) {
    CliPlant p;
    const struct {
        std::vector<std::string> args;
        std::string source, layout, wip, sheet, row, qty;
    } cases[] = {
        {{"print", "--wip", "004512", "--style", "1234", "--color", "5", "--qty", "12 boxes"},
         "cli",
         "C1",
         "004512",
         "",
         "",
         "12"},
        {{"print", (p.plant.dir / "cuts.csv").string(), "--row", "3", "--old-format"},
         "cli",
         "C1",
         "40124",
         (p.plant.dir / "cuts.csv").string(),
         "3",
         "20"},
        {{"print", (p.plant.dir / "cuts.csv").string(), "--row", "2"},
         "cli",
         "A1",
         "40123",
         (p.plant.dir / "cuts.csv").string(),
         "2",
         "26"},
        {{"sample", "--route", "device"}, "sample", "sample", "", "", "", "1"},
    };
    for (const auto& c : cases) {
        const std::string before = p.Device();
        const CliRun run = p.Run(c.args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const auto lines = p.History({"--limit", "1"});
        ASSERT_EQ(lines.size(), 1u);
        const auto& job = lines[0];
        ASSERT_EQ(job.size(), static_cast<std::size_t>(kColumns)) << c.source;
        EXPECT_EQ((std::vector<std::string>{job[kSource], job[kLayout], job[kWip], job[kSheet], job[kRow], job[kQty],
                                            job[kRoute], job[kPrinter], job[kOutcome]}),
                  (std::vector<std::string>{c.source, c.layout, c.wip, c.sheet, c.row, c.qty, "device", p.DevicePath(),
                                            "sent"}));
        const auto recorded = ReadJournalJob(p.plant.plant->databaseFile(), std::stoll(job[kId]));
        ASSERT_TRUE(recorded.has_value()) << recorded.error().text;
        EXPECT_EQ(before + recorded->stream.value_or(""), p.Device()) << c.source;
        EXPECT_EQ(job[kBytes], std::to_string(recorded->stream.value_or("").size()));
    }
    EXPECT_EQ(p.History().size(), std::size(cases));
}

TEST(HistoryCli, ReprintSendsTheRecordedBytesWithOnlyTheQuantityChanged) {
    CliPlant p;
    ASSERT_EQ(p.Print().status, 0);
    const std::string original = p.Device();

    const CliRun seven = p.Run({"reprint", "1", "--qty", "7"});
    EXPECT_EQ(seven.status, 0) << seven.err;
    EXPECT_EQ(seven.out, "Reprinted job 1 (layout C1, WIP 004512), quantity 7, on device " + p.DevicePath() + "\n");
    const CliRun same = p.Run({"reprint", "1"});
    EXPECT_EQ(same.status, 0) << same.err;

    EXPECT_EQ(p.Device(), original + WithQ(original, "24", "7") + original);
    // id, source, quantity, the job repeated
    std::vector<std::vector<std::string>> jobs;
    for (const auto& job : p.History()) jobs.push_back({job[kId], job[kSource], job[kQty], job[kReprintOf]});
    EXPECT_EQ(jobs, (std::vector<std::vector<std::string>>{
                        {"3", "reprint", "24", "1"}, {"2", "reprint", "7", "1"}, {"1", "cli", "24", ""}}));

    const CliRun csv = p.Run({"history", "--format", "csv", "--limit", "1", "--wip", "004512", "--style", "1234"});
    const std::string heading =
        "ID,Time (UTC),Station,Source,Layout,WIP,Style,Quantity,Cut sheet,Row,Route,Printer,"
        "Outcome,Message,Bytes,Reprint of\n";
    ASSERT_EQ(csv.out.substr(0, heading.size()), heading);
    EXPECT_EQ(csv.out.substr(heading.size(), 2), "3,");
    EXPECT_NE(csv.out.find(",reprint,C1,004512,1234,24,,,device," + p.DevicePath() + ",sent,,"), std::string::npos)
        << csv.out;
}

// The printer was off: the label failed after it was composed, and goes once it is back.
TEST(HistoryCli, FailedLabelIsRecordedWithItsBytesAndReprintedLater) {
    CliPlant p;
    std::filesystem::remove(p.plant.dir / "labels.prn");
    const CliRun failed = p.Print();
    EXPECT_EQ(failed.status, 1);
    const auto lines = p.History();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0][kOutcome], "failed");
    EXPECT_EQ(lines[0][kMessage] + "\n", failed.err);

    p.plant.dir.Write("labels.prn", "");
    const CliRun reprint = p.Run({"reprint", "1"});
    EXPECT_EQ(reprint.status, 0) << reprint.err;
    const auto recorded = ReadJournalJob(p.plant.plant->databaseFile(), 1);
    ASSERT_TRUE(recorded.has_value() && recorded->stream.has_value());
    EXPECT_EQ(p.Device(), *recorded->stream);
    EXPECT_EQ(lines[0][kBytes], std::to_string(recorded->stream->size()));
}

// A second program holding data.mdb for writing, as another station's tool would.
class WriterHoldingDatabase {
public:
    explicit WriterHoldingDatabase(const std::filesystem::path& file) {
        sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~WriterHoldingDatabase() {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db_);
    }

private:
    sqlite3* db_ = nullptr;
};

std::string JournalWarning(const std::filesystem::path& file, const std::string& why) {
    return "The print journal in \"" + file.string() + "\" is not being kept: " + why;
}

// Tests run as root, which writes any file: the read-only case drops the capability
// that lets it, so the file's mode bits hold as for an operator.
const char kWithoutOverride[] = "setpriv --bounding-set=-dac_override,-dac_read_search";

TEST(HistoryCli, JournalThatCannotBeWrittenNeverStopsALabel) {
    const struct {
        const char* name;
        bool lock;
        bool readOnly;
        std::string why;
    } cases[] = {
        {"locked", true, false,
         "data.mdb is locked by another program. Labels still print, but they are not recorded for History and "
         "Reprint until data.mdb can be written again. If it stays locked, close the other program that has "
         "data.mdb open."},
        {"read-only", false, true,
         "the file is read-only (Permission denied). Labels still print, but they are not recorded for History "
         "and Reprint until data.mdb can be written again. Let Tarnwick's user write to data.mdb."},
    };
    for (const auto& c : cases) {
        CliPlant p;
        const auto file = p.plant.plant->databaseFile();
        std::optional<WriterHoldingDatabase> writer;
        if (c.lock) writer.emplace(file);
        if (c.readOnly) {
            ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
        }
        const std::string prefix = c.readOnly ? kWithoutOverride : "";

        const CliRun one = p.Print("1234", prefix);
        EXPECT_EQ(one.status, 0) << c.name << one.err;
        EXPECT_EQ(one.err, JournalWarning(file, c.why) + "\n") << c.name;
        EXPECT_NE(p.Device(), "") << c.name << ": the label was not printed";

        // Two labels in one run: the operator is told once.
        const CliRun all = p.Run({"print", (p.plant.dir / "cuts.csv").string(), "--all"}, prefix);
        EXPECT_EQ(all.status, 0) << c.name << all.err;
        EXPECT_EQ(all.err, JournalWarning(file, c.why) + "\n") << c.name;
        EXPECT_EQ(Labels(p.Device()), 3) << c.name;

        writer.reset();
        ::chmod(file.c_str(), 0644);
        EXPECT_TRUE(p.History().empty()) << c.name;
    }
}

// A process that dies in the middle of a change leaves data.mdb's journal behind.
void LeaveHotJournal(const std::filesystem::path& file) {
    const pid_t child = ::fork();
    if (child == 0) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        // A one-page cache spills the change into the file before the commit that never comes.
        sqlite3_exec(db, "PRAGMA cache_size=1; BEGIN IMMEDIATE; CREATE TABLE Spill (x);", nullptr, nullptr, nullptr);
        for (int i = 0; i < 200; ++i)
            sqlite3_exec(db, "INSERT INTO Spill VALUES (zeroblob(2000))", nullptr, nullptr, nullptr);
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(std::filesystem::exists(file.string() + "-journal"));
}

// An operator who may not write the plant folder, or is not in the group that may: what
// they are told, word for word.
TEST(HistoryCli, MessagesNameWhatStopsTheDatabase) {
    const group* lp = ::getgrnam("lp");
    enum class Setup { ReadOnlyFolder, HotJournal, DatabaseOfLp, DeviceOfLp };
    const struct {
        const char* name;
        Setup setup;
        std::vector<std::string> args;
        int status;
        std::string told;  // %F the folder, %D data.mdb, %P the device
    } cases[] = {
        {"read-only folder",
         Setup::ReadOnlyFolder,
         {"print", "--wip", "1", "--style", "1234", "--qty", "1"},
         0,
         "The print journal in \"%D\" is not being kept: its folder \"%F\" cannot be written to (Permission "
         "denied), and the database needs to create its journal file there while it writes. Labels still print, "
         "but they are not recorded for History and Reprint until data.mdb can be written again. Let Tarnwick's "
         "user write to that folder.\n"},
        {"journal left by a crash",
         Setup::HotJournal,
         {"history"},
         1,
         "The settings database \"%D\" could not be read: a program stopped while changing it and left "
         "\"%D-journal\", which must be rolled back first, and this user may not write to its folder \"%F\". Run "
         "\"tarnwick-cli history --prune\" on that folder once as a user who may write to it (the change is then "
         "rolled back), then try again.\n"},
        {"data.mdb of a group the user is not in",
         Setup::DatabaseOfLp,
         {"print", "--wip", "1", "--style", "1234", "--qty", "1"},
         0,
         "The print journal in \"%D\" is not being kept: this user may not write to it (Permission denied): the "
         "group lp may write to it, and user root is not in that group. Labels still print, but they are not "
         "recorded for History and Reprint until data.mdb can be written again. Add root to the group: sudo "
         "adduser root lp, then log in again.\n"},
        {"device of a group the user is not in",
         Setup::DeviceOfLp,
         {"print", "--wip", "1", "--style", "1234", "--qty", "1"},
         1,
         "The label could not be sent to the printer device %P: Permission denied; the group lp may write to it, "
         "and user root is not in that group. Add root to the group: sudo adduser root lp, then log in again, then "
         "print the label again.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool ofLp = c.setup == Setup::DatabaseOfLp || c.setup == Setup::DeviceOfLp;
        if (ofLp && (lp == nullptr || ::geteuid() != 0)) continue;  // needs a group lp and a root to leave out
        CliPlant p;
        const auto database = p.plant.plant->databaseFile();
        if (c.setup == Setup::HotJournal) LeaveHotJournal(database);
        const std::filesystem::path changed = c.setup == Setup::DatabaseOfLp ? database : p.plant.dir / "labels.prn";
        if (ofLp) {
            ASSERT_EQ(::chown(changed.c_str(), 65534, lp->gr_gid), 0);
            // As the package makes data.mdb (664), and as Debian makes a USB printer (660).
            ASSERT_EQ(::chmod(changed.c_str(), c.setup == Setup::DatabaseOfLp ? 0664 : 0660), 0);
        } else {
            ASSERT_EQ(::chmod(p.Folder().c_str(), 0555), 0);
        }
        std::string told = c.told;
        for (const auto& [mark, value] :
             {std::pair{"%D", database.string()}, std::pair{"%F", p.Folder()}, std::pair{"%P", p.DevicePath()}})
            for (auto at = told.find(mark); at != std::string::npos; at = told.find(mark)) told.replace(at, 2, value);
        const CliRun run = p.Run(c.args, kWithoutOverride);
        ::chmod(p.Folder().c_str(), 0755);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(told), std::string::npos) << run.err;
    }
}

TEST(HistoryCli, PruneRemovesJobsOlderThanTheRetention) {
    CliPlant p;
    {
        PrintJournal journal(p.plant.plant->databaseFile());
        for (const int age : {181, 31, 2}) {
            JournalEntry job;
            job.wip = std::to_string(age);
            job.time = JournalTime(std::chrono::system_clock::now() - std::chrono::days(age));
            ASSERT_TRUE(journal.Record(job).has_value());
        }
    }
    const CliRun prune = p.Run({"history", "--prune"});
    EXPECT_EQ(prune.status, 0) << prune.err;
    EXPECT_EQ(prune.out, "Removed 1 job from the print journal.\n");
    const CliRun shorter = p.Run({"history", "--keep-days", "30", "--prune"});
    EXPECT_EQ(shorter.status, 0) << shorter.err;
    EXPECT_EQ(shorter.out, "The print journal keeps jobs for 30 days.\nRemoved 1 job from the print journal.\n");
    const auto lines = p.History();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0][kWip], "2");
}

TEST(HistoryCli, UsageErrorsNameTheOption) {
    CliPlant p;
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"history", "--since", "12/01/2026"},
         2,
         "--since takes a date such as 2026-12-01 or 2026-12-01T08:00, not 12/01/2026"},
        {{"history", "--limit", "0"}, 2, "--limit takes a number of jobs from 1 up, not 0"},
        {{"history", "--format", "xml"}, 2, "--format must be tsv or csv, not xml"},
        {{"history", "--prune", "--wip", "1"}, 2, "--prune lists nothing; leave out --wip"},
        {{"history", "--keep-days", "-1"},
         2,
         "--keep-days takes a number of days from 0 (every job) to 100000, not -1"},
        {{"reprint"}, 2, "reprint takes one job ID"},
        {{"reprint", "x1"}, 2, "the job ID is the number in the first column of tarnwick-cli history, not x1"},
        {{"history", "--since", "2026-02-30"},
         2,
         "--since takes a date such as 2026-12-01 or 2026-12-01T08:00, not 2026-02-30"},
        {{"history", "--since", "2026-12-01T24:00"},
         2,
         "--since takes a date such as 2026-12-01 or 2026-12-01T08:00, not 2026-12-01T24:00"},
        {{"history", "--wip", "1", "--wip=2"}, 2, "option --wip is given twice"},
        {{"reprint", "1", "--qty", "x"}, 2, "The quantity to reprint, \"x\", is not a whole number"},
        {{"reprint", "1", "--qty", "0"},
         2,
         "The quantity to reprint, \"0\", is not a whole number from 1 to 32767. Give the number of labels to print."},
        {{"reprint", "9"},
         1,
         "There is no job 9 in the print journal of \"" + p.plant.plant->databaseFile().string() +
             "\". The history lists the jobs it holds."},
    };
    for (const auto& c : cases) {
        const CliRun run = p.Run(c.args);
        EXPECT_EQ(run.status, c.status) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

// ESC [2J typed into a WIP clears a terminal when printed raw; a tab in a style splits
// its line.
TEST(HistoryCli, ListingsNeverSendTheTerminalAControlCharacter) {
    CliPlant p;
    EXPECT_EQ(p.Run({"print", "--wip", "40\x1B[2J12\xC2\x9B", "--style", "1234"}).status, 1);
    EXPECT_EQ(p.Run({"styles", "set", "AB\tC\n", "calh020"}).status, 0);
    const struct {
        std::vector<std::string> args;
        std::string shown;
    } cases[] = {
        {{"history"}, "\t40\\x1B[2J12\\u009B\t"},
        {{"history", "--format", "csv"}, ",40\\x1B[2J12\\u009B,"},
        {{"styles", "list"}, "AB\\x09C\\x0A\tcalh020\n"},
    };
    for (const auto& c : cases) {
        const CliRun run = p.Run(c.args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(c.shown), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find('\x1B'), std::string::npos) << run.out;
    }
}

// The command, its output thrown away; its pid, or 0.
pid_t SpawnQuietly(std::vector<std::string> args) {
    args.insert(args.begin(), TARNWICK_CLI);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, TARNWICK_CLI, &quiet, nullptr, argv.data(), environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&quiet);
    return pid;
}

// Killed while the label is with the printer, the row says it may have printed; asked
// to stop (Ctrl+C, SIGTERM), the command finishes the label and its row first.
TEST(HistoryCli, StoppedWhileSendingLeavesARowThatTellsTheTruth) {
    const struct {
        int signal;
        bool printerTakesIt;
        std::string outcome, message;
    } cases[] = {
        {SIGKILL, false, "may have printed", "Tarnwick stopped while sending"},
        {SIGTERM, true, "sent", ""},
        {SIGINT, true, "sent", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        CliPlant p;
        StalledDevice printer(p.plant.dir / "labels.prn");
        const std::string folder = "--folder=" + p.Folder();
        const pid_t pid = SpawnQuietly({"print", "--wip", "004512", "--style", "1234", "--qty", "1", folder});
        ASSERT_GT(pid, 0);
        bool sending = false;
        for (int i = 0; i < 500 && !sending; ++i) {
            const auto lines = p.History();
            sending = !lines.empty() && lines[0][kOutcome] == "may have printed";
            if (!sending) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(sending) << "no row was written ahead of the label";
        ::kill(pid, c.signal);
        if (c.printerTakesIt) {
            EXPECT_TRUE(printer.TakeLabel());
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
        const auto lines = p.History();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0][kOutcome], c.outcome);
        EXPECT_EQ(lines[0][kMessage], c.message);
    }
}

// A whole sheet stopped anywhere, where a label's outcome shares its commit with the next
// label's row: every label on the device has its row, no row says sent for a label that is
// not there, and a stop asked for (SIGTERM) leaves every row final.
TEST(HistoryCli, ASheetStoppedAnywhereLeavesEveryRowTrue) {
    std::string sheet = "WIP,Style,Color,Waist,Length,Length Desc,Line 1,Line 2,Line 3,Barcode,Made In,Qty,Stock\r\n";
    for (int cut = 0; cut < 1000; ++cut) sheet += std::to_string(40000 + cut) + ",1234,7,32,30,REG,,,,,USA,1,WB1\r\n";
    const struct {
        int signal;
        int afterLabels;
    } cases[] = {{SIGKILL, 1}, {SIGKILL, 40}, {SIGKILL, 150}, {SIGTERM, 1}, {SIGTERM, 40}, {SIGTERM, 150}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + " after " + std::to_string(c.afterLabels) + " labels");
        CliPlant p;
        p.plant.dir.Write("many.csv", sheet);
        const pid_t pid = SpawnQuietly({"print", (p.plant.dir / "many.csv").string(), "--all", "--folder=" + p.Folder()});
        ASSERT_GT(pid, 0);
        for (int i = 0; i < 2000 && Labels(p.Device()) < c.afterLabels; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(pid, c.signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "the run ended before the signal";
        const int labels = Labels(p.Device());
        // Killed in a commit, the rollback waits for a writer, as the refusal says.
        EXPECT_EQ(p.Run({"history", "--prune"}).status, 0);
        int rows = 0, sent = 0, open = 0;
        for (const auto& line : p.History({"--limit", "1000"})) {
            ++rows;
            sent += line[kOutcome] == "sent";
            open += line[kOutcome] == "may have printed";
        }
        EXPECT_GE(rows, labels) << "a label went without its row";
        EXPECT_LE(sent, labels) << "a row says sent for a label that did not go";
        EXPECT_LE(rows, labels + 1) << "rows ahead of labels that never left";
        if (c.signal == SIGTERM) {
            EXPECT_EQ(open, 0);
            EXPECT_EQ(sent, labels);
        }
    }
}

// A few stations printing at once on one data.mdb: none is refused, no row is lost.
TEST(HistoryCli, ConcurrentPrintsAreAllPrintedAndRecorded) {
    CliPlant p;
    const int stations = 4, labels = 8;
    std::vector<std::thread> loops;
    std::vector<int> refused(stations, 0);
    for (int s = 0; s < stations; ++s)
        loops.emplace_back([&p, &refused, s] {
            for (int i = 0; i < labels; ++i) refused[static_cast<std::size_t>(s)] += p.Print().status != 0;
        });
    for (auto& loop : loops) loop.join();
    EXPECT_EQ(refused, std::vector<int>(stations, 0));
    EXPECT_EQ(Labels(p.Device()), stations * labels);
    const auto lines = p.History();
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(stations * labels));
    for (const auto& line : lines) EXPECT_EQ(line[kOutcome], "sent");
}

// Pictures come from the plant folder's images/, wherever the command is run from (the
// tests run in the build tree, which has none).
TEST(HistoryCli, PicturesComeFromThePlantFolder) {
    const std::filesystem::path demo = std::filesystem::path(std::getenv("TARNWICK_SOURCE_DIR")) / "demo" / "images";
    for (const bool there : {true, false}) {
        CliPlant p;
        p.plant.SetStyle("2121", "calh021");
        if (there) {
            std::filesystem::create_directories(p.plant.dir / "images");
            std::filesystem::copy_file(demo / "calh021.pcx", p.plant.dir / "images" / "calh021.pcx");
        }
        const CliRun run = p.Run({"print", "--wip", "004512", "--style", "2121", "--qty", "2", "--headers"});
        EXPECT_EQ(run.status, there ? 0 : 1) << run.err;
        if (!there) {
            EXPECT_NE(run.err.find("Put the picture in the images folder of " + p.Folder() + ", then print again."),
                      std::string::npos)
                << run.err;
        }
    }
    const CliRun version = RunProgram(TARNWICK_CLI, {"--version"});
    EXPECT_EQ(version.out, "tarnwick-cli 3.4\n");
}

}  // namespace
}  // namespace tarnwick
