#include "service/drop_folder.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "store/print_journal.h"
#include "support/run_cli.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using service::DropFolder;
using testing::ReadAll;
using testing::TempPlant;

std::string Fixture(const std::string& name) {
    return ReadAll(fs::path(std::getenv("TARNWICK_SOURCE_DIR")) / "tests/data/cutsheet" / name);
}
const std::string kHeading = "WIP,Style,Color,Waist,Length,Length Desc,Line 1,Line 2,Line 3,Barcode,Made In,Qty\r\n";
std::string Cut(const std::string& wip, const std::string& style, const std::string& barcode = "0000") {
    return wip + "," + style + ",7,32,30,REG,,,," + wip + barcode + ",USA,3\r\n";
}

// A plant whose raw device is a file in its folder, with config.txt's drop folder and the
// fixtures' styles.
struct DropPlant {
    DropPlant() : plant(testing::ConfigText("2", "2") + "ParallelPort,labels.prn\r\nDropFolder,drop\r\n") {
        plant.dir.Write("labels.prn", "");
        for (const char* style : {"5510", "5520", "5530"}) plant.SetStyle(style, "calh020");
        // Shared with its group, as the package makes it.
        fs::permissions(plant.dir.path(), fs::perms(02775));
    }
    fs::path In(const std::string& name) const { return plant.dir / ("drop/default/" + name); }
    std::string Device() const { return ReadAll(plant.dir / "labels.prn"); }
    std::vector<JournalEntry> Jobs() const {  // oldest first
        auto jobs = ReadJournal(plant.dir / "data.mdb", {});
        EXPECT_TRUE(jobs) << (jobs ? "" : jobs.error().text);
        return jobs ? std::vector<JournalEntry>(jobs->rbegin(), jobs->rend()) : std::vector<JournalEntry>{};
    }
    std::string Stream(const JournalEntry& job) const {
        const auto read = ReadJournalJob(plant.dir / "data.mdb", job.id);
        return read && read->stream ? *read->stream : "";
    }
    TempPlant plant;
};

// The drop folder's Run on a thread of its own, printing through a journal of its own,
// until the object goes; stopAfterRow asks it to stop once that cut has printed.
class Running {
public:
    explicit Running(DropPlant& p, int stopAfterRow = 0)
        : journal_(p.plant.dir / "data.mdb"),
          folder_(
              *p.plant.plant, p.plant.plant->config.DropFolder, {"default"},
              [this, &p, stopAfterRow](const LabelRequest& request) {
                  auto printed = PrintAndRecord(*p.plant.plant, request, journal_);
                  if (request.cut->row == stopAfterRow) thread_.request_stop();
                  return printed;
              },
              [this](const std::string& line) {
                  const std::lock_guard lock(mutex_);
                  lines_.push_back(line);

                  said_.notify_all();
              }),
          thread_([this](std::stop_token stop) {
              const auto ran = folder_.Run(stop);
              EXPECT_TRUE(ran) << (ran ? "" : ran.error().text);
          }) {
        // What the test drops from here on arrives at a folder being watched.
        WaitFor("watching ");
    }
    // The first line of the log that begins with `start` and holds `part`, once there is one.
    std::string WaitFor(const std::string& start, const std::string& part = "") {
        std::unique_lock lock(mutex_);
        std::string found;
        const bool seen = said_.wait_for(lock, std::chrono::seconds(30), [&] {
            for (const auto& line : lines_)
                if (line.starts_with(start) && line.find(part) != std::string::npos) return !(found = line).empty();
            return false;
        });
        if (!seen) {
            std::string all;
            for (const auto& line : lines_) all += line + "\n";
            ADD_FAILURE() << "no line \"" << start << "\" holding \"" << part << "\" in 30 s; the log:\n" << all;
        }
        return found;
    }
    std::string Log() {
        const std::lock_guard lock(mutex_);
        std::string all;
        for (const auto& line : lines_) all += line + "\n";
        return all;
    }

private:
    PrintJournal journal_;
    std::mutex mutex_;
    std::condition_variable said_;
    std::vector<std::string> lines_;
    DropFolder folder_;
    std::jthread thread_;
};

// Every format prints as tarnwick-cli print --all prints it, each cut a row of the drop.
TEST(DropFolder, PrintsASheetWholeAsPrintAllDoes) {
    for (const std::string name : {"cuts.csv", "cuts_openpyxl.xlsx", "cuts.ods", "cuts.xls"}) {
        DropPlant dropped, cli;
        cli.plant.dir.Write(name, Fixture(name));
        const auto run = testing::RunProgram(TARNWICK_CLI, {"print", (cli.plant.dir / name).string(), "--all",
                                                            "--folder", cli.plant.dir.path().string()});
        ASSERT_EQ(run.status, 0) << run.err;
        dropped.plant.dir.Write("drop/default/" + name, Fixture(name));
        DropFolder folder(
            *dropped.plant.plant, dropped.plant.plant->config.DropFolder, {"default"},
            [&](const LabelRequest& r) {
                PrintJournal journal(dropped.plant.dir / "data.mdb");
                return PrintAndRecord(*dropped.plant.plant, r, journal);
            },
            [](const std::string&) {});
        folder.Take(dropped.In(name), "default");
        EXPECT_EQ(dropped.Device(), cli.Device()) << name;
        const std::string report = ReadAll(dropped.In("done/" + name + ".report.txt"));
        const auto jobs = dropped.Jobs();
        ASSERT_EQ(jobs.size(), 3u) << name;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            EXPECT_EQ(jobs[i].source, "drop folder:" + name);
            EXPECT_EQ(jobs[i].cutSheet, name + " (drop 1)");
            EXPECT_EQ(jobs[i].cutRow, static_cast<int>(i) + 2);
            EXPECT_EQ(jobs[i].outcome, "sent");
            const std::string line = std::to_string(i + 2) + "\t" + jobs[i].wip + "\t" + std::to_string(jobs[i].id);
            EXPECT_NE(report.find(line + "\tsent\t"), std::string::npos) << report;
        }
        EXPECT_FALSE(fs::exists(dropped.In(name)));
    }
}

// Drops one after another into a running service: where each ends, what it says, the journal rows it adds.
TEST(DropFolder, EachDropEndsInDoneOrFailedSayingWhy) {
    DropPlant p;
    Running running(p);
    const std::string sheet = Fixture("cuts.csv");
    struct Step {
        std::string name, bytes;
        bool renamed;  // saved as .NAME.part, then renamed to its name
        std::string place;  // "done", "failed", or "" for left where it is
        std::string said;
        std::size_t rows;  // of the journal, refusals included
    };
    const Step steps[] = {
        {"cuts.csv", sheet, false, "done", "Printed: cuts 2, 3 and 4 now.", 3},
        {"copy.CSV", sheet, true, "failed",
         "Nothing was printed: the same content was printed already, dropped as cuts.csv for printer default at ", 0},
        {"copy.again.csv", sheet, true, "done", "Printed: cuts 2, 3 and 4 now.", 3},
        {"photo.xlsx", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), false, "failed", "is not a cut sheet", 0},
        {"barcode.csv", kHeading + Cut("1", "5510") + Cut("2", "5510", ">0") + Cut("3", "5510"), false, "failed",
         "Cut 3 (2 - 5510 - 7 - 32 - 30 - REG) was not printed. ", 2},
        {"notes.txt", "not a sheet", false, "", "left alone: only a cut sheet", 0},
        {"cuts.csv.again", sheet, false, "",
         "left alone: a sheet to print again is marked before its extension, as in "
         "cuts.again.csv.",
         0},
    };
    for (const Step& step : steps) {
        const std::size_t before = p.Jobs().size();
        if (!step.renamed) {
            p.plant.dir.Write("drop/default/" + step.name, step.bytes);
        } else {
            p.plant.dir.Write("drop/default/." + step.name + ".part", step.bytes);
            fs::rename(p.In("." + step.name + ".part"), p.In(step.name));
        }
        running.WaitFor("default/" + step.name + ": ", step.said);
        const std::string report = step.place == "done" ? ".report.txt" : ".failed.txt";
        const std::string kept = step.place.empty() ? "" : ReadAll(p.In(step.place + "/" + step.name + report));
        EXPECT_EQ(kept.find(step.said) != std::string::npos, !step.place.empty()) << kept;
        EXPECT_EQ(fs::exists(p.In(step.name)), step.place.empty()) << step.name;
        EXPECT_EQ(p.Jobs().size() - before, step.rows) << step.name;
    }
    EXPECT_EQ(running.Log().find(".part"), std::string::npos) << running.Log();
    for (const fs::path& made : {p.In("done"), p.In("failed"), p.In("done/cuts.csv.report.txt")})
        EXPECT_NE(fs::status(made).permissions() & fs::perms::group_write, fs::perms::none) << made;
    EXPECT_NE(fs::status(p.In("")).permissions() & fs::perms::set_gid, fs::perms::none);
}

// A sheet still being written is not taken before it is closed, whatever arrives meanwhile.
TEST(DropFolder, TakesASheetOnlyOnceItIsClosed) {
    DropPlant p;
    Running running(p);
    p.plant.dir.Write("drop/default/first.csv", kHeading + Cut("1", "5510"));
    running.WaitFor("default/first.csv: printed");
    std::ofstream late(p.In("late.csv"), std::ios::binary);
    late << kHeading << Cut("2", "5510") << std::flush;
    p.plant.dir.Write("drop/default/after.csv", kHeading + Cut("3", "5510"));
    running.WaitFor("default/after.csv: printed");
    EXPECT_TRUE(fs::exists(p.In("late.csv")));
    EXPECT_EQ(running.Log().find("late.csv"), std::string::npos) << running.Log();
    late << Cut("4", "5520");
    late.close();
    running.WaitFor("default/late.csv: printed", "Printed: cuts 2 and 3 now.");
}

// Stopped halfway, by a stop or a kill while a label is being sent, the sheet goes on at
// the next start: no cut is sent twice, and the one that may have printed is named.
TEST(DropFolder, GoesOnAfterAStopWithoutSendingACutTwice) {
    for (const bool kill : {false, true}) {
        DropPlant p, cli;
        cli.plant.dir.Write("cuts.csv", Fixture("cuts.csv"));
        ASSERT_EQ(testing::RunProgram(TARNWICK_CLI, {"print", (cli.plant.dir / "cuts.csv").string(), "--all",
                                                     "--folder", cli.plant.dir.path().string()})
                      .status,
                  0);
        p.plant.dir.Write("drop/default/cuts.csv", Fixture("cuts.csv"));
        if (!kill) {
            Running stopping(p, 2);
            stopping.WaitFor("default/cuts.csv: stopped before cut 3");
        } else {
            // A process of its own, killed while cut 3 is on its way to the printer.
            int sending[2];
            ASSERT_EQ(::pipe(sending), 0);
            p.plant.plant.reset();
            const pid_t child = ::fork();
            if (child == 0) {
                auto plant = StartUp(p.plant.dir.path());
                PrintJournal journal(p.plant.dir / "data.mdb");
                FunctionOutput hangs([&](std::string_view) -> SendResult {
                    [[maybe_unused]] const auto wrote = ::write(sending[1], "!", 1);
                    for (;;) ::pause();
                });
                DropFolder folder(
                    *plant, "drop", {"default"},
                    [&](const LabelRequest& r) {
                        return PrintAndRecord(*plant, r, journal, r.cut->row == 3 ? &hangs : nullptr);
                    },
                    [](const std::string&) {});
                folder.Take(p.In("cuts.csv"), "default");
                ::_exit(1);
            }
            char got = 0;
            ASSERT_EQ(::read(sending[0], &got, 1), 1);
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            p.plant.Restart();
        }
        ASSERT_TRUE(fs::exists(p.In("cuts.csv")));
        const std::string line = Running(p).WaitFor("default/cuts.csv: printed");
        const auto jobs = p.Jobs();
        ASSERT_EQ(jobs.size(), 3u) << line;
        EXPECT_EQ(jobs[1].outcome, kill ? kSending : "sent");
        // The device holds each cut sent once, in order: print --all's bytes, less the cut that may have printed.
        EXPECT_EQ(p.Device(), kill ? p.Stream(jobs[0]) + p.Stream(jobs[2]) : cli.Device());
        EXPECT_EQ(p.Stream(jobs[0]) + p.Stream(jobs[1]) + p.Stream(jobs[2]), cli.Device());
        const std::string report = ReadAll(p.In("done/cuts.csv.report.txt"));
        EXPECT_EQ(report.find("3\t004512\t" + std::to_string(jobs[1].id) + "\tmay have printed") != std::string::npos,
                  kill)
            << report;
        EXPECT_EQ(
            line.find("Printed: cut 4 now, cut 2 before the sheet stopped. May have printed when the service stopped, "
                      "and not sent again: cut 3.") != std::string::npos,
            kill)
            << line;
    }
}

}  // namespace
}  // namespace tarnwick
