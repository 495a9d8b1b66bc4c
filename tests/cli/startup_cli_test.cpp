#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/temp_folder.h"

namespace tarnwick {
namespace {

using testing::TempFolder;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class StartUpCli : public ::testing::Test {
protected:
    Outcome Run(const std::vector<std::string>& args) {
        std::string command = ShellQuoted(TARNWICK_CLI);
        for (const auto& arg : args) command += " " + ShellQuoted(arg);
        command += " >" + ShellQuoted((folder / "out.txt").string()) + " 2>" +
                   ShellQuoted((folder / "err.txt").string()) + " </dev/null";
        const int raw = std::system(command.c_str());
        Outcome outcome;
        outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        outcome.out = Slurp(folder / "out.txt");
        outcome.err = Slurp(folder / "err.txt");
        return outcome;
    }
    Outcome RunIn(std::vector<std::string> args) {
        args.push_back("--folder");
        args.push_back(plant.path().string());
        return Run(args);
    }

    TempFolder folder;  // scratch for the captured output
    TempFolder plant;
};

TEST_F(StartUpCli, InitRefusesToOverwrite) {
    Outcome made = Run({"db", "init", (plant / "data.mdb").string()});
    EXPECT_EQ(made.status, 0) << made.err;
    Outcome again = RunIn({"db", "init"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos);
    EXPECT_EQ(Run({"db"}).status, 2);
}

// data.mdb, and the journal SQLite gives the file's mode, are shared as the plant folder
// is; --folder may come before the command too.
TEST_F(StartUpCli, DbInitSharesTheFileAsItsFolderIs) {
    const struct {
        std::filesystem::perms folder;
        unsigned file;
    } cases[] = {
        {std::filesystem::perms(02775), 0664},
        {std::filesystem::perms(0775), 0664},
        {std::filesystem::perms(0755), 0644},
    };
    const mode_t umask = ::umask(022);
    for (const auto& [folderMode, fileMode] : cases) {
        TempFolder shared;
        std::filesystem::permissions(shared.path(), folderMode);
        const Outcome made = Run({"--folder", shared.path().string(), "db", "init"});
        ASSERT_EQ(made.status, 0) << made.err;
        struct stat info {};
        ASSERT_EQ(::stat((shared / "data.mdb").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, fileMode) << std::oct << static_cast<unsigned>(folderMode);

        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2((shared / "data.mdb").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE Settings SET BaseY = 1", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        struct stat journal {};
        EXPECT_EQ(::stat((shared / "data.mdb-journal").c_str(), &journal), 0);
        EXPECT_EQ(journal.st_mode & 0777, fileMode);
        sqlite3_close_v2(db);
    }
    ::umask(umask);
    EXPECT_EQ(Run({"--folder"}).status, 2);
    const Outcome nothing = Run({"--folder", plant.path().string()});
    EXPECT_EQ(nothing.status, 2);
    EXPECT_NE(nothing.err.find("--folder needs a command after it"), std::string::npos) << nothing.err;
    const Outcome twice = Run({"--folder=" + plant.path().string(), "db", "init", "--folder", "/tmp"});
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("option --folder is given twice"), std::string::npos) << twice.err;
}

TEST_F(StartUpCli, SettingsShowAndSet) {
    ASSERT_EQ(RunIn({"db", "init"}).status, 0);
    Outcome shown = RunIn({"settings", "show"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, "BaseX=0\nBaseY=0\nParallelPrinter=True\nUSBPrinter=False\nUSBPrinterName=\n");

    Outcome set = RunIn({"settings", "set", "--base-y", "-13.5", "--route", "queue", "--printer", "Zebra 1"});
    EXPECT_EQ(set.status, 0) << set.err;
    shown = RunIn({"settings", "show"});
    EXPECT_EQ(shown.out, "BaseX=0\nBaseY=-14\nParallelPrinter=False\nUSBPrinter=True\nUSBPrinterName=Zebra 1\n");

    const std::pair<std::vector<std::string>, int> refused[] = {
        {{"settings", "set", "--base-y", "32767.5"}, 1},
        {{"settings", "set", "--base-y", ""}, 1},
        {{"settings", "set", "--base-x", "7", "--base-y", "x"}, 1},
        {{"settings", "set", "--route", "lpt1"}, 2},
        {{"settings", "set"}, 2},
        {{"settings", "show", "--base-x", "1"}, 2},
    };
    for (const auto& [args, status] : refused) EXPECT_EQ(RunIn(args).status, status) << args.back();
    EXPECT_EQ(RunIn({"settings", "show"}).out, shown.out);

    set = RunIn({"settings", "set", "--base-x", "0050", "--route", "device"});
    EXPECT_EQ(set.out, "BaseX=0050\nBaseY=-14\nParallelPrinter=True\nUSBPrinter=False\nUSBPrinterName=Zebra 1\n");
}

// compose --base-x/--base-y and the Settings row that settings set stores from the same
// texts give the same label.
TEST_F(StartUpCli, ComposeTakesTheBasePointAsSettingsSetStoresIt) {
    ASSERT_EQ(RunIn({"db", "init"}).status, 0);
    plant.Write("config.txt", "Plant\nStartRow,2\nExtraQty,0\nSpareValue,0\nBaseH,0010\nBaseV,005\n");
    const std::vector<std::string> label = {"compose", "--layout", "A1", "--wip", "1", "--style", "2", "--qty", "1"};
    const struct {
        std::string x, y, printed;
    } bases[] = {
        {"0050", "0",
         "\x1b"
         "A3H0050V0\x1b"},
        {"50", "7",
         "\x1b"
         "A3H50V7\x1b"},
        {"50.5", "-13.5",
         "\x1b"
         "A3H50.5V-14\x1b"},
        {"-3", "0050",
         "\x1b"
         "A3H-3V50\x1b"},
        {"text", "1",
         "\x1b"
         "A3HtextV1\x1b"},
        {"\"0050\"", "2",
         "\x1b"
         "A3H\"0050\"V2\x1b"},
    };
    for (const auto& [x, y, printed] : bases) {
        auto given = label;
        given.insert(given.end(), {"--base-x", x, "--base-y", y});
        const Outcome direct = RunIn(given);
        EXPECT_EQ(direct.status, 0) << direct.err;
        EXPECT_NE(direct.out.find(printed), std::string::npos) << x << " " << y;
        ASSERT_EQ(RunIn({"settings", "set", "--base-x", x, "--base-y", y}).status, 0) << x << " " << y;
        EXPECT_EQ(RunIn(label).out, direct.out) << x << " " << y;
    }
    // Quotes make no number of Y for either.
    EXPECT_EQ(RunIn({"settings", "set", "--base-y", "\"5\""}).status, 1);
    auto quotedY = label;
    quotedY.insert(quotedY.end(), {"--base-x", "1", "--base-y", "\"5\""});
    EXPECT_EQ(RunIn(quotedY).status, 2);
}

TEST_F(StartUpCli, SettingsSetRepairsAnUnreadableRowOnlyWhenGivenEverything) {
    ASSERT_EQ(RunIn({"db", "init"}).status, 0);
    testing::ExecSql(plant / "data.mdb", "UPDATE Settings SET BaseY=NULL");
    Outcome partial = RunIn({"settings", "set", "--base-y", "4"});
    EXPECT_EQ(partial.status, 1);
    EXPECT_NE(partial.err.find("column BaseY"), std::string::npos) << partial.err;
    Outcome full = RunIn({"settings", "set", "--base-x", "9", "--base-y", "4", "--route", "device", "--printer", ""});
    EXPECT_EQ(full.status, 0) << full.err;
    EXPECT_EQ(RunIn({"settings", "show"}).out,
              "BaseX=9\nBaseY=4\nParallelPrinter=True\nUSBPrinter=False\nUSBPrinterName=\n");

    testing::ExecSql(plant / "data.mdb", "DELETE FROM Settings");
    Outcome noRow = RunIn({"settings", "set", "--base-y", "4"});
    EXPECT_EQ(noRow.status, 1);
    EXPECT_NE(noRow.err.find("no Settings row"), std::string::npos) << noRow.err;
}

TEST_F(StartUpCli, StylesAndLookup) {
    ASSERT_EQ(RunIn({"db", "init"}).status, 0);
    plant.Write("styles.csv", "Style,PrintStyle\r\n12345,calh021\r\n\"O'Neil, Jr\",calh020\r\nBLANK,\r\n");
    Outcome imported = RunIn({"styles", "import", (plant / "styles.csv").string()});
    EXPECT_EQ(imported.status, 0) << imported.err;
    EXPECT_NE(imported.out.find("added 3, changed 0"), std::string::npos) << imported.out;

    EXPECT_EQ(RunIn({"styles", "set", "o'neil, jr", "calh025"}).status, 0);
    EXPECT_EQ(RunIn({"styles", "list"}).out, "12345\tcalh021\nBLANK\t\nO'Neil, Jr\tcalh025\n");

    const std::pair<std::string, std::string> lookups[] = {
        {"12345", "calh021\n"}, {"O'NEIL, JR", "calh025\n"}, {"blank", "NA\n"}, {"99999", "\n"}};
    for (const auto& [style, printed] : lookups) {
        Outcome found = RunIn({"lookup", style});
        EXPECT_EQ(found.status, 0) << found.err;
        EXPECT_EQ(found.out, printed) << style;
    }

    EXPECT_EQ(RunIn({"styles", "remove", "12345"}).status, 0);
    EXPECT_EQ(RunIn({"styles", "remove", "12345"}).status, 1);
    EXPECT_EQ(RunIn({"lookup", "12345"}).out, "\n");

    plant.Write("bad.csv", "12345,calh021\nlonely\n");
    Outcome bad = RunIn({"styles", "import", (plant / "bad.csv").string()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("line 2"), std::string::npos) << bad.err;
    EXPECT_EQ(RunIn({"lookup", "12345"}).out, "\n");

    // A FIFO is refused at once instead of waiting for a writer; an unknown code stores nothing.
    const std::string pipe = (plant / "pipe.csv").string();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    Outcome fifo = RunIn({"styles", "import", pipe});
    EXPECT_EQ(fifo.status, 1);
    EXPECT_EQ(fifo.err, "Cannot read the style list \"" + pipe +
                            "\": it is a FIFO (named pipe), not a file. Give the CSV file of style,code lines; "
                            "nothing was imported.\n");
    EXPECT_EQ(RunIn({"styles", "set", "QQ", "calh099"}).status, 1);
    EXPECT_EQ(RunIn({"lookup", "QQ"}).out, "\n");
}

TEST_F(StartUpCli, MissingDatabaseIsReportedNotCreated) {
    Outcome found = RunIn({"lookup", "12345"});
    EXPECT_EQ(found.status, 1);
    EXPECT_NE(found.err.find("data.mdb"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(plant / "data.mdb"));
}

// Every command the overview lists has help of its own, which names --folder, the one
// option every command takes.
TEST_F(StartUpCli, EveryCommandHasHelp) {
    const std::string listing = Run({"--help"}).out;
    std::istringstream overview(listing.substr(listing.find("Commands:")));
    std::vector<std::string> commands;
    for (std::string line; std::getline(overview, line);)
        if (line.starts_with("  ")) commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    EXPECT_GE(commands.size(), 13u);
    for (const std::string& command : commands) {
        Outcome help = Run({command, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out.find("tarnwick-cli " + command), std::string::npos) << command;
        EXPECT_NE(help.out.find("--folder DIR"), std::string::npos) << command;
    }
    EXPECT_EQ(Run({"--version"}).out, "tarnwick-cli 3.4\n");
}

// The window's manual names what the window offers and what sets it up.
TEST_F(StartUpCli, WindowManualCoversTheWindow) {
    const std::string manual =
        Slurp(std::filesystem::path(std::getenv("TARNWICK_SOURCE_DIR")) / "packaging" / "tarnwick.1");
    for (const char* term : {"Preview", "(Ctrl+P)", "History", "(Ctrl+H)", "Reprint", "PrintJournal", "DeviceTimeout",
                             "CUPS_SERVER", "TARNWICK_PLANT", "mv data.mdb", "\\-\\-version"})
        EXPECT_NE(manual.find(term), std::string::npos) << term;
}

}  // namespace
}  // namespace tarnwick
