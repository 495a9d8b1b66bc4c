#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "plantdb/plant_database.h"
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
    EXPECT_TRUE(init.out.starts_with("Made the plant's tables (version 1) in ")) << init.out;
}

std::string CatalogueOf(const std::string& conninfo) {
    const auto rows = PlantRows(conninfo, "SELECT c.version || ' ' || coalesce((SELECT string_agg(style || '=' || "
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
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT station || ' ' || reprint_of || ' ' || reprint_of_station || ' ' "
                                            "|| outcome FROM print_journal WHERE reprint_of IS NOT NULL"),
              std::vector<std::string>{"A " + bJob + " B sent"});
    EXPECT_EQ(a.Local("SELECT ReprintOfStation || ' ' || ReprintOf FROM PrintJournal"), "text:B " + bJob);
}

// A login role of the whole server, so named per process and dropped however the test ends.
struct OperatorRole {
    explicit OperatorRole(std::string server) : server(std::move(server)) {
        const auto made = testing::RunOnPlantServer(this->server, "CREATE ROLE " + name + " LOGIN IN ROLE "
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
        EXPECT_TRUE(refused.err.starts_with("The plant database \"" + conninfo + "\" cannot be used: this station's "
                                            "login may not do that ("))
            << refused.err;
        EXPECT_TRUE(refused.err.ends_with("); changing styles needs a login in the role tarnwick_admin. No print "
                                          "style was changed.\n"))
            << refused.err;
        EXPECT_EQ(CatalogueOf(plantDb.conninfo()), before) << change[1];
    }
    const CliRun status = line3.Run({"plant", "status"});
    EXPECT_NE(status.out.find("Role: " + role.name + " (may not change styles: not in tarnwick_admin)\n"),
              std::string::npos)
        << status.out << status.err;

    const CliRun printed = line3.Print("1234");
    ASSERT_EQ(printed.status, 0) << printed.err;
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT station || ' ' || layout || ' ' || outcome FROM print_journal"),
              std::vector<std::string>{"LINE3 C1 sent"});
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
    job.stream = "\x1B" "A label\x1BZ";
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
            const auto forwarded =
                ForwardJobs(*db, "station-id-1", "DIRECT", {Job(static_cast<std::int64_t>(i) + 1, outcome)},
                            PgClock::now() + 10s);
            ASSERT_TRUE(forwarded.has_value()) << forwarded.error().message;
        }
        EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT trim(outcome || ' ' || message) FROM print_journal "
                                                "WHERE station_job = " + std::to_string(i + 1)),
                  std::vector<std::string>{cases[i].kept})
            << cases[i].forwarded.front() << " then " << cases[i].forwarded.back();
    }

    // A data.mdb restored from a copy gives job 1 again, to a later job: both are kept.
    JournalEntry again = Job(1, "sent");
    again.time = "2026-12-09T07:00:00.000Z";
    ASSERT_TRUE(ForwardJobs(*db, "station-id-1", "DIRECT", {again}, PgClock::now() + 10s).has_value());
    EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT count(*) FROM print_journal WHERE station_job = 1"),
              std::vector<std::string>{"2"});

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
        "  1234: the plant's code calh022 stays; this station had calh020\n" + journal,
        // The station's own styles are kept from before the plant's first copy replaced them.
        "Styles: 0 added to the plant's catalogue, 2 there already.\n"
        "  1234: the plant's code calh022 stays; this station had calh020\n" + journal,
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
        EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT string_agg(style || ' ' || layout || ' ' || outcome, ', ' "
                                                "ORDER BY station_job) FROM print_journal WHERE station = 'S'"),
                  std::vector<std::string>{"1234 C1 sent, 5555 E sent"});
        EXPECT_TRUE(CatalogueOf(plantDb.conninfo()).ends_with(" 1234=calh022,5555=calh015"));
        EXPECT_EQ(s.Local("SELECT COUNT(*) FROM PlantOutbox"), "integer:0");
    }
}

TEST(PlantStations, PasswordInConfigIsRefusedBeforeAnythingConnects) {
    for (const std::string conninfo : {"host=x password=secret", "\"host=x, password='se cret'\"",
                                        "host=x password = secret"}) {
        const Station s("S", "");
        s.dir.Write("config.txt", testing::ConfigText() + "ParallelPort,labels.prn\r\nPlantDatabase," + conninfo +
                                      "\r\n");
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"print", "--wip", "1", "--style", "1234", "--qty", "1"},
              {"styles", "list"}, {"history"}, {"plant", "status"}}) {
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
        EXPECT_EQ(s.Local("SELECT Layout || ' ' || Outcome FROM PrintJournal"),
                  stop ? "text:E sent" : "text:C1 sent");
        EXPECT_TRUE(printed.err.starts_with(told)) << printed.err;
        EXPECT_NE(printed.err.find(" This station prints from its own copy of the style catalogue, taken "),
                  std::string::npos)
            << printed.err;
        EXPECT_TRUE(printed.err.ends_with(" (UTC), and keeps its labels' rows in data.mdb until the plant database "
                                          "answers again.\n"))
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
        EXPECT_EQ(PlantRows(plantDb.conninfo(), "SELECT layout || ' ' || outcome FROM print_journal WHERE station = '" +
                                                    name + "'"),
                  std::vector<std::string>{stop ? "E sent" : "C1 sent"});
    }
}

}  // namespace
}  // namespace tarnwick
