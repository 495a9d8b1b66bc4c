#include <gtest/gtest.h>

#include <regex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "plantdb/plant_database.h"
#include "plantdb/plant_station.h"
#include "store/settings_store.h"
#include "support/private_postgres.h"
#include "support/run_cli.h"
#include "support/temp_folder.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::CliRun;
using testing::ScratchPlantDatabase;

// The first column of each row the plant answers, as text.
std::vector<std::string> PlantRows(const std::string& conninfo, const std::string& sql) {
    auto db = PgConnection::Open(conninfo, PgClock::now() + 10s);
    if (!db) {
        ADD_FAILURE() << db.error().message;
        return {};
    }
    auto rows = db->Run(sql, PgClock::now() + 10s);
    if (!rows) {
        ADD_FAILURE() << rows.error().message << " in " << sql;
        return {};
    }
    std::vector<std::string> texts;
    for (int r = 0; r < rows->size(); ++r) texts.push_back(rows->Text(r, 0));
    return texts;
}

enum Column { kId = 0, kStation = 2, kSource = 3, kLayout = 4, kOutcome = 12, kReprintOf = 15 };

// A plant folder of its own: config.txt, a data.mdb from `db init`, and labels.prn as its raw device.
struct Station {
    Station(std::string stationName, const std::string& conninfo, const std::string& extra = "")
        : name(std::move(stationName)) {
        Configure(conninfo, extra);
        dir.Write("labels.prn", "");
        const CliRun made = Run({"db", "init"});
        EXPECT_EQ(made.status, 0) << made.err;
    }
    // No conninfo: a station on its own, as before the plant database.
    void Configure(const std::string& conninfo, const std::string& extra = "") const {
        std::string config = testing::ConfigText() + "ParallelPort,labels.prn\r\n";
        if (!conninfo.empty()) config += "PlantDatabase,\"" + conninfo + "\"\r\nStation," + name + "\r\n";
        dir.Write("config.txt", config + extra);
    }
    // Killed after a minute: a command that hangs fails its test instead of stopping the run.
    CliRun Run(std::vector<std::string> args) const {
        args.push_back("--folder=" + dir.path().string());
        return testing::RunProgram(TARNWICK_CLI, args, "/dev/null", "timeout -s KILL 60");
    }
    CliRun Print(const std::string& style) const {
        return Run({"print", "--wip", "004512", "--style", style, "--color", "5", "--waist", "32", "--length-desc", "R",
                    "--qty", "1"});
    }
    std::vector<std::vector<std::string>> History(std::vector<std::string> options) const {
        options.insert(options.begin(), "history");
        const CliRun run = Run(options);
        EXPECT_EQ(run.status, 0) << run.err;
        return testing::TabFields(run.out);
    }
    std::string Device() const { return testing::ReadAll(dir / "labels.prn"); }
    std::string Local(const std::string& sql) const { return testing::QueryTyped(dir / "data.mdb", sql); }

    std::string name;
    testing::TempDir dir;
};

// Makes the plant's tables through station `by`, as its owner would once.
void InitPlant(const Station& by) {
    const CliRun init = by.Run({"plant", "init"});
    ASSERT_EQ(init.status, 0) << init.err;
    EXPECT_TRUE(
        init.out.starts_with("Made the plant's tables (version " + std::to_string(kPlantSchemaVersion) + ") in "))
        << init.out;
}

std::string CatalogueOf(const std::string& conninfo) {
    const auto rows = PlantRows(conninfo,
                                "SELECT c.version || ' ' || coalesce((SELECT string_agg(style || '=' || "
                                "coalesce(code, ''), ',' ORDER BY style_key) FROM print_style), '')"
                                " FROM tarnwick_catalogue c");
    return rows.empty() ? "" : rows.front();
}

TEST(PlantStations, StylesAndHistoryAreSharedBetweenStations) {
    TARNWICK_PLANT_SERVER(server);
    const ScratchPlantDatabase plantDb(server);
    const Station a("A", plantDb.conninfo()), b("B", plantDb.conninfo());
    InitPlant(a);
    a.dir.Write("styles.csv", "Style,PrintStyle\r\n7788,calh015\r\n");
    const struct {
        std::vector<std::string> change;
        std::string style, layout;
    } cases[] = {
        {{"styles", "set", "1234", "calh020"}, "1234", "C1"},
        {{"styles", "import", (a.dir / "styles.csv").string()}, "7788", "E"},
        // B holds a copy of the catalogue by now, which must not outvote the plant.
        {{"styles", "set", "1234", "calh025"}, "1234", "C2"},
    };
    for (const auto& c : cases) {
        const CliRun changed = a.Run(c.change);
        ASSERT_EQ(changed.status, 0) << changed.err;
        const CliRun printed = b.Print(c.style);
        ASSERT_EQ(printed.status, 0) << printed.err;
        EXPECT_EQ(printed.err, "");
        const auto seen = a.History({"--station", "B", "--limit", "1"});
        ASSERT_EQ(seen.size(), 1u) << c.change[1];
        EXPECT_EQ((std::vector<std::string>{seen[0][kStation], seen[0][kLayout], seen[0][kOutcome]}),
                  (std::vector<std::string>{"B", c.layout, "sent"}));
    }
    const std::string bJob = a.History({"--station", "B", "--limit", "1"}).at(0).at(kId);
    const CliRun reprint = a.Run({"reprint", bJob, "--station", "B"});
    ASSERT_EQ(reprint.status, 0) << reprint.err;
    EXPECT_EQ(reprint.out, "Reprinted job " + bJob + " (layout C2, WIP 004512), quantity 1, on device " +
                               (a.dir / "labels.prn").string() + "\n");
    EXPECT_FALSE(a.Device().empty());
    EXPECT_TRUE(b.Device().ends_with(a.Device())) << "the reprint is B's label byte for byte";
    const auto mine = a.History({"--station", "A"});
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ((std::vector<std::string>{mine[0][kSource], mine[0][kReprintOf]}),
              (std::vector<std::string>{"reprint", "B:" + bJob}));
    EXPECT_EQ(PlantRows(plantDb.conninfo(),
                        "SELECT station || ' ' || reprint_of || ' ' || reprint_of_station || ' ' "
                        "|| outcome FROM print_journal WHERE reprint_of IS NOT NULL"),
              std::vector<std::string>{"A " + bJob + " B sent"});
    EXPECT_EQ(a.Local("SELECT ReprintOfStation || ' ' || ReprintOf FROM PrintJournal"), "text:B " + bJob);
}

// A login role of the whole server, so named per process and dropped however the test ends.
struct OperatorRole {
    explicit OperatorRole(std::string server) : server(std::move(server)) {
        const auto made = testing::RunOnPlantServer(this->server, "CREATE ROLE " + name +
                                                                      " LOGIN IN ROLE "
                                                                      "tarnwick_operator");
        EXPECT_TRUE(made.ok) << made.message;
    }
    ~OperatorRole() { (void)testing::RunOnPlantServer(server, "DROP ROLE IF EXISTS " + name); }
    std::string server;
    std::string name = "tarnwick_line3_" + std::to_string(::getpid());
};

TEST(PlantStations, OperatorLoginPrintsButMayNotChangeStyles) {
    TARNWICK_PLANT_SERVER(server);
    const ScratchPlantDatabase plantDb(server);
    const Station admin("ADMIN", plantDb.conninfo());
    InitPlant(admin);
    ASSERT_EQ(admin.Run({"styles", "set", "1234", "calh020"}).status, 0);
    const OperatorRole role(server);
    const std::string conninfo = plantDb.conninfo() + " user=" + role.name;
    const Station line3("LINE3", conninfo);
    line3.dir.Write("styles.csv", "5555,calh015\r\n");
    const std::string before = CatalogueOf(plantDb.conninfo());
    for (const std::vector<std::string>& change : {std::vector<std::string>{"styles", "set", "1234", "calh021"},
                                                   {"styles", "import", (line3.dir / "styles.csv").string()},
                                                   {"styles", "remove", "1234"}}) {
        const CliRun refused = line3.Run(change);
        EXPECT_EQ(refused.status, 1) << change[1];
        EXPECT_EQ(refused.out, "");
        EXPECT_TRUE(refused.err.starts_with("The plant database \"" + conninfo +
                                            "\" cannot be used: this station's "
                                            "login may not do that ("))
            << refused.err;
        EXPECT_TRUE(
            refused.err.ends_with("); changing styles needs a login in the role tarnwick_admin. No print "
                                  "style was changed.\n"))
            << refused.err;
        EXPECT_EQ(CatalogueOf(plantDb.conninfo()), before) << change[1];
    }
    const CliRun status = line3.Run({"plant", "status"});
    EXPECT_NE(status.out.find("Role: " + role.name + " (may not change styles: not in tarnwick_admin)\n"),
              std::string::npos)
        << status.out << status.err;

    testing::ExecSql(line3.dir / "data.mdb", "INSERT INTO PrintStyle (Style, PrintStyle) VALUES ('7777', 'calh015')");
    const CliRun pushed = line3.Run({"plant", "push"});
    EXPECT_EQ(pushed.status, 1);
    EXPECT_TRUE(pushed.err.ends_with("); changing styles needs a login in the role tarnwick_admin.\n")) << pushed.err;
    EXPECT_EQ(CatalogueOf(plantDb.conninfo()), before);

    const CliRun printed = line3.Print("1234");
    ASSERT_EQ(printed.status, 0) << printed.err;
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT station || ' ' || layout || ' ' || outcome FROM print_journal"),
              std::vector<std::string>{"LINE3 C1 sent"});

    // A login in the role that lost one of its rights is told which, and who gives it back.
    PlantRows(plantDb.conninfo(), "REVOKE INSERT ON print_journal FROM tarnwick_operator; SELECT 1");
    const CliRun withheld = line3.Print("1234");
    ASSERT_EQ(withheld.status, 0) << withheld.err;
    EXPECT_EQ(withheld.err,
              "The plant database \"" + conninfo +
                  "\" does not take this station's rows: this "
                  "station's login may not do that (permission denied for table print_journal); the login " +
                  role.name +
                  " is in the role tarnwick_operator but lacks INSERT on print_journal; the "
                  "database's owner grants the role's rights again with tarnwick-cli plant init. "
                  "Labels still print; their rows wait in data.mdb and are sent on once it takes "
                  "them.\n");
    // A style this login may not read is refused for that, not as a style that does not exist.
    PlantRows(plantDb.conninfo(), "REVOKE SELECT ON print_style FROM tarnwick_operator; SELECT 1");
    ASSERT_EQ(admin.Run({"styles", "set", "4321", "calh020"}).status, 0);
    const CliRun unread = line3.Print("4321");
    EXPECT_EQ(unread.status, 1);
    EXPECT_TRUE(
        unread.err.ends_with("\" cannot be used: this station's login may not do that (permission denied "
                             "for table print_style).\n"))
        << unread.err;
    EXPECT_EQ(unread.err.find("does not exist"), std::string::npos) << unread.err;
    ASSERT_EQ(admin.Run({"plant", "init"}).status, 0);
    const CliRun sync = line3.Run({"plant", "sync"});
    // The withheld label's row and the refused one's.
    EXPECT_TRUE(sync.out.starts_with("Sent 2 rows on")) << sync.out << sync.err;
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT count(*) FROM print_journal WHERE station = 'LINE3'"),
              std::vector<std::string>{"3"});
}

JournalEntry Job(std::int64_t id, const std::string& outcome) {
    JournalEntry job;
    job.id = id;
    job.time = "2026-12-08T09:15:02.123Z";
    job.source = "cli";
    job.layout = "C1";
    job.wip = "004512";
    job.style = "1234";
    job.quantity = "1";
    job.outcome = outcome;
    job.message = outcome == "failed" ? "paper out" : "";
    job.stream =
        "\x1B"
        "A label\x1BZ";
    return job;
}

// A station killed between the plant's commit and its own mark sends the same rows again.
TEST(PlantStations, RowsSentAgainAreKeptOnce) {
    TARNWICK_PLANT_SERVER(server);
    const ScratchPlantDatabase plantDb(server);
    auto db = PgConnection::Open(plantDb.conninfo(), PgClock::now() + 10s);
    ASSERT_TRUE(db.has_value()) << db.error().message;
    ASSERT_TRUE(InitPlantSchema(*db, PgClock::now() + 30s).has_value());
    const struct {
        std::vector<std::string> forwarded;
        std::string kept;
    } cases[] = {
        {{"sent", "sent"}, "sent"},
        {{"sending", "sent"}, "sent"},
        {{"sending", "sending", "failed"}, "failed paper out"},
        // A copy sent before the outcome arrives late: it must not take the answer back.
        {{"sent", "sending"}, "sent"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        for (const std::string& outcome : cases[i].forwarded) {
            const auto forwarded = ForwardJobs(*db, "station-id-1", "DIRECT",
                                               {Job(static_cast<std::int64_t>(i) + 1, outcome)}, PgClock::now() + 10s);
            ASSERT_TRUE(forwarded.has_value()) << forwarded.error().message;
        }
        EXPECT_EQ(PlantRows(plantDb.conninfo(),
                            "SELECT trim(outcome || ' ' || message) FROM print_journal "
                            "WHERE station_job = " +
                                std::to_string(i + 1)),
                  std::vector<std::string>{cases[i].kept})
            << cases[i].forwarded.front() << " then " << cases[i].forwarded.back();
    }

    // A data.mdb restored from a copy gives job 1 again, to a later job: both are kept.
    JournalEntry again = Job(1, "sent");
    again.time = "2026-12-09T07:00:00.000Z";
    ASSERT_TRUE(ForwardJobs(*db, "station-id-1", "DIRECT", {again}, PgClock::now() + 10s).has_value());
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT count(*) FROM print_journal WHERE station_job = 1"),
              std::vector<std::string>{"2"});
    // Another job under a final row's key is refused, not taken as sent.
    JournalEntry notThisOne = again;
    notThisOne.wip = "009999";
    const auto clashed = ForwardJobs(*db, "station-id-1", "DIRECT", {notThisOne}, PgClock::now() + 10s);
    ASSERT_FALSE(clashed.has_value());
    EXPECT_EQ(clashed.error().sqlstate, kIdClash);
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT string_agg(wip, ' ') FROM print_journal WHERE station_job = 1"),
              std::vector<std::string>{"004512 004512"});

    // A station on its own moves over, then sends everything again twice over.
    const Station other("OTHER", plantDb.conninfo()), s("S", "");
    ASSERT_EQ(other.Run({"styles", "set", "1234", "calh022"}).status, 0);
    for (const auto& [style, code] : {std::pair{"1234", "calh020"}, std::pair{"5555", "calh015"}}) {
        ASSERT_EQ(s.Run({"styles", "set", style, code}).status, 0);
        ASSERT_EQ(s.Print(style).status, 0);
    }
    s.Configure(plantDb.conninfo());
    const std::string journal = "Journal: 2 jobs sent to the plant's history (a job it held already is kept once).\n";
    const std::string pushed[] = {
        "Styles: 1 added to the plant's catalogue, 1 there already.\n"
        "  1234: the plant's code calh022 stays; this station had calh020\n" +
            journal,
        // The station's own styles are kept from before the plant's first copy replaced them.
        "Styles: 0 added to the plant's catalogue, 2 there already.\n"
        "  1234: the plant's code calh022 stays; this station had calh020\n" +
            journal,
        "",  // the queue as a kill before the station's mark leaves it, then plant sync
    };
    for (const std::string& out : pushed) {
        CliRun run;
        if (out.empty()) {
            testing::ExecSql(s.dir / "data.mdb", "INSERT INTO PlantOutbox (JobID) SELECT ID FROM PrintJournal");
            run = s.Run({"plant", "sync"});
            EXPECT_TRUE(run.out.starts_with("Sent 2 rows on to the plant database;")) << run.out;
        } else {
            run = s.Run({"plant", "push"});
            EXPECT_EQ(run.out, out);
        }
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(PlantRows(plantDb.conninfo(),
                            "SELECT string_agg(style || ' ' || layout || ' ' || outcome, ', ' "
                            "ORDER BY station_job) FROM print_journal WHERE station = 'S'"),
                  std::vector<std::string>{"1234 C1 sent, 5555 E sent"});
        EXPECT_TRUE(CatalogueOf(plantDb.conninfo()).ends_with(" 1234=calh022,5555=calh015"));
        EXPECT_EQ(s.Local("SELECT COUNT(*) FROM PlantOutbox"), "integer:0");
    }
    // Printed before it had a name, its jobs are listed here under the name the plant
    // gives them, found whatever the case of the name asked for.
    for (const std::string& extra : {std::string(), std::string("Station,S\r\n")}) {
        if (extra.empty()) s.Configure(plantDb.conninfo());
        else s.dir.Write("config.txt", testing::ConfigText() + "ParallelPort,labels.prn\r\n" + extra);
        const auto listed = s.History({"--station", "s"});
        ASSERT_EQ(listed.size(), 2u) << extra;
        for (const auto& job : listed) EXPECT_EQ(job[kStation], "S") << extra;
    }
}

// One data.mdb in two plant folders (an imaged PC): the second is told with the fix, its
// rows wait, and after plant new-id every label is in the plant once.
TEST(PlantStations, CopiedDataMdbIsToldAndNewIdSendsItsRows) {
    TARNWICK_PLANT_SERVER(server);
    const ScratchPlantDatabase plantDb(server);
    const Station a("A", plantDb.conninfo()), b("B", plantDb.conninfo());
    InitPlant(a);
    ASSERT_EQ(a.Run({"styles", "set", "1234", "calh020"}).status, 0);
    ASSERT_EQ(a.Print("1234").status, 0);
    std::filesystem::copy_file(a.dir / "data.mdb", b.dir / "data.mdb",
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(a.Print("1234").status, 0);
    const std::string clash = "\" does not take this station's rows: this station's id ";
    const std::string fix = "Run tarnwick-cli plant new-id on this station (in " + b.dir.path().string() +
                            ") to give it an id of its own; its waiting rows are then sent on.\n";
    for (int label = 0; label < 2; ++label) {
        const CliRun printed = b.Print("1234");
        ASSERT_EQ(printed.status, 0) << printed.err;
        EXPECT_NE(printed.err.find(clash), std::string::npos) << printed.err;
        EXPECT_NE(printed.err.find(", plant folder " + a.dir.path().string() + ", since "), std::string::npos)
            << printed.err;
        EXPECT_TRUE(printed.err.ends_with(fix)) << printed.err;
        EXPECT_EQ(std::count(printed.err.begin(), printed.err.end(), '\n'), 1) << "told once: " << printed.err;
    }
    EXPECT_EQ(b.Local("SELECT COUNT(DISTINCT JobID) FROM PlantOutbox"), "integer:2");
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT count(*) FROM print_journal WHERE station = 'B'"),
              std::vector<std::string>{"0"});

    // The plant answers, so its history lists B's waiting rows from data.mdb, with a note.
    const CliRun listed = b.Run({"history", "--wip", "004512"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.err,
              "2 jobs of this station listed here wait in data.mdb to be sent on to the plant database "
              "(tarnwick-cli plant sync sends them now).\n");
    const auto rows = testing::TabFields(listed.out);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](const auto& row) { return row.at(kStation) == "B"; }), 2)
        << listed.out;

    const CliRun status = b.Run({"plant", "status"});
    EXPECT_EQ(status.status, 1);
    EXPECT_TRUE(
        status.out.ends_with(": the plant does not take this station's rows. Run tarnwick-cli plant new-id "
                             "here.\n"))
        << status.out;
    const CliRun sync = b.Run({"plant", "sync"});
    EXPECT_EQ(sync.status, 1);
    EXPECT_TRUE(sync.err.ends_with(fix)) << sync.err;
    EXPECT_EQ(std::count(sync.err.begin(), sync.err.end(), '\n'), 1) << "told once: " << sync.err;
    const CliRun renewed = b.Run({"plant", "new-id"});
    ASSERT_EQ(renewed.status, 0) << renewed.err;
    EXPECT_TRUE(renewed.out.ends_with("Sent 2 rows on to the plant database under it.\n")) << renewed.out;
    EXPECT_EQ(renewed.err, "");
    const CliRun after = b.Print("1234");
    ASSERT_EQ(after.status, 0);
    EXPECT_EQ(after.err, "");
    EXPECT_EQ(b.Local("SELECT COUNT(*) FROM PlantOutbox"), "integer:0");
    // A's first label is in B's journal too, copied with the file, and was sent by A alone.
    EXPECT_EQ(PlantRows(plantDb.conninfo(),
                        "SELECT station || ' ' || count(*) || ' ' || count(DISTINCT station_id) "
                        "FROM print_journal GROUP BY station ORDER BY station"),
              (std::vector<std::string>{"A 2 1", "B 3 1"}));
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT count(DISTINCT station_id) FROM print_journal"),
              std::vector<std::string>{"2"});
}

// Tables changed behind Tarnwick's back: each station says what is wrong and which
// command puts it right, labels print from the copy, and plant init repairs it.
TEST(PlantStations, SchemaDriftIsToldWithTheFixAndRepairedByInit) {
    TARNWICK_PLANT_SERVER(server);
    const struct {
        std::string change, told;
        bool repairedByInit;
    } cases[] = {
        {"UPDATE tarnwick_schema SET version = 99",
         "its tables are version 99, made by a newer Tarnwick than this station's (version 2); install that Tarnwick "
         "on this station",
         false},
        {"UPDATE tarnwick_schema SET version = 1",
         "its tables are version 1, older than this station's (version 2); the database's owner upgrades them with "
         "tarnwick-cli plant init",
         true},
        {"ALTER TABLE print_journal DROP COLUMN wip_key",
         "its tables lack the columns print_journal.wip_key; the database's owner repairs them with tarnwick-cli "
         "plant init",
         true},
        {"ALTER TABLE print_journal DROP CONSTRAINT print_journal_station_id_station_job_time_key",
         "its tables lack the unique keys print_journal(station_id, station_job, time); the database's owner repairs "
         "them with tarnwick-cli plant init",
         true},
        {"DROP TABLE tarnwick_station",
         "its tables lack the columns tarnwick_station.first_used, tarnwick_station.folder, tarnwick_station.host, "
         "tarnwick_station.station_id, the unique keys tarnwick_station(station_id); the database's owner repairs "
         "them with tarnwick-cli plant init",
         true},
        {"ALTER TABLE print_style DROP CONSTRAINT print_style_key_folded",
         "its tables lack the check print_style_key_folded; the database's owner repairs them with tarnwick-cli "
         "plant init",
         true},
    };
    for (const auto& c : cases) {
        const ScratchPlantDatabase plantDb(server);
        const Station s("S", plantDb.conninfo());
        InitPlant(s);
        ASSERT_EQ(s.Run({"styles", "set", "1234", "calh020"}).status, 0);
        ASSERT_EQ(s.Print("1234").status, 0);
        PlantRows(plantDb.conninfo(), c.change + "; SELECT 1");
        const std::string told = "The plant database \"" + plantDb.conninfo() + "\" cannot be used: " + c.told + ".";

        const std::string before = s.Device();
        const CliRun printed = s.Print("1234");
        EXPECT_EQ(printed.status, 0) << c.change << printed.err;
        EXPECT_GT(s.Device().size(), before.size()) << c.change;
        EXPECT_TRUE(printed.err.starts_with(told + " This station prints from its own copy of the style catalogue, "))
            << printed.err;
        EXPECT_EQ(s.Local("SELECT Layout FROM PrintJournal ORDER BY ID DESC LIMIT 1"), "text:C1") << c.change;
        const CliRun status = s.Run({"plant", "status"});
        EXPECT_NE(status.out.find("Plant's tables: version "), std::string::npos) << status.out << status.err;
        EXPECT_NE(status.out.find("; " + c.told + "\n"), std::string::npos) << status.out;

        const CliRun init = s.Run({"plant", "init"});
        EXPECT_EQ(init.status, c.repairedByInit ? 0 : 1) << c.change << init.err;
        if (!c.repairedByInit) PlantRows(plantDb.conninfo(), "UPDATE tarnwick_schema SET version = 2; SELECT 1");
        const CliRun sync = s.Run({"plant", "sync"});
        EXPECT_EQ(sync.status, 0) << c.change << sync.err;
        EXPECT_TRUE(sync.out.starts_with("Sent 1 row on")) << c.change << sync.out << sync.err;
        EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT count(*) FROM print_journal"), std::vector<std::string>{"2"})
            << c.change;
    }
}

// Changes the version does not show (triggers off, the version row deleted, a key not
// folded): stations compare their copy by content and take it again.
TEST(PlantStations, CopyIsComparedByContent) {
    TARNWICK_PLANT_SERVER(server);
    const ScratchPlantDatabase plantDb(server);
    const Station a("A", plantDb.conninfo()), b("B", plantDb.conninfo());
    InitPlant(a);
    ASSERT_EQ(a.Run({"styles", "set", "1234", "calh020"}).status, 0);
    ASSERT_EQ(b.Print("1234").status, 0);
    const struct {
        std::string change, style, layout, copied;
        bool sameVersion;
    } cases[] = {
        {"SET session_replication_role = replica; UPDATE print_style SET code = 'calh025' WHERE style_key = '1234'",
         "1234", "C2", "1234=calh025", true},
        {"DELETE FROM tarnwick_catalogue; SET session_replication_role = replica;"
         " UPDATE print_style SET code = 'calh015' WHERE style_key = '1234'",
         "1234", "E", "1234=calh015", false},
        // Put back by plant init: the key folded as the station folds it, and the check again.
        {"ALTER TABLE print_style DROP CONSTRAINT print_style_key_folded;"
         " INSERT INTO print_style VALUES ('ABC9', 'Abc9', 'calh020')",
         "abc9", "C1", "1234=calh015,Abc9=calh020", false},
    };
    for (const auto& c : cases) {
        PlantRows(plantDb.conninfo(), c.change + "; SELECT 1");
        if (c.style == "abc9") {
            ASSERT_EQ(a.Run({"plant", "init"}).status, 0);
        }
        const CliRun status = b.Run({"plant", "status"});
        EXPECT_NE(status.out.find(std::string("The station's copy differs from the plant's catalogue") +
                                  (c.sameVersion ? " at the same version" : "") + ": "),
                  std::string::npos)
            << c.change << status.out << status.err;
        const CliRun printed = b.Print(c.style);
        ASSERT_EQ(printed.status, 0) << printed.err;
        EXPECT_EQ(printed.err, "") << c.change;
        EXPECT_EQ(b.Local("SELECT Layout FROM PrintJournal ORDER BY ID DESC LIMIT 1"), "text:" + c.layout);
        EXPECT_EQ(b.Local("SELECT group_concat(Style || '=' || PrintStyle, ',') FROM PrintStyle"), "text:" + c.copied);
        EXPECT_NE(b.Run({"plant", "status"}).out.find("The station's copy holds the plant's catalogue as it is.\n"),
                  std::string::npos)
            << c.change;
    }
    // The check keeps every later key folded, whoever writes it.
    auto db = PgConnection::Open(plantDb.conninfo(), PgClock::now() + 10s);
    ASSERT_TRUE(db.has_value());
    const auto unfolded = db->Run("INSERT INTO print_style VALUES ('XY1', 'XY1', 'calh020')", PgClock::now() + 10s);
    ASSERT_FALSE(unfolded.has_value());
    EXPECT_EQ(unfolded.error().sqlstate, "23514");
}

// A slow site link on loopback: TCP on 127.0.0.1 relayed to the private server's socket,
// its answers held to `rate` bytes a second.
class ThrottledRelay {
public:
    explicit ThrottledRelay(std::size_t rate) : rate_(rate) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 16), 0);
        EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = ntohs(address.sin_port);
        accepting_ = std::thread([this] { Accept(); });
    }
    ~ThrottledRelay() {
        stop_ = true;
        accepting_.join();
        for (std::thread& pump : pumps_) pump.join();
        ::close(listener_);
    }
    std::string conninfo(const std::string& dbname) const {
        return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=" + dbname +
               " sslmode=disable gssencmode=disable";
    }

private:
    void Accept() {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 50) != 1) continue;
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            pumps_.emplace_back([this, client] { Pump(client); });
        }
    }
    void Pump(int client) {
        const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const char* port = std::getenv("TARNWICK_PG_PORT");
        const std::string path =
            std::string(std::getenv("TARNWICK_PG_SOCKET")) + "/.s.PGSQL." + (port != nullptr ? port : "5432");
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            char buffer[2048];
            bool open = true;
            while (open && !stop_) {
                pollfd ready[] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (::poll(ready, 2, 50) < 1) continue;
                for (int side = 0; side < 2 && open; ++side) {
                    if ((ready[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                    const ssize_t got = ::read(ready[side].fd, buffer, sizeof buffer);
                    if (got <= 0) {
                        open = false;
                        break;
                    }
                    const int to = side == 0 ? server : client;
                    for (ssize_t sent = 0; sent < got && open;) {
                        const ssize_t wrote = ::write(to, buffer + sent, static_cast<std::size_t>(got - sent));
                        open = wrote > 0;
                        sent += std::max<ssize_t>(wrote, 0);
                    }
                    if (side == 1)
                        std::this_thread::sleep_for(std::chrono::microseconds(1s) * got / static_cast<ssize_t>(rate_));
                }
            }
        }
        ::close(server);
        ::close(client);
    }

    std::size_t rate_;
    int listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread accepting_;
    std::vector<std::thread> pumps_;
};

// 20,000 styles over 250 kB/s take longer than PlantTimeout: the label does not wait for
// the copy, the rows go on, the old copy serves until the new one is whole, and the copy
// goes on from where it stopped.
TEST(PlantStations, LargeCatalogueOnASlowLinkArrivesInPages) {
    TARNWICK_PLANT_SERVER(server);
    const ScratchPlantDatabase plantDb(server);
    const Station a("A", plantDb.conninfo());
    InitPlant(a);
    ASSERT_EQ(a.Run({"styles", "set", "1234", "calh020"}).status, 0);
    const ThrottledRelay relay(250'000);
    const Station b("B", relay.conninfo(plantDb.name()), "PlantTimeout,1\r\n");
    ASSERT_EQ(b.Print("1234").status, 0);
    ASSERT_EQ(b.Local("SELECT COUNT(*) FROM PrintStyle"), "integer:1");
    PlantRows(plantDb.conninfo(),
              "INSERT INTO print_style SELECT 's' || g, 'S' || g, 'calh025' FROM "
              "generate_series(1, 20000) g; SELECT 1");

    const CliRun printed = b.Print("S777");
    ASSERT_EQ(printed.status, 0) << printed.err;
    EXPECT_EQ(printed.err, "");
    EXPECT_EQ(b.Local("SELECT Layout FROM PrintJournal ORDER BY ID DESC LIMIT 1"), "text:C2");
    EXPECT_EQ(b.Local("SELECT COUNT(*) FROM PlantOutbox"), "integer:0");
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT count(*) FROM print_journal WHERE station = 'B'"),
              std::vector<std::string>{"2"});
    // Part of the new copy is staged; the old one is still the one in use.
    EXPECT_EQ(b.Local("SELECT COUNT(*) FROM PrintStyle"), "integer:1");
    const std::string staged = b.Local("SELECT COUNT(*) FROM PlantCatalogueStaging");
    EXPECT_NE(staged, "integer:0");
    EXPECT_NE(staged, "integer:20001");

    const CliRun sync = b.Run({"plant", "sync"});
    EXPECT_EQ(sync.status, 0) << sync.err;
    EXPECT_EQ(sync.out, "Sent 0 rows on to the plant database; this station's copy of the catalogue is version " +
                            PlantRows(plantDb.conninfo(), "SELECT version FROM tarnwick_catalogue").at(0) + ".\n");
    EXPECT_EQ(b.Local("SELECT COUNT(*) FROM PrintStyle"), "integer:20001");
    EXPECT_EQ(b.Local("SELECT COUNT(*) FROM PlantCatalogueStaging"), "integer:0");
    EXPECT_NE(b.Run({"plant", "status"}).out.find("The station's copy holds the plant's catalogue as it is.\n"),
              std::string::npos);
}

// A service asks for many labels at once: every thread's question is answered from the
// plant's catalogue, its own answer, and the plant is never taken for down.
TEST(PlantStations, LookupsFromManyThreadsAtOnceEachGetTheirOwnAnswer) {
    TARNWICK_PLANT_SERVER(server);
    const ScratchPlantDatabase plantDb(server);
    const Station a("A", plantDb.conninfo());
    InitPlant(a);
    const std::vector<std::string> codes = {"calh020", "calh025", "calh015", "calh021", "calh018"};
    constexpr int kStyles = 40;
    std::string csv = "Style,PrintStyle\r\n";
    for (int i = 0; i < kStyles; ++i) csv += "S" + std::to_string(i) + "," + codes[i % codes.size()] + "\r\n";
    a.dir.Write("styles.csv", csv);
    const CliRun imported = a.Run({"styles", "import", (a.dir / "styles.csv").string()});
    ASSERT_EQ(imported.status, 0) << imported.err;
    // The copy in data.mdb must not answer for the plant: it holds other codes.
    testing::ExecSql(a.dir / "data.mdb", "UPDATE PrintStyle SET PrintStyle = 'calh022'");
    ASSERT_EQ(a.Local("SELECT count(*) FROM PrintStyle WHERE PrintStyle = 'calh022'"),
              "integer:" + std::to_string(kStyles));

    const auto config = ReadConfigFile(a.dir.path());
    ASSERT_TRUE(config) << config.error().text;
    std::atomic<int> notices{0};
    PlantStation station(
        *config, a.dir / "data.mdb", [&](const Failure&) { ++notices; }, false);
    constexpr int kThreads = 8, kRounds = 3;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            auto db = SettingsDb::Open(a.dir / "data.mdb");
            if (!db) {
                ++wrong;
                return;
            }
            for (int round = 0; round < kRounds; ++round)
                for (int i = t; i < t + kStyles; ++i) {
                    const int style = i % kStyles;
                    const auto code = station.LookupStyle(*db, "S" + std::to_string(style));
                    if (!code || *code != codes[style % codes.size()]) ++wrong;
                }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(notices.load(), 0) << "the plant was taken for down";
    EXPECT_TRUE(station.answering());
}

TEST(PlantStations, PasswordInConfigIsRefusedBeforeAnythingConnects) {
    for (const std::string conninfo :
         {"host=x password=secret", "\"host=x, password='se cret'\"", "host=x password = secret"}) {
        const Station s("S", "");
        s.dir.Write("config.txt",
                    testing::ConfigText() + "ParallelPort,labels.prn\r\nPlantDatabase," + conninfo + "\r\n");
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"print", "--wip", "1", "--style", "1234", "--qty", "1"},
              {"styles", "list"},
              {"history"},
              {"plant", "status"}}) {
            const CliRun run = s.Run(command);
            EXPECT_EQ(run.status, 1) << conninfo << ' ' << command[0];
            EXPECT_EQ(run.err, "The settings file \"" + (s.dir / "config.txt").string() +
                                   "\" gives PlantDatabase with a password, which every operator could read "
                                   "there. Remove the password from PlantDatabase and put it in the .pgpass file "
                                   "of the station's user (or the file PGPASSFILE names), or use a client "
                                   "certificate, then try again.\n")
                << conninfo << ' ' << command[0];
        }
        EXPECT_EQ(s.Device(), "");
    }
}

// The private server stopped as a crash stops it, and started again however the test ends.
struct StoppedServer {
    StoppedServer() { Control("stop-immediate"); }
    ~StoppedServer() { Control("start-again"); }
    static void Control(const std::string& action) {
        const CliRun run = testing::RunProgram(TARNWICK_PRIVATE_POSTGRES, {action, std::getenv("TARNWICK_PG_SOCKET")});
        EXPECT_EQ(run.status, 0) << action << ": " << run.err;
    }
};

// A server that takes the connection and never says a word: the kernel completes it from the backlog.
struct SilentServer {
    SilentServer() {
        std::string pattern = "/tmp/tarnwick-silent-XXXXXX";
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, (folder + "/.s.PGSQL.5999").c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener, 16), 0);
    }
    ~SilentServer() {
        ::close(listener);
        std::filesystem::remove_all(folder);
    }
    std::string conninfo() const { return "host=" + folder + " port=5999 dbname=tarnwick"; }
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    std::string folder;
};

TEST(PlantOutage, LabelsPrintFromTheCopyAndTheirRowsArriveOnce) {
    TARNWICK_PLANT_SERVER(server);
    const ScratchPlantDatabase plantDb(server);
    for (const bool stop : {false, true}) {
        const std::string name = stop ? "STOPPED" : "STALLED";
        const Station s(name, plantDb.conninfo(), "PlantTimeout,1\r\n");
        if (!stop) InitPlant(s);
        ASSERT_EQ(s.Run({"styles", "set", "1234", stop ? "calh015" : "calh020"}).status, 0);
        std::optional<StoppedServer> stopped;
        std::optional<SilentServer> silent;
        if (stop) stopped.emplace();
        else s.Configure(silent.emplace().conninfo(), "PlantTimeout,1\r\n");
        const std::string told = "The plant database \"" + (stop ? plantDb.conninfo() : silent->conninfo()) +
                                 "\" cannot be used: " + (stop ? "" : "no answer within the time allowed.");

        const auto start = std::chrono::steady_clock::now();
        const CliRun printed = s.Print("1234");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << name;
        EXPECT_EQ(printed.status, 0) << printed.err;
        EXPECT_EQ(s.Local("SELECT Layout || ' ' || Outcome FROM PrintJournal"), stop ? "text:E sent" : "text:C1 sent");
        EXPECT_TRUE(printed.err.starts_with(told)) << printed.err;
        EXPECT_NE(printed.err.find(" This station prints from its own copy of the style catalogue, taken "),
                  std::string::npos)
            << printed.err;
        // On the station's clock, as History shows times.
        EXPECT_TRUE(std::regex_search(
            printed.err, std::regex(" taken \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, and keeps its labels' "
                                    "rows in data.mdb until the plant database answers again.\n$")))
            << printed.err;
        EXPECT_EQ(std::count(printed.err.begin(), printed.err.end(), '\n'), 1) << "told once: " << printed.err;

        stopped.reset();
        silent.reset();
        s.Configure(plantDb.conninfo(), "PlantTimeout,1\r\n");
        for (const char* sent : {"Sent 1 row on", "Sent 0 rows on"}) {
            const CliRun sync = s.Run({"plant", "sync"});
            EXPECT_EQ(sync.status, 0) << sync.err;
            EXPECT_TRUE(sync.out.starts_with(sent)) << sync.out;
        }
        EXPECT_EQ(PlantRows(plantDb.conninfo(),
                            "SELECT layout || ' ' || outcome FROM print_journal WHERE station = '" + name + "'"),
                  std::vector<std::string>{stop ? "E sent" : "C1 sent"});
    }
}

}  // namespace
}  // namespace tarnwick
