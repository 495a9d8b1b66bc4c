#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "service/api.h"
#include "service/running_service.h"
#include "store/printers.h"
#include "store/station_name.h"
#include "store/tokens.h"
#include "support/run_cli.h"
#include "support/stalled_device.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using nlohmann::json;
using testing::Reply;
using testing::RunningService;
using testing::TempPlant;

// A plant whose raw device is a file in its folder, style 1234 printing C1, and three
// logins: an operator of every printer, an admin, and an operator of printer "other" only.
struct ServicePlant {
    ServicePlant() : plant(testing::ConfigText() + "ParallelPort,labels.prn\r\n") {
        plant.dir.Write("labels.prn", "");
        plant.dir.Write("other.prn", "");
        plant.SetStyle("1234", "calh020");
        PrinterChange other;
        other.name = "other";
        other.route = "device";
        other.target = (plant.dir / "other.prn").string();
        const auto added = AddPrinter(plant.dir.path(), other);
        EXPECT_TRUE(added) << (added ? "" : added.error().text);
        operatorToken = Token("line1", TokenRole::Operator, {});
        adminToken = Token("boss", TokenRole::Admin, {});
        limitedToken = Token("limited", TokenRole::Operator, {"other"});
    }
    std::string Token(const std::string& name, TokenRole role, std::vector<std::string> printers) {
        auto secret = AddToken(plant.dir / "data.mdb", name, role, std::move(printers));
        EXPECT_TRUE(secret) << (secret ? "" : secret.error().text);
        return secret ? *secret : "";
    }
    std::string Device() const { return testing::ReadAll(plant.dir / "labels.prn"); }

    TempPlant plant;
    std::string operatorToken, adminToken, limitedToken;
};

std::string Bearer(const std::string& token) { return "Authorization: Bearer " + token; }
const std::string kJson = "Content-Type: application/json";
const std::string kLabel = R"({"wip":"004512","style":"1234","color":"5","waist":"32","lengthDesc":"R","quantity":24})";

// Whether a label is in hand: its row written ahead, the printer not yet answered.
bool RowWrittenAhead(const std::filesystem::path& folder) {
    for (int i = 0; i < 500; ++i) {
        const auto history = testing::RunProgram(TARNWICK_CLI, {"history", "--folder", folder.string()});
        if (history.out.find("may have printed") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int Labels(const std::string& device) {
    int n = 0;
    for (std::size_t at = device.find("\x1BZ"); at != std::string::npos; at = device.find("\x1BZ", at + 2)) ++n;
    return n;
}

// Every answer the API gives to a request it refuses, and its error's code and field.
TEST(Service, AnswersEachRequestWithItsStatusCodeAndField) {
    ServicePlant p;
    RunningService service(p.plant.dir.path());
    const std::string op = Bearer(p.operatorToken), admin = Bearer(p.adminToken), limited = Bearer(p.limitedToken);
    const struct {
        std::string method, path, body;
        std::vector<std::string> headers;
        int status;
        std::string code, field, says;
    } cases[] = {
        {"GET", "/healthz", "", {}, 200, "", "", "\"status\":\"ok\""},
        {"GET", "/api/v1/printers", "", {}, 401, "unauthorized", "Authorization", "A token is needed"},
        {"GET", "/api/v1/printers", "", {"Authorization: Bearer tw_0000"}, 401, "unauthorized", "Authorization", ""},
        {"GET",
         "/api/v1/printers",
         "",
         {"Authorization: Basic Zm9vOmJhcg=="},
         401,
         "unauthorized",
         "Authorization",
         ""},
        {"POST",
         "/api/v1/labels",
         kLabel,
         {op, "Content-Type: text/plain"},
         415,
         "unsupported_media_type",
         "Content-Type",
         ""},
        {"POST", "/api/v1/labels", "{\"wip\":", {op, kJson}, 400, "malformed", "", "not valid JSON"},
        {"POST", "/api/v1/labels", "[1,2]", {op, kJson}, 400, "malformed", "", "JSON object"},
        {"POST", "/api/v1/labels", R"({"wipp":"1"})", {op, kJson}, 400, "malformed", "wipp", ""},
        {"POST", "/api/v1/labels", R"({"wip":12})", {op, kJson}, 400, "malformed", "wip", "must be a text"},
        {"POST", "/api/v1/labels", R"({"wip":"1","quantity":1.5})", {op, kJson}, 400, "malformed", "quantity", ""},
        {"POST", "/api/v1/labels", R"({"wip":"1","brand":"yes"})", {op, kJson}, 400, "malformed", "brand", ""},
        {"POST",
         "/api/v1/labels",
         R"({"style":"1234"})",
         {op, kJson},
         422,
         "refused",
         "wip",
         "You must select a file or manually enter the data."},
        {"POST",
         "/api/v1/labels",
         R"({"wip":"1","style":"9999"})",
         {op, kJson},
         422,
         "refused",
         "style",
         "The selected style does not exist in the database."},
        {"POST",
         "/api/v1/labels",
         R"({"wip":"1","style":"1234","quantity":0})",
         {op, kJson},
         422,
         "refused",
         "quantity",
         "Qty box"},
        {"POST",
         "/api/v1/labels",
         R"({"wip":"1","style":"1234","printer":"nosuch"})",
         {op, kJson},
         422,
         "refused",
         "printer",
         "nosuch"},
        {"POST", "/api/v1/labels", kLabel, {limited, kJson}, 403, "forbidden", "printer", "may not print"},
        {"PUT", "/api/v1/styles/777", R"({"code":"calh021"})", {op, kJson}, 403, "forbidden", "", "admin"},
        {"PUT", "/api/v1/styles/777", R"({"code":"nonsense"})", {admin, kJson}, 422, "refused", "code", ""},
        {"PUT", "/api/v1/styles/777", R"({"code":"calh021"})", {admin, kJson}, 201, "", "", "calh021"},
        {"PUT", "/api/v1/styles/777", R"({"code":"calh020"})", {admin, kJson}, 200, "", "", "calh020"},
        {"DELETE", "/api/v1/styles/777", "", {admin}, 204, "", "", ""},
        {"DELETE", "/api/v1/styles/777", "", {admin}, 404, "not_found", "", ""},
        {"GET", "/api/v1/jobs/999", "", {op}, 404, "not_found", "", "no job 999"},
        {"GET", "/api/v1/jobs/abc", "", {op}, 404, "not_found", "", ""},
        {"GET", "/api/v1/jobs?limit=0", "", {op}, 400, "malformed", "limit", ""},
        {"GET", "/api/v1/jobs?colour=red", "", {op}, 400, "malformed", "colour", ""},
        {"GET", "/api/v1/nothing", "", {op}, 404, "not_found", "", ""},
        {"DELETE", "/api/v1/labels", "", {op}, 405, "method_not_allowed", "", ""},
        {"POST", "/api/v1/labels", "", {op, kJson, "Content-Length: 2147483648"}, 413, "too_large", "", ""},
        {"POST",
         "/api/v1/cut-sheets",
         "a,b\r\n",
         {op, "Content-Type: image/png"},
         415,
         "unsupported_media_type",
         "Content-Type",
         ""},
        {"POST", "/api/v1/cut-sheets/0123456789abcdef/labels", "{}", {op, kJson}, 404, "not_found", "", ""},
        {"POST", "/api/v1/cut-sheets/../../etc/labels", "{}", {op, kJson}, 404, "not_found", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path + " " + c.body);
        std::vector<std::string> headers = c.headers;
        std::string body = c.body;
        const bool declaredOnly = std::any_of(headers.begin(), headers.end(),
                                              [](const std::string& h) { return h.starts_with("Content-Length"); });
        const Reply reply = declaredOnly ? [&] {
            const int fd = testing::Connect(service.port());
            std::string bytes = c.method + " " + c.path + " HTTP/1.1\r\nHost: x\r\n";
            for (const auto& h : headers) bytes += h + "\r\n";
            testing::SendAll(fd, bytes + "\r\n");
            std::string pending;
            Reply r = testing::ReadReply(fd, pending);
            ::close(fd);
            return r;
        }()
                                         : service.Call(c.method, c.path, body, headers);
        EXPECT_EQ(reply.status, c.status) << reply.body;
        if (!c.code.empty()) {
            const json error = json::parse(reply.body, nullptr, false);
            ASSERT_TRUE(error.contains("error")) << reply.body;
            EXPECT_EQ(error["error"]["code"], c.code);
            EXPECT_EQ(error["error"]["field"].is_null() ? "" : error["error"]["field"].get<std::string>(), c.field);
        }
        EXPECT_NE(reply.body.find(c.says), std::string::npos) << reply.body;
    }
    // Nothing the table sent reached the printer; nothing it sent is in the log.
    EXPECT_EQ(p.Device(), "");
    EXPECT_EQ(service.Log().find(p.operatorToken), std::string::npos);
}

// A typed label through the API is the CLI's compose of the same fields, byte for byte,
// and its job is in the journal as the service's.
TEST(Service, PrintsTheLabelComposeWritesAndJournalsIt) {
    ServicePlant p;
    RunningService service(p.plant.dir.path());
    const Reply printed = service.Call("POST", "/api/v1/labels", kLabel, {Bearer(p.operatorToken), kJson});
    ASSERT_EQ(printed.status, 201) << printed.body;
    const json answer = json::parse(printed.body);
    EXPECT_EQ(answer["layout"], "C1");
    EXPECT_EQ(answer["printer"], "default");
    EXPECT_EQ(answer["job"]["outcome"], "sent");
    EXPECT_EQ(answer["job"]["source"], "service:line1");
    EXPECT_EQ(answer["job"]["station"], HostName());

    // The CLI's print of the same fields, to the same device.
    const std::string served = p.Device();
    p.plant.dir.Write("labels.prn", "");
    const auto cli = testing::RunProgram(
        TARNWICK_CLI, {"print", "--wip", "004512", "--style", "1234", "--color", "5", "--waist", "32", "--length-desc",
                       "R", "--qty", "24", "--folder", p.plant.dir.path().string()});
    ASSERT_EQ(cli.status, 0) << cli.err;
    EXPECT_EQ(served, p.Device());
    ASSERT_EQ(Labels(served), 1);

    const Reply job = service.Call("GET", "/api/v1/jobs/" + std::to_string(answer["job"]["id"].get<int>()), "",
                                   {Bearer(p.operatorToken)});
    ASSERT_EQ(job.status, 200) << job.body;
    EXPECT_EQ(json::parse(job.body)["job"]["bytes"], served.size());
    const Reply preview =
        service.Call("GET", "/api/v1/jobs/" + std::to_string(answer["job"]["id"].get<int>()) + "/preview.png", "",
                     {Bearer(p.operatorToken)});
    ASSERT_EQ(preview.status, 200) << preview.body;
    EXPECT_EQ(preview.headers.at("content-type"), "image/png");
    EXPECT_EQ(preview.body.substr(1, 3), "PNG");
    EXPECT_EQ(preview.headers.at("x-label-quantity"), "24");
    const Reply listed = service.Call("GET", "/api/v1/jobs?wip=004512", "", {Bearer(p.operatorToken)});
    EXPECT_EQ(json::parse(listed.body)["jobs"].size(), 2u) << listed.body;

    // A login limited to printer "other" reprints there, and may not reprint on the station's own.
    const std::string limited = Bearer(p.limitedToken);
    const std::string id = std::to_string(answer["job"]["id"].get<int>());
    const Reply own = service.Call("POST", "/api/v1/jobs/" + id + "/reprint", R"({"quantity":2})", {limited, kJson});
    EXPECT_EQ(own.status, 403) << own.body;
    const Reply there = service.Call("POST", "/api/v1/jobs/" + id + "/reprint", R"({"quantity":2,"printer":"other"})",
                                     {limited, kJson});
    ASSERT_EQ(there.status, 201) << there.body;
    EXPECT_EQ(json::parse(there.body)["printer"], "other");
    EXPECT_EQ(json::parse(there.body)["job"]["reprintOf"], answer["job"]["id"]);
    EXPECT_EQ(Labels(testing::ReadAll(p.plant.dir / "other.prn")), 1);

    // A label refused for a printer that does not exist is recorded under the name asked for.
    const Reply unknown = service.Call("POST", "/api/v1/labels", R"({"wip":"1","style":"1234","printer":"line9"})",
                                       {Bearer(p.operatorToken), kJson});
    EXPECT_EQ(unknown.status, 422);
    EXPECT_EQ(json::parse(unknown.body)["job"]["printer"], "line9") << unknown.body;
}

// A retried request prints once: the same key gets the first answer; the same key with
// another body is refused; a key whose label was being sent when the service was killed
// says it may have printed, and is never sent again.
TEST(Service, AnIdempotencyKeyPrintsOnceAcrossRetriesAndKills) {
    ServicePlant p;
    auto service = std::make_unique<RunningService>(p.plant.dir.path());
    const std::vector<std::string> keyed{Bearer(p.operatorToken), kJson, "Idempotency-Key: cut-40123"};
    const Reply first = service->Call("POST", "/api/v1/labels", kLabel, keyed);
    ASSERT_EQ(first.status, 201) << first.body;
    const Reply again = service->Call("POST", "/api/v1/labels", kLabel, keyed);
    EXPECT_EQ(again.status, 201);
    EXPECT_EQ(again.headers.count("idempotent-replayed"), 1u);
    // The replay is the first answer, every field of it.
    EXPECT_EQ(json::parse(again.body), json::parse(first.body));
    const Reply other = service->Call("POST", "/api/v1/labels", R"({"wip":"9","style":"1234"})", keyed);
    EXPECT_EQ(other.status, 422);
    EXPECT_EQ(json::parse(other.body)["error"]["code"], "key_reused");
    // Another login's key of the same text is its own.
    const Reply admins =
        service->Call("POST", "/api/v1/labels", kLabel, {Bearer(p.adminToken), kJson, "Idempotency-Key: cut-40123"});
    EXPECT_EQ(admins.status, 201);
    EXPECT_EQ(Labels(p.Device()), 2);
    // A label the printer failed is answered as failed again, never as printed.
    PrinterChange gone;
    gone.name = "other";
    gone.target = (p.plant.dir / "gone" / "other.prn").string();
    ASSERT_TRUE(SetPrinter(p.plant.dir.path(), gone));
    const std::vector<std::string> failing{Bearer(p.operatorToken), kJson, "Idempotency-Key: to-a-gone-printer"};
    const std::string toOther = R"({"wip":"2","style":"1234","quantity":1,"printer":"other"})";
    const Reply failed = service->Call("POST", "/api/v1/labels", toOther, failing);
    EXPECT_EQ(failed.status, 503) << failed.body;
    const Reply failedAgain = service->Call("POST", "/api/v1/labels", toOther, failing);
    EXPECT_EQ(failedAgain.status, 503) << failedAgain.body;
    EXPECT_EQ(json::parse(failedAgain.body), json::parse(failed.body));

    // A cut sheet sent again with its key prints only the cuts that have not printed.
    const Reply sheet = service->Call("POST", "/api/v1/cut-sheets?name=cuts.csv",
                                      "WIP,Style,Color,Waist,Length,Length Desc,Line 1,Line 2,Line 3,Barcode,Made "
                                      "In,Qty,Stock\r\n40123,1234,7,32,30,REG,,,,,USA,1,WB1\r\n40124,1234,7,34,30,"
                                      "REG,,,,,USA,1,WB1\r\n",
                                      {Bearer(p.operatorToken), "Content-Type: text/csv"});
    ASSERT_EQ(sheet.status, 201) << sheet.body;
    const std::string sheetPath = "/api/v1/cut-sheets/" + json::parse(sheet.body)["id"].get<std::string>() + "/labels";
    const std::vector<std::string> sheetKey{Bearer(p.operatorToken), kJson, "Idempotency-Key: sheet-1"};
    EXPECT_EQ(service->Call("POST", sheetPath, R"({"cuts":"all"})", sheetKey).status, 201);
    const Reply sheetAgain = service->Call("POST", sheetPath, R"({"cuts":"all"})", sheetKey);
    EXPECT_EQ(sheetAgain.status, 201) << sheetAgain.body;
    EXPECT_EQ(json::parse(sheetAgain.body)["labels"].size(), 2u);
    EXPECT_EQ(Labels(p.Device()), 4);

    // Across a kill -9 and a restart, the kept key still answers.
    service->Kill(SIGKILL);
    service->Start();
    const Reply afterKill = service->Call("POST", "/api/v1/labels", kLabel, keyed);
    EXPECT_EQ(afterKill.status, 201) << afterKill.body;
    EXPECT_EQ(json::parse(afterKill.body)["job"]["id"], json::parse(first.body)["job"]["id"]);
    EXPECT_EQ(Labels(p.Device()), 4);

    // Killed while the printer takes nothing: the row is "sending", and a retry is told so.
    auto stalled = std::make_unique<testing::StalledDevice>(p.plant.dir / "labels.prn");
    const std::vector<std::string> stuck{Bearer(p.operatorToken), kJson, "Idempotency-Key: stuck"};
    std::thread hung([&] { (void)service->Call("POST", "/api/v1/labels", kLabel, stuck); });
    ASSERT_TRUE(RowWrittenAhead(p.plant.dir.path()));
    service->Kill(SIGKILL);
    hung.join();
    stalled.reset();
    std::filesystem::remove(p.plant.dir / "labels.prn");
    p.plant.dir.Write("labels.prn", "");
    service->Start();
    const Reply told = service->Call("POST", "/api/v1/labels", kLabel, stuck);
    EXPECT_EQ(told.status, 409) << told.body;
    EXPECT_NE(told.body.find("may have printed"), std::string::npos);
    EXPECT_EQ(p.Device(), "");
}

// Clients that hold connections open, send endless headers or a body a byte at a time,
// or pipeline: real requests are still answered, and the service stays up.
TEST(Service, HostileClientsDoNotStopRealRequests) {
    ServicePlant p;
    RunningService service(p.plant.dir.path());
    std::vector<int> slow;
    for (int i = 0; i < 300; ++i) {
        const int fd = testing::Connect(service.port());
        if (fd < 0) break;
        testing::SendAll(fd, "POST /api/v1/labels HTTP/1.1\r\nHost: x\r\nX-Slow: ");
        slow.push_back(fd);
    }
    EXPECT_EQ(slow.size(), 300u);
    const Reply real = service.Call("GET", "/api/v1/printers", "", {Bearer(p.operatorToken)});
    EXPECT_EQ(real.status, 200) << real.body;

    // 10,000 headers: refused by the connection's memory limit, not buffered.
    std::string many = "GET /api/v1/printers HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 10000; ++i) many += "X-Header-" + std::to_string(i) + ": value\r\n";
    const int fd = testing::Connect(service.port());
    testing::SendAll(fd, many + "\r\n");
    std::string pending;
    const Reply flooded = testing::ReadReply(fd, pending, std::chrono::seconds(5));
    EXPECT_TRUE(flooded.status == 0 || flooded.status == 413 || flooded.status == 431) << flooded.status;
    ::close(fd);

    // Two requests in one write: two answers, in order.
    const int piped = testing::Connect(service.port());
    testing::SendAll(piped, testing::RequestBytes("GET", "/healthz", "", {}) +
                                testing::RequestBytes("GET", "/api/v1/printers", "", {Bearer(p.operatorToken)}));
    pending.clear();
    EXPECT_EQ(testing::ReadReply(piped, pending).status, 200);
    const Reply second = testing::ReadReply(piped, pending);
    EXPECT_EQ(second.status, 200);
    EXPECT_NE(second.body.find("printers"), std::string::npos);
    ::close(piped);

    // A body at a byte a second is cut off by the connection timeout, and costs nothing else.
    const int trickle = testing::Connect(service.port());
    testing::SendAll(trickle, "POST /api/v1/labels HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{");
    EXPECT_EQ(service.Call("GET", "/healthz").status, 200);
    for (int s : slow) ::close(s);
    ::close(trickle);
    EXPECT_EQ(service.Call("GET", "/api/v1/printers", "", {Bearer(p.operatorToken)}).status, 200);
}

// A token added or revoked while the service runs counts once SIGHUP has it read the tokens again.
TEST(Service, ReadsTokensAgainOnSighup) {
    ServicePlant p;
    RunningService service(p.plant.dir.path());
    const std::string late = p.Token("late", TokenRole::Operator, {});
    const auto status = [&](const std::string& token) {
        return service.Call("GET", "/api/v1/printers", "", {Bearer(token)}).status;
    };
    EXPECT_EQ(status(late), 401);
    ASSERT_TRUE(RevokeToken(p.plant.dir / "data.mdb", "line1"));
    service.Signal(SIGHUP);
    for (int i = 0; i < 500 && service.Log().find("tokens read again") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(status(late), 200);
    EXPECT_EQ(status(p.operatorToken), 401);
}

// Repeated wrong tokens from one address are slowed down; the right one after the wait works.
TEST(Service, RepeatedWrongTokensAreSlowedDown) {
    ServicePlant p;
    RunningService service(p.plant.dir.path());
    std::vector<int> statuses;
    for (int i = 0; i < 7; ++i)
        statuses.push_back(service.Call("GET", "/api/v1/printers", "", {"Authorization: Bearer tw_guess"}).status);
    EXPECT_EQ(statuses, (std::vector<int>{401, 401, 401, 401, 401, 429, 429}));
    const Reply waiting = service.Call("GET", "/api/v1/printers", "", {Bearer(p.operatorToken)});
    EXPECT_EQ(waiting.status, 429);
    EXPECT_NE(waiting.headers.count("retry-after"), 0u);
    // Behind a proxy on loopback, the address it forwards is the one held back: others still get in.
    const auto viaProxy = [&](const std::string& client, const std::string& token) {
        return service.Call("GET", "/api/v1/printers", "", {Bearer(token), "X-Forwarded-For: " + client}).status;
    };
    for (int i = 0; i < 5; ++i) EXPECT_EQ(viaProxy("198.51.100.7", "tw_guess"), 401);
    EXPECT_EQ(viaProxy("198.51.100.7", p.operatorToken), 429);
    EXPECT_EQ(viaProxy("198.51.100.8", p.operatorToken), 200);
}

// SIGTERM with a label in hand: the label and its row finish, new requests are refused,
// and the service ends of itself.
TEST(Service, StopsAfterTheLabelInHand) {
    ServicePlant p;
    RunningService service(p.plant.dir.path());
    testing::StalledDevice printer(p.plant.dir / "labels.prn");
    Reply inHand;
    std::thread printing([&] {
        inHand = service.Call("POST", "/api/v1/labels", kLabel, {Bearer(p.operatorToken), kJson});
    });
    ASSERT_TRUE(RowWrittenAhead(p.plant.dir.path()));
    service.Signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Reply refused = service.Call("GET", "/api/v1/printers", "", {Bearer(p.operatorToken)});
    EXPECT_TRUE(refused.status == 503 || refused.status == 0) << refused.status;
    // The printer takes the label now.
    EXPECT_TRUE(printer.TakeLabel());
    printing.join();
    EXPECT_EQ(inHand.status, 201) << inHand.body;
    const int status = service.Kill(0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const auto history = testing::RunProgram(TARNWICK_CLI, {"history", "--folder", p.plant.dir.path().string()});
    EXPECT_NE(history.out.find("\tsent\t"), std::string::npos) << history.out;
}

// A printer that fails is told on every open event stream, and so is its return.
TEST(Service, EventStreamsTellAPrinterOutageAndItsEnd) {
    ServicePlant p;
    RunningService service(p.plant.dir.path());
    const int stream = testing::Connect(service.port());
    testing::SendAll(stream, testing::RequestBytes("GET", "/api/v1/events", "", {Bearer(p.operatorToken)}));
    const auto readUntil = [&](const std::string& wanted) {
        std::string seen;
        char buffer[4096];
        for (int i = 0; i < 200 && seen.find(wanted) == std::string::npos; ++i) {
            pollfd ready{stream, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(stream, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
        return seen;
    };
    EXPECT_NE(readUntil("retry: 3000").find("text/event-stream"), std::string::npos);
    // The device's folder is gone: the label fails.
    PrinterChange broken;
    broken.name = "other";
    broken.target = (p.plant.dir / "gone" / "other.prn").string();
    ASSERT_TRUE(SetPrinter(p.plant.dir.path(), broken));
    const std::string toOther = R"({"wip":"1","style":"1234","quantity":1,"printer":"other"})";
    const Reply failed = service.Call("POST", "/api/v1/labels", toOther, {Bearer(p.operatorToken), kJson});
    EXPECT_EQ(failed.status, 503) << failed.body;
    const std::string outage = readUntil("did not take job");
    EXPECT_NE(outage.find(R"("clears":false)"), std::string::npos) << outage;
    broken.target = (p.plant.dir / "other.prn").string();
    ASSERT_TRUE(SetPrinter(p.plant.dir.path(), broken));
    EXPECT_EQ(service.Call("POST", "/api/v1/labels", toOther, {Bearer(p.operatorToken), kJson}).status, 201);
    EXPECT_NE(readUntil("takes labels again").find(R"("clears":true)"), std::string::npos);
    ::close(stream);
}

// Where the service may listen: loopback as it is, any other address only with TLS.
TEST(Service, RefusesToListenBeyondLoopbackWithoutTls) {
    ServicePlant p;
    const struct {
        std::string listen;
        int status;
        std::string says;
    } cases[] = {
        {"0.0.0.0:0", 1, "without TLS, and tokens would cross the network in the clear"},
        {"192.0.2.7:8631", 1, "without TLS"},
        {"127.0.0.1", 1, "it takes ADDRESS:PORT"},
        {"127.0.0.1:99999", 1, "it takes ADDRESS:PORT"},
    };
    for (const auto& c : cases) {
        const auto run =
            testing::RunProgram(TARNWICKD, {"--folder", p.plant.dir.path().string(), "--listen", c.listen});
        EXPECT_EQ(run.status, c.status) << c.listen;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.listen << ": " << run.err;
    }
    p.plant.dir.Write("config.txt", testing::ConfigText() + "ServiceCertificate,cert.pem\r\n");
    const auto half = testing::RunProgram(TARNWICKD, {"--folder", p.plant.dir.path().string()});
    EXPECT_NE(half.err.find("ServiceCertificate without ServiceKey"), std::string::npos) << half.err;
}

// The OpenAPI document lists exactly the calls the service answers.
TEST(Service, TheOpenApiDocumentListsEveryCall) {
    const json document = json::parse(service::OpenApiDocument());
    std::set<std::string> documented;
    for (const auto& [path, methods] : document["paths"].items())
        for (const auto& [method, operation] : methods.items()) {
            std::string upper = method;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            documented.insert(upper + " " + path);
        }
    std::set<std::string> served;
    for (std::string call : service::ApiCalls()) {
        // The document names each path's parameter; the service takes any name.
        served.insert(call);
    }
    std::set<std::string> normalised;
    for (std::string call : documented) normalised.insert(std::regex_replace(call, std::regex("\\{[^}]*\\}"), "{}"));
    std::set<std::string> servedNormalised;
    for (std::string call : served) servedNormalised.insert(std::regex_replace(call, std::regex("\\{[^}]*\\}"), "{}"));
    EXPECT_EQ(normalised, servedNormalised);
}

}  // namespace
}  // namespace tarnwick
