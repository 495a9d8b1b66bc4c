#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "printjob/print_and_record.h"
#include "printjob/printers.h"
#include "support/run_cli.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using testing::CliRun;
using testing::ReadAll;
using testing::RunProgram;
using testing::TempPlant;
using Lines = std::vector<std::vector<std::string>>;

// BaseH quoted, so its text form is 0050; the device relative to the plant folder.
const std::string kConfig =
    testing::ConfigText("2", "2", "\"0050\"", "12") + "ParallelPort,labels.prn\r\nDeviceTimeout,30\r\n";

struct PrintersPlant {
    explicit PrintersPlant(const std::string& config = kConfig) : plant(config) {}
    std::string Folder() const { return plant.dir.path().string(); }
    std::string Path(const std::string& name) const { return (plant.dir / name).string(); }
    CliRun Run(std::vector<std::string> args) const {
        args.push_back("--folder=" + Folder());
        return RunProgram(TARNWICK_CLI, args);
    }
    void Ok(const std::vector<std::string>& args) {
        const CliRun run = Run(args);
        ASSERT_EQ(run.status, 0) << args[0] << " " << args[1] << ": " << run.err;
    }
    Lines List() const {
        const CliRun run = Run({"printers", "list"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        return testing::TabFields(run.out);
    }
    void Exec(const std::string& sql) const {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((plant.dir / "data.mdb").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    TempPlant plant;
};

std::vector<std::string> Route(const OutputRoute& route) {
    return {route.queue ? "queue" : "device", route.printerName, route.device.string(),
            std::to_string(route.deviceStallLimit.count())};
}

std::vector<std::string> Bases(const PrintBases& bases) {
    return {bases.familyA.h, bases.familyA.v, bases.otherFamilies.h, bases.otherFamilies.v};
}

TEST(PrintersCli, AddSetListRemoveRoundTrip) {
    PrintersPlant p;
    p.Ok({"settings", "set", "--base-x", "007", "--base-y", "5", "--route", "device", "--printer", "waistband"});
    const std::vector<std::string> own = {"default", "device", p.Path("labels.prn"), "007", "5", "0050", "12", "30"};
    p.plant.dir.Write("dev/.keep", "");
    const struct {
        std::vector<std::string> args;
        std::string out;
        Lines list;
    } steps[] = {
        {{"printers", "add", "Line2", "--queue", "wb2"},
         "Added printer Line2.\n",
         {own, {"Line2", "queue", "wb2", "", "", "", "", ""}}},
        {{"printers", "add", "back", "--device", "dev/back.prn", "--base-x", "0050", "--base-y", "-3", "--base-h",
          "0020", "--base-v", "7", "--device-timeout", "5"},
         "Added printer back.\n",
         {own,
          {"back", "device", p.Path("dev/back.prn"), "0050", "-3", "0020", "7", "5"},
          {"Line2", "queue", "wb2", "", "", "", "", ""}}},
        {{"printers", "set", "line2", "--base-y", "9", "--device-timeout", "60"},
         "Changed printer line2.\n",
         {own,
          {"back", "device", p.Path("dev/back.prn"), "0050", "-3", "0020", "7", "5"},
          {"Line2", "queue", "wb2", "", "9", "", "", "60"}}},
        {{"printers", "set", "BACK", "--queue", "wb3", "--base-x", "", "--base-y=", "--device-timeout", ""},
         "Changed printer BACK.\n",
         {own, {"back", "queue", "wb3", "", "", "0020", "7", ""}, {"Line2", "queue", "wb2", "", "9", "", "", "60"}}},
        {{"printers", "remove", "LINE2"},
         "Removed printer LINE2.\n",
         {own, {"back", "queue", "wb3", "", "", "0020", "7", ""}}},
    };
    for (const auto& step : steps) {
        const CliRun run = p.Run(step.args);
        ASSERT_EQ(run.status, 0) << step.out << run.err;
        EXPECT_EQ(run.out, step.out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(p.List(), step.list) << step.out;
    }

    const CliRun csv = p.Run({"printers", "list", "--format", "csv"});
    EXPECT_EQ(csv.out,
              "Name,Route,Target,BaseX,BaseY,BaseH,BaseV,DeviceTimeout\n"
              "default,device," +
                  p.Path("labels.prn") +
                  ",007,5,0050,12,30\n"
                  "back,queue,wb3,,,0020,7,\n");

    // What a label to each printer takes: its own values, the rest from default.
    p.Ok({"printers", "add", "side", "--device", p.Path("side.prn"), "--base-x", "12", "--base-v", "044"});
    p.plant.Restart();
    const struct {
        std::string asked, name;
        std::vector<std::string> route, bases;
    } resolved[] = {
        {"Back", "back", {"queue", "wb3", "", "30000"}, {"007", "5", "0020", "7"}},
        {"side", "side", {"device", "", p.Path("side.prn"), "30000"}, {"12", "5", "0050", "044"}},
    };
    for (const auto& r : resolved) {
        const auto printer = ResolvePrinter(*p.plant.plant, r.asked);
        ASSERT_TRUE(printer.has_value()) << printer.error().text;
        EXPECT_EQ(printer->name, r.name);
        EXPECT_EQ(Route(printer->route), r.route) << r.name;
        EXPECT_EQ(Bases(printer->bases), r.bases) << r.name;
    }
}

TEST(PrintersCli, RefusalsSayWhatToDoAndChangeNothing) {
    PrintersPlant p;
    p.Ok({"printers", "add", "Line2", "--queue", "wb2"});
    p.plant.dir.Write("dev/.keep", "");
    const std::string file = p.Path("data.mdb");
    const std::string unchanged = " No printer was changed.\n";
    const std::string unknown =
        "There is no printer named \"nosuch\" in data.mdb (" + file +
        "). tarnwick-cli printers list shows the printers; add one with tarnwick-cli printers add nosuch --queue "
        "QUEUE (or --device PATH)." +
        unchanged;
    const auto isDefault = [&](const std::string& name) {
        return "The printer \"" + name +
               "\" is this station's own printer, the Settings row of data.mdb with config.txt: change it with "
               "tarnwick-cli settings set or in Setup, not with tarnwick-cli printers; any other printer needs a "
               "name of its own." +
               unchanged;
    };
    const auto folder = [&](const std::string& name) {
        return "The device path \"" + p.Path("dev") + "\" of printer \"" + name +
               "\" is a folder, not a printer device. Give the path of the device itself, such as /dev/usb/lp0." +
               unchanged;
    };
    const auto timeout = [&](const std::string& value) {
        return "The DeviceTimeout \"" + value +
               "\" of printer \"p\" is not a whole number of seconds from 1 to 3600. Give one, or an empty value "
               "to take config.txt's." +
               unchanged;
    };
    const auto baseY = [&](const std::string& value) {
        return "The BaseY \"" + value +
               "\" of printer \"p\" is not a whole number from -32768 to 32767. Give one, or an empty value to take "
               "the Settings row's." +
               unchanged;
    };
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"set", "nosuch", "--base-y", "1"}, unknown},
        {{"remove", "nosuch"}, unknown},
        {{"add", "LINE2", "--queue", "other"},
         "There is already a printer named \"Line2\" in data.mdb (" + file +
             ") (names are compared ignoring case). Choose another name, or change that printer with tarnwick-cli "
             "printers set Line2." +
             unchanged},
        {{"add", "default", "--queue", "wb9"}, isDefault("default")},
        {{"set", "Default", "--base-y", "1"}, isDefault("Default")},
        {{"remove", "DEFAULT"}, isDefault("DEFAULT")},
        {{"add", "p", "--device", "dev"}, folder("p")},
        {{"set", "Line2", "--device", p.Path("dev")}, folder("Line2")},
        {{"add", "p", "--queue", "q", "--device-timeout", "0"}, timeout("0")},
        {{"add", "p", "--queue", "q", "--device-timeout", "3601"}, timeout("3601")},
        {{"add", "p", "--queue", "q", "--device-timeout", "5s"}, timeout("5s")},
        {{"add", "p", "--queue", "q", "--base-y", "32768"}, baseY("32768")},
        {{"add", "p", "--queue", "q", "--base-y", "1.5"}, baseY("1.5")},
        {{"add", "p", "--queue", "q", "--base-y", "top"}, baseY("top")},
        {{"add", "", "--queue", "q"}, "A printer needs a name. Give it one, such as line2." + unchanged},
        {{"add", "a\tb", "--queue", "q"},
         "The printer name \"a\\x09b\" holds a control character. Give a name of letters, digits and signs." +
             unchanged},
        {{"add", "p", "--queue", ""},
         "The printer \"p\" needs a queue name or device path; an empty one cannot be printed to." + unchanged},
        {{"add", "p", "--queue", "q", "--base-x",
          "1\x1B"
          "A"},
         "The BaseX \"1\\x1BA\" of printer \"p\" holds a control character, which would reach the printer as a "
         "command. Type it without." +
             unchanged},
    };
    const Lines before = p.List();
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "printers");
        const CliRun run = p.Run(args);
        EXPECT_EQ(run.status, 1) << c.err;
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(p.List(), before);

    // The store is asked for routes the command line cannot even name.
    PrinterChange lpt;
    lpt.name = "p";
    lpt.route = "lpt1";
    lpt.target = "/dev/lp1";
    const auto added = AddPrinter(p.plant.dir.path(), lpt);
    ASSERT_FALSE(added.has_value());
    EXPECT_EQ(added.error().text + "\n",
              "The route \"lpt1\" of printer \"p\" is neither queue nor device. Give queue "
              "(a print queue) or device (a raw device)." +
                  unchanged);
    p.plant.Restart();
    const auto missing = ResolvePrinter(*p.plant.plant, "nosuch");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().text, "There is no printer named \"nosuch\" in data.mdb (" + file +
                                        "). tarnwick-cli printers list shows the printers; add one with tarnwick-cli "
                                        "printers add nosuch --queue QUEUE (or --device PATH), or print to another.");

    const struct {
        std::vector<std::string> args;
        std::string problem;
    } usage[] = {
        {{"add", "p"}, "printers add needs --queue QUEUE or --device PATH"},
        {{"add", "p", "--queue", "q", "--device", "d"}, "give --queue or --device, not both"},
        {{"set", "Line2"}, "printers set needs at least one value to change"},
        {{"list", "--base-x", "1"}, "printers list takes no --base-x"},
        {{"list", "--format", "xml"}, "--format must be tsv or csv, not xml"},
        {{"remove"}, "printers remove needs one NAME"},
        {{"rename", "Line2"}, "unknown printers subcommand rename"},
    };
    for (const auto& u : usage) {
        std::vector<std::string> args = u.args;
        args.insert(args.begin(), "printers");
        const CliRun run = p.Run(args);
        EXPECT_EQ(run.status, 2) << u.problem;
        EXPECT_EQ(run.err.substr(0, run.err.find('\n')), "tarnwick-cli: " + u.problem);
    }
    EXPECT_EQ(p.List(), before);
}

// A row written by other means is checked as it is read, and named with its remedy.
TEST(PrintersCli, AStoredRowThatCannotBeUsedIsNamed) {
    PrintersPlant p;
    p.Ok({"printers", "add", "Line2", "--queue", "wb2"});
    const struct {
        std::string sql, problem;
    } cases[] = {
        {"UPDATE Printers SET Route = 'lpt'", "its route is \"lpt\"; it must be queue or device"},
        {"UPDATE Printers SET BaseY = 40000", "its BaseY is \"40000\"; it must be a whole number from -32768 to 32767"},
        {"UPDATE Printers SET DeviceTimeout = 0", "its DeviceTimeout is \"0\"; it must be 1 to 3600 seconds"},
        {"UPDATE Printers SET Target = ''", "its queue name is empty"},
    };
    for (const auto& c : cases) {
        p.Exec("UPDATE Printers SET Route = 'queue', Target = 'wb2', BaseY = NULL, DeviceTimeout = NULL");
        p.Exec(c.sql);
        const CliRun run = p.Run({"printers", "list"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "The printer \"Line2\" in data.mdb (" + p.Path("data.mdb") + "): " + c.problem +
                               ". Correct it with tarnwick-cli printers set Line2 (or remove the printer with "
                               "tarnwick-cli printers remove Line2), then try again.\n");
    }
}

TEST(PrintersCli, ADatabaseWithoutTheTableHasDefaultOnlyAndIsNotWritten) {
    PrintersPlant p(testing::ConfigText());
    const std::string before = ReadAll(p.plant.dir / "data.mdb");
    EXPECT_EQ(p.List(), (Lines{{"default", "device", "/dev/lp0", "0", "0", "5", "10", "10"}}));
    EXPECT_EQ(p.Run({"printers", "remove", "Line2"}).status, 1);
    EXPECT_EQ(p.Run({"printers", "set", "Line2", "--base-y", "1"}).status, 1);
    EXPECT_EQ(ReadAll(p.plant.dir / "data.mdb"), before);
    EXPECT_EQ(p.Run({"printers", "add", "Line2", "--queue", "wb2"}).status, 0);
    EXPECT_NE(ReadAll(p.plant.dir / "data.mdb"), before);
}

// default is what every label took before printers had names.
TEST(PrintersCli, DefaultIsTheSettingsRowAndConfigTxt) {
    const struct {
        std::string config, settings;
        std::vector<std::string> route, bases;
    } cases[] = {
        {testing::ConfigText(), "", {"device", "", "/dev/lp0", "10000"}, {"0", "0", "5", "10"}},
        {testing::ConfigText("2", "2", "0050", "012") + "ParallelPort,/dev/usb/lp1\r\nDeviceTimeout,3600\r\n",
         "UPDATE Settings SET BaseX = 12.5, BaseY = -7, USBPrinter = 1, USBPrinterName = 'wb'",
         {"queue", "wb", "/dev/usb/lp1", "3600000"},
         {"12.5", "-7", "50", "012"}},
        {testing::ConfigText("2", "2", "\"0050\"", "9") + "ParallelPort,out/labels.prn\r\n",
         "UPDATE Settings SET BaseX = NULL, USBPrinterName = 'wb'",
         {"device", "wb", "<folder>/out/labels.prn", "10000"},
         {"", "0", "0050", "9"}},
    };
    for (const auto& c : cases) {
        PrintersPlant p(c.config);
        if (!c.settings.empty()) p.Exec(c.settings);
        p.plant.Restart();
        const Plant& plant = *p.plant.plant;
        std::vector<std::string> route = c.route;
        if (route[2].starts_with("<folder>")) route[2] = p.Folder() + route[2].substr(8);
        for (const char* name : {"default", "", "DEFAULT"}) {
            const auto printer = ResolvePrinter(plant, name);
            ASSERT_TRUE(printer.has_value()) << printer.error().text;
            EXPECT_EQ(printer->name, "default");
            EXPECT_EQ(Route(printer->route), Route(PlantRoute(plant))) << c.config;
            EXPECT_EQ(Bases(printer->bases), Bases(BasesOf(plant))) << c.config;
            EXPECT_EQ(Route(printer->route), route) << c.config;
            EXPECT_EQ(Bases(printer->bases), c.bases) << c.config;
        }
    }
}

}  // namespace
}  // namespace tarnwick
