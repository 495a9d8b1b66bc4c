#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plantdb/pg_connection.h"
#include "support/private_postgres.h"
#include "support/run_cli.h"
#include "support/temp_folder.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::CliRun;

// A loopback socket of the given type on `address`, port 0 meaning any free one.
struct Loopback {
    Loopback(const char* address, int type, int port = 0) : fd(::socket(AF_INET, type, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, address, &a.sin_addr);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (bound && type == SOCK_STREAM) bound = ::listen(fd, 16) == 0;
        socklen_t size = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
        this->port = std::to_string(ntohs(a.sin_port));
    }
    ~Loopback() { ::close(fd); }
    int fd;
    bool bound = false;
    std::string port;
};

std::string FreePort() { return Loopback("127.0.0.1", SOCK_STREAM).port; }

// A private PostgreSQL of this suite's own on a unix socket and on localhost's TCP port.
class TcpPlantServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_.emplace();
        port_ = FreePort();
        const CliRun started = testing::RunProgram(TARNWICK_PRIVATE_POSTGRES,
                                                   {"start", "--tcp", port_, (folder_->path() / "pg").string()});
        if (started.status != 0) {
            why_ = "the private PostgreSQL did not start: " + started.err;
            return;
        }
        user_ = started.out.substr(started.out.find("TARNWICK_PG_SUPERUSER=") + 22);
        while (!user_.empty() && (user_.back() == '\n' || user_.back() == ' ')) user_.pop_back();
    }
    static void TearDownTestSuite() {
        if (why_.empty()) testing::RunProgram(TARNWICK_PRIVATE_POSTGRES, {"stop", (folder_->path() / "pg").string()});
        folder_.reset();
    }
    void SetUp() override {
        if (!why_.empty()) {
            if (testing::PlantServerRequired()) GTEST_FAIL() << why_;
            GTEST_SKIP() << why_;
        }
    }
    static std::string Socket() {
        return "host=" + (folder_->path() / "pg").string() + " port=" + port_ + " user=" + user_;
    }
    // Before a case's own options, which may override it.
    static std::string Tcp() { return "user=" + user_ + " dbname=postgres "; }

    static inline std::optional<testing::TempDir> folder_;
    static inline std::string port_, user_, why_;
};

using PlantConnect = TcpPlantServer;

// Stands in for a station's PlantTimeout.
constexpr auto kBound = 1s;

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST_F(PlantConnect, LaterHostsAreReachedWithinTheBound) {
    const Loopback silent("127.0.0.2", SOCK_STREAM), silentToo("127.0.0.3", SOCK_STREAM);
    ASSERT_TRUE(silent.bound && silentToo.bound);
    const std::string refused = FreePort();
    const bool localhost = std::system("getent -s files hosts localhost >/dev/null") == 0;
    if (!localhost) std::printf("[ note     ] /etc/hosts has no localhost: no name is looked up\n");
    const struct {
        std::string conninfo, reached;  // reached empty: no server answers
        std::string message = "";
    } cases[] = {
        {"host=127.0.0.2,127.0.0.1 port=" + silent.port + "," + port_, "127.0.0.1"},
        // A name looked up: only where /etc/hosts has it, so that no name server is asked.
        {localhost ? "host=127.0.0.2,localhost port=" + silent.port + "," + port_ + " target_session_attrs=read-write"
                   : "host=127.0.0.1 port=" + port_,
         localhost ? "localhost" : "127.0.0.1"},
        {"host=127.0.0.1,127.0.0.2,127.0.0.1 port=" + refused + "," + silent.port + "," + port_, "127.0.0.1"},
        {"host=127.0.0.2 port=" + silent.port, "", "no answer within the time allowed"},
        {"host=127.0.0.2,127.0.0.3 port=" + silent.port + "," + silentToo.port, "",
         "connection to server at \"127.0.0.2\", port " + silent.port +
             ": no answer within the time allowed. "
             "Connection to server at \"127.0.0.3\", port " +
             silentToo.port + ": no answer within the time allowed"},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        auto db = PgConnection::Open(Tcp() + c.conninfo, PgClock::now() + kBound);
        const auto took = std::chrono::steady_clock::now() - start;
        std::printf("[ measured ] %.3f s: %s\n", Seconds(took), c.conninfo.c_str());
        if (c.reached.empty()) {
            ASSERT_FALSE(db.has_value()) << c.conninfo;
            EXPECT_EQ(db.error().message, c.message);
            EXPECT_LT(took, kBound + 1s) << c.conninfo;
            continue;
        }
        ASSERT_TRUE(db.has_value()) << c.conninfo << ": " << db.error().message;
        EXPECT_NE(db->Describe().find(" on " + c.reached + " (port " + port_ + ")"), std::string::npos)
            << db->Describe();
        const auto rows = db->Run("SELECT 1", PgClock::now() + kBound);
        ASSERT_TRUE(rows.has_value()) << rows.error().message;
        EXPECT_EQ(rows->Text(0, 0), "1");
    }
}

// Sets an environment variable for one scope and puts back what was there.
struct Env {
    Env(const char* name, std::optional<std::string> value) : name(name) {
        if (const char* was = std::getenv(name)) old = was;
        if (value) ::setenv(name, value->c_str(), 1);
        else ::unsetenv(name);
    }
    ~Env() {
        if (old) ::setenv(name, old->c_str(), 1);
        else ::unsetenv(name);
    }
    const char* name;
    std::optional<std::string> old;
};

std::string SysconfDir() {
    std::string dir;
    if (FILE* p = ::popen("pg_config --sysconfdir", "r")) {
        char line[512];
        if (std::fgets(line, sizeof line, p) != nullptr) dir = line;
        ::pclose(p);
    }
    while (!dir.empty() && dir.back() == '\n') dir.pop_back();
    return dir;
}

// libpq's messages run over several lines; ours are one, and must still read as sentences.
TEST_F(PlantConnect, FailuresReadAsSentences) {
    const std::string refused = FreePort();
    const Loopback closing("127.0.0.1", SOCK_STREAM);
    std::thread closer([&] { ::close(::accept(closing.fd, nullptr, nullptr)); });
    const struct {
        std::string conninfo, message;
    } cases[] = {
        {"host=127.0.0.1 port=" + refused, "connection to server at \"127.0.0.1\", port " + refused +
                                               " failed: Connection refused. Is the server "
                                               "running on that host and accepting TCP/IP connections?"},
        {"host=127.0.0.1 port=" + closing.port + " sslmode=disable",
         "connection to server at \"127.0.0.1\", port " + closing.port +
             " failed: server closed the connection "
             "unexpectedly. This probably means the server terminated abnormally before or while processing the "
             "request."},
        {"host=127.0.0.1 port=" + port_ + " user=tarnwick_no_such_login",
         "connection to server at \"127.0.0.1\", port " + port_ +
             " failed: FATAL: role \"tarnwick_no_such_login\" "
             "does not exist"},
    };
    for (const auto& c : cases) {
        const auto db = PgConnection::Open(Tcp() + c.conninfo, PgClock::now() + kBound);
        ASSERT_FALSE(db.has_value()) << c.conninfo;
        EXPECT_EQ(db.error().message, c.message);
    }
    closer.join();
}

// The message for an undefined service names the file libpq reads: a section written there connects.
TEST_F(PlantConnect, MissingServiceSaysWhereItsDefinitionGoes) {
    const testing::TempDir home, sysconf;
    const std::string service = "tarnwick_line9";
    const Env noUserFile("PGSERVICEFILE", std::nullopt), noService("PGSERVICE", std::nullopt),
        homeIs("HOME", home.path().string());
    const std::string head = "definition of service \"" + service + "\" not found. Define it as a section [" + service +
                             "] in ~/.pg_service.conf of the station's user, or for every user of the "
                             "station in ";
    const struct {
        std::optional<std::string> sysconfdir;
        std::string names;
        std::filesystem::path file;  // where the section is then written
    } cases[] = {
        {std::nullopt, SysconfDir() + "/pg_service.conf", home / ".pg_service.conf"},
        {sysconf.path().string(), sysconf.path().string() + "/pg_service.conf (in the folder PGSYSCONFDIR names)",
         sysconf / "pg_service.conf"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(home / ".pg_service.conf");
        const Env sysconfIs("PGSYSCONFDIR", c.sysconfdir);
        const auto missing = PgConnection::Open("service=" + service, PgClock::now() + kBound);
        ASSERT_FALSE(missing.has_value());
        EXPECT_EQ(missing.error().message, head + c.names);
        std::ofstream(c.file) << "[" << service << "]\nhost=127.0.0.1\nport=" << port_ << "\nuser=" << user_
                              << "\ndbname=postgres\n";
        const auto defined = PgConnection::Open("service=" + service, PgClock::now() + kBound);
        EXPECT_TRUE(defined.has_value()) << c.file << ": " << (defined ? "" : defined.error().message);
    }
}

const std::vector<std::string> kPrint = {"print",   "--wip", "004512",        "--style", "1234",  "--color", "5",
                                         "--waist", "32",    "--length-desc", "R",       "--qty", "1"};

struct Station {
    explicit Station(const std::string& conninfo) {
        Configure(conninfo);
        dir.Write("labels.prn", "");
        EXPECT_EQ(Run({"db", "init"}).status, 0);
    }
    void Configure(const std::string& conninfo) const {
        dir.Write("config.txt", testing::ConfigText() + "ParallelPort,labels.prn\r\nPlantDatabase,\"" + conninfo +
                                    "\"\r\nStation,NAMED\r\nPlantTimeout,1\r\n");
    }
    CliRun Run(std::vector<std::string> args, const std::string& around = "") const {
        args.push_back("--folder=" + dir.path().string());
        return testing::RunProgram(TARNWICK_CLI, args, "/dev/null", "timeout -s KILL 60 " + around);
    }
    testing::TempDir dir;
};

using PlantConnectOutage = TcpPlantServer;

// A name server that takes the question and never answers, in a mount namespace of the
// command's own so that only it reads the resolv.conf naming that server.
TEST_F(PlantConnectOutage, LabelsDoNotWaitForTheNameServer) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to bind-mount a resolv.conf in a mount namespace";
    if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "unshare -m is missing or not allowed here";
    const Loopback mute("127.0.0.2", SOCK_DGRAM, 53);
    ASSERT_TRUE(mute.bound) << "port 53 on 127.0.0.2 is taken";
    const testing::ScratchPlantDatabase plantDb(Socket());
    const Station s(plantDb.conninfo());
    ASSERT_EQ(s.Run({"plant", "init"}).status, 0);
    ASSERT_EQ(s.Run({"styles", "set", "1234", "calh020"}).status, 0);
    s.dir.Write("resolv.conf", "nameserver 127.0.0.2\noptions timeout:5 attempts:2\n");
    const std::string name = "plantdb.tarnwick-test.invalid";
    s.Configure("host=" + name + " port=" + port_ + " dbname=" + plantDb.name());
    const std::string around = "unshare -m sh -c 'mount --bind " + (s.dir / "resolv.conf").string() +
                               " /etc/resolv.conf && exec \"$0\" \"$@\"'";
    for (const std::vector<std::string>& command : {kPrint, {"plant", "status"}}) {
        const auto start = std::chrono::steady_clock::now();
        const CliRun run = s.Run(command, around);
        const auto took = std::chrono::steady_clock::now() - start;
        std::printf("[ measured ] %.3f s: %s\n", Seconds(took), command[0].c_str());
        EXPECT_LT(took, kBound + 1s) << command[0];
        EXPECT_NE((run.out + run.err).find("the name server did not answer for " + name + " within 1 s."),
                  std::string::npos)
            << run.out << run.err;
        if (command[0] == "print") {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_FALSE(testing::ReadAll(s.dir / "labels.prn").empty()) << "the label reached the device";
            EXPECT_EQ(testing::QueryTyped(s.dir / "data.mdb", "SELECT Layout || ' ' || Outcome FROM PrintJournal"),
                      "text:C1 sent");
        }
    }
}

// libpq's own list would spend the whole bound on the silent first server.
TEST_F(PlantConnectOutage, SecondHostTakesTheLabelsRow) {
    const Loopback silent("127.0.0.2", SOCK_STREAM);
    ASSERT_TRUE(silent.bound);
    const testing::ScratchPlantDatabase plantDb(Socket());
    const Station s(plantDb.conninfo());
    ASSERT_EQ(s.Run({"plant", "init"}).status, 0);
    ASSERT_EQ(s.Run({"styles", "set", "1234", "calh020"}).status, 0);
    s.Configure("host=127.0.0.2,127.0.0.1 port=" + silent.port + "," + port_ + " user=" + user_ +
                " dbname=" + plantDb.name());
    const auto start = std::chrono::steady_clock::now();
    const CliRun printed = s.Run(kPrint);
    std::printf("[ measured ] %.3f s: print\n", Seconds(std::chrono::steady_clock::now() - start));
    EXPECT_EQ(printed.status, 0) << printed.err;
    EXPECT_EQ(printed.err, "") << "the plant answered on the second host";
    auto db = PgConnection::Open(plantDb.conninfo(), PgClock::now() + 10s);
    ASSERT_TRUE(db.has_value()) << db.error().message;
    const auto journal =
        db->Run("SELECT station || ' ' || layout || ' ' || outcome FROM print_journal", PgClock::now() + 10s);
    ASSERT_TRUE(journal.has_value()) << journal.error().message;
    ASSERT_EQ(journal->size(), 1);
    EXPECT_EQ(journal->Text(0, 0), "NAMED C1 sent");
}

// A server whose certificate names plantdb.test, and two names for loopback in a mount
// namespace's /etc/hosts: the certificate is checked against the name, not the address.
TEST_F(PlantConnectOutage, CertificateIsCheckedAgainstTheName) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to bind-mount an /etc/hosts in a mount namespace";
    if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "unshare -m is missing or not allowed here";
    if (std::system("command -v openssl >/dev/null") != 0) GTEST_SKIP() << "openssl (the tool) is not installed";
    const testing::TempDir tls;
    const std::string data = (folder_->path() / "pg" / "data").string(), in = tls.path().string();
    const std::string make =
        "cd " + in +
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 1 -subj "
        "'/CN=tarnwick test ca' && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "
        "/CN=plantdb.test && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out "
        "server.crt -days 1 && cp server.crt server.key " +
        data + " && chown --reference=" + data + " " + data + "/server.crt " + data + "/server.key && chmod 600 " +
        data + "/server.key";
    ASSERT_EQ(std::system(("(" + make + ") >/dev/null 2>&1").c_str()), 0) << make;
    std::ofstream(data + "/postgresql.conf", std::ios::app)
        << "ssl = on\nssl_cert_file = 'server.crt'\nssl_key_file = 'server.key'\n";
    const std::string pg = (folder_->path() / "pg").string();
    ASSERT_EQ(testing::RunProgram(TARNWICK_PRIVATE_POSTGRES, {"stop", pg}).status, 0);
    ASSERT_EQ(testing::RunProgram(TARNWICK_PRIVATE_POSTGRES, {"start-again", pg}).status, 0);
    tls.Write("hosts", testing::ReadAll("/etc/hosts") + "\n127.0.0.1 plantdb.test wrongname.test\n");
    const std::string around =
        "unshare -m sh -c 'mount --bind " + (tls / "hosts").string() + " /etc/hosts && exec \"$0\" \"$@\"'";
    const testing::ScratchPlantDatabase plantDb(Socket());
    const Station s(plantDb.conninfo());
    ASSERT_EQ(s.Run({"plant", "init"}).status, 0);
    const struct {
        std::string host, told;
    } cases[] = {
        {"plantdb.test", ""},
        {"wrongname.test", "cannot be used: connection to server at \"wrongname.test\" (127.0.0.1), port " + port_ +
                               " failed: server certificate for \"plantdb.test\" does not match host name "
                               "\"wrongname.test\".\n"},
        {"127.0.0.2,plantdb.test", ""},
    };
    for (const auto& c : cases) {
        s.Configure("host=" + c.host + " port=" + (c.host.find(',') != std::string::npos ? "9," : "") + port_ +
                    " user=" + user_ + " dbname=" + plantDb.name() + " sslmode=verify-full sslrootcert=" + in +
                    "/ca.pem");
        const CliRun run = s.Run({"plant", "status"}, around);
        if (c.told.empty()) EXPECT_EQ(run.err, "") << c.host;
        else EXPECT_TRUE(run.err.ends_with(c.told)) << run.err;
    }
}

}  // namespace
}  // namespace tarnwick
