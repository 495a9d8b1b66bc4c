#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <tuple>
#include <string>
#include <vector>

#include "printjob/print_and_record.h"
#include "store/printers.h"
#include "store/print_journal.h"
#include "support/temp_plant.h"

namespace tarnwick {
namespace {

using namespace std::string_literals;
using testing::TempPlant;
using Clock = std::chrono::system_clock;

std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes + "\x1BQ5\x1BZ";
}

int Labels(const std::string& device) {
    int count = 0;
    for (std::size_t at = device.find("\x1BZ"); at != std::string::npos; at = device.find("\x1BZ", at + 2)) ++count;
    return count;
}

bool HasJournalTable(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE name = 'PrintJournal'", -1, &stmt, nullptr);
    const bool found = sqlite3_step(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    sqlite3_close_v2(db);
    return found;
}

void Sql(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close_v2(db);
}

JournalEntry Job(std::string wip, std::string style, std::string time = "") {
    JournalEntry e;
    e.source = "cli";
    e.layout = "C1";
    e.wip = std::move(wip);
    e.style = std::move(style);
    e.quantity = "5";
    e.time = std::move(time);
    e.outcome = "sent";
    e.stream =
        "\x1B"
        "A\x1BQ5\x1BZ";
    return e;
}

JournalQuery Query(std::string wip, std::string style = "", bool prefix = false, std::string since = "",
                   int limit = 0) {
    return JournalQuery{std::move(wip), std::move(style), prefix, std::move(since), limit, ""};
}

std::vector<std::string> Wips(const std::vector<JournalEntry>& jobs) {
    std::vector<std::string> wips;
    for (const auto& job : jobs) wips.push_back(job.wip);
    return wips;
}

TEST(PrintJournal, ReadingNeverCreatesTheTable) {
    TempPlant plant;
    const auto file = plant.plant->databaseFile();
    const auto jobs = ReadJournal(file, {});
    ASSERT_TRUE(jobs.has_value()) << jobs.error().text;
    EXPECT_TRUE(jobs->empty());
    EXPECT_FALSE(ReadJournalJob(file, 1).has_value());
    EXPECT_EQ(PruneJournal(file, Clock::now()).value_or(-1), 0);
    EXPECT_FALSE(HasJournalTable(file));
}

// Texts and streams come back byte for byte: C1 controls, a lone surrogate as a
// script's argument may carry it, every byte value in a stream.
TEST(PrintJournal, EveryValueComesBackAsWritten) {
    TempPlant plant;
    const auto file = plant.plant->databaseFile();
    PrintJournal journal(file);
    JournalEntry full =
        Job("40\xC2\x80"
            "12",
            "ST\xC2\x9FYLE", "2026-12-08T09:15:02.123Z");
    full.station = "LINE3";
    full.source = "reprint";
    full.layout = "B3";
    full.quantity = "12";
    full.cutSheet = "/plant/cuts/order 7.csv";
    full.cutRow = 14;
    full.route = "device";
    full.printer = "/dev/usb/lp0";
    full.message = "line one\nline two";
    full.stream = AllByteValues();
    full.reprintOf = 3;
    full.reprintOfStation = "LINE7";
    // Time and station left for the journal to give.
    JournalEntry refused = Job("\xED\xA0\x80", "");
    refused.outcome = "refused";
    refused.stream.reset();
    const JournalEntry written[] = {full, refused};
    for (const auto& entry : written) ASSERT_TRUE(journal.Record(entry).has_value());

    const auto fields = [](const JournalEntry& e) {
        return std::tuple(e.source, e.layout, e.wip, e.style, e.quantity, e.cutSheet, e.cutRow, e.route, e.printer,
                          e.outcome, e.message, e.reprintOf, e.reprintOfStation);
    };
    const auto listed = ReadJournal(file, {});
    ASSERT_TRUE(listed.has_value()) << listed.error().text;
    ASSERT_EQ(listed->size(), 2u);
    for (std::int64_t id = 1; id <= 2; ++id) {
        const JournalEntry& in = written[id - 1];
        const auto out = ReadJournalJob(file, id);
        ASSERT_TRUE(out.has_value()) << out.error().text;
        const JournalEntry& inList = (*listed)[static_cast<std::size_t>(2 - id)];
        for (const JournalEntry* read : {&*out, &inList}) {
            EXPECT_EQ(read->id, id);
            EXPECT_EQ(fields(*read), fields(in));
            EXPECT_EQ(read->byteCount, in.stream ? static_cast<std::int64_t>(in.stream->size()) : 0);
            if (in.station.empty()) EXPECT_FALSE(read->station.empty());
            else EXPECT_EQ(read->station, in.station);
            if (in.time.empty()) EXPECT_EQ(read->time.size(), 24u) << read->time;  // 2026-12-08T09:15:02.123Z
            else EXPECT_EQ(read->time, in.time);
        }
        EXPECT_EQ(out->stream, in.stream);
        EXPECT_FALSE(inList.stream.has_value()) << "the history lists jobs without their streams";
    }
}

// A journal made before reprints of other stations' jobs lacks ReprintOfStation: its jobs
// are read all the same, and the next row written adds the column.
TEST(PrintJournal, OlderJournalIsReadAndGainsTheNewerColumn) {
    TempPlant plant;
    const auto file = plant.plant->databaseFile();
    Sql(file,
        "CREATE TABLE PrintJournal (ID INTEGER PRIMARY KEY AUTOINCREMENT, Time TEXT NOT NULL, Station TEXT,"
        " Source TEXT, Layout TEXT, WIP TEXT, Style TEXT, Quantity TEXT, CutSheet TEXT, CutRow INTEGER, Route TEXT,"
        " Printer TEXT, Outcome TEXT, Message TEXT, ByteCount INTEGER, ReprintOf INTEGER, Stream BLOB);"
        "INSERT INTO PrintJournal (Time, Station, Source, Layout, WIP, Style, Quantity, Outcome, ByteCount, ReprintOf,"
        " Stream) VALUES ('2026-12-01T08:00:00.000Z', 'LINE3', 'reprint', 'C1', '4012', 'ABC1', '5', 'sent', 3, 7,"
        " x'1B415A')");
    const auto old = ReadJournalJob(file, 1);
    ASSERT_TRUE(old.has_value()) << old.error().text;
    EXPECT_EQ(std::tuple(old->wip, old->reprintOf, old->reprintOfStation, old->stream),
              std::tuple("4012"s, std::optional<std::int64_t>(7), ""s,
                         std::optional("\x1B"
                                       "AZ"s)));
    const auto listed = ReadJournal(file, {});
    ASSERT_TRUE(listed.has_value()) << listed.error().text;
    EXPECT_EQ(Wips(*listed), std::vector<std::string>{"4012"});

    JournalEntry reprint = Job("4013", "ABC1");
    reprint.reprintOf = 9;
    reprint.reprintOfStation = "LINE7";
    PrintJournal journal(file);
    ASSERT_TRUE(journal.Record(reprint).has_value());
    const auto jobs = ReadJournal(file, {});
    ASSERT_TRUE(jobs.has_value()) << jobs.error().text;
    ASSERT_EQ(jobs->size(), 2u);
    EXPECT_EQ((std::vector<std::string>{(*jobs)[0].reprintOfStation, (*jobs)[1].reprintOfStation}),
              (std::vector<std::string>{"LINE7", ""}));
}

TEST(PrintJournal, HistoryNewestFirstFilteredByWipStyleAndTime) {
    TempPlant plant;
    PrintJournal journal(plant.plant->databaseFile());
    for (const auto& job :
         {Job("4012", "ABC1", "2026-11-30T23:59:59.999Z"), Job("4013", "abc2", "2026-12-01T00:00:00.000Z"),
          Job("5012", "XYZ", "2026-12-01T08:00:00.000Z"), Job("40123", "ABC1", "2026-12-02T10:00:00.000Z")})
        ASSERT_TRUE(journal.Record(job).has_value());

    const struct {
        JournalQuery query;
        std::vector<std::string> wips;
    } cases[] = {
        {Query(""), {"40123", "5012", "4013", "4012"}},
        {Query("4012"), {"4012"}},
        {Query("4012", "", true), {"40123", "4012"}},
        {Query("4", "", true, "", 2), {"40123", "4013"}},
        {Query("", "abc1"), {"40123", "4012"}},
        {Query("", "ABC", true), {"40123", "4013", "4012"}},
        {Query("4012", "abc", true), {"40123", "4012"}},
        {Query("", "AB%", true), {}},
        {Query("", "", false, "2026-12-01"), {"40123", "5012", "4013"}},
        {Query("", "", false, "2026-12-01T08:00"), {"40123", "5012"}},
        {Query("", "", false, "", 1), {"40123"}},
    };
    for (const auto& c : cases) {
        const auto jobs = ReadJournal(plant.plant->databaseFile(), c.query);
        ASSERT_TRUE(jobs.has_value()) << jobs.error().text;
        EXPECT_EQ(Wips(*jobs), c.wips) << "wip " << c.query.wip << " style " << c.query.style << " since "
                                       << c.query.since << " limit " << c.query.limit;
    }
}

// In batches by the window's journal thread and after a command's labels; on demand
// through tarnwick-cli history --prune.
TEST(PrintJournal, PruningRemovesJobsOlderThanTheRetention) {
    const int ages[] = {1, 29, 31, 179, 181, 400};
    const struct {
        const char* setting;  // SQL that sets the retention, or nothing for an older data.mdb
        std::vector<std::string> kept;
    } cases[] = {
        {"", {"1", "29", "31", "179"}},
        {"ALTER TABLE Settings ADD COLUMN JournalDays INTEGER; UPDATE Settings SET JournalDays = 30", {"1", "29"}},
        {"ALTER TABLE Settings ADD COLUMN JournalDays INTEGER; UPDATE Settings SET JournalDays = 0",
         {"1", "29", "31", "179", "181", "400"}},
        {"ALTER TABLE Settings ADD COLUMN JournalDays", {"1", "29", "31", "179"}},
    };
    for (const auto& c : cases) {
        TempPlant plant;
        const auto file = plant.plant->databaseFile();
        {
            PrintJournal journal(file);
            for (const int age : ages)
                ASSERT_TRUE(
                    journal.Record(Job(std::to_string(age), "S", JournalTime(Clock::now() - std::chrono::days(age))))
                        .has_value());
        }
        if (*c.setting) Sql(file, c.setting);
        ASSERT_TRUE(PruneJournal(file, Clock::now()).has_value());
        auto kept = Wips(ReadJournal(file, {}).value_or(std::vector<JournalEntry>{}));
        std::reverse(kept.begin(), kept.end());
        EXPECT_EQ(kept, c.kept) << c.setting;
    }
}

// A stand-in printer that answers as it is told, and looks at the journal while the
// bytes are with it: what a process killed at that moment leaves behind.
struct ScriptedOutput final : PrinterOutput {
    std::filesystem::path database;
    SendResult answer;
    std::optional<JournalEntry> rowWhileSending;
    SendResult SendToPrinter(std::string_view) override {
        if (auto jobs = ReadJournal(database, {}); jobs && !jobs->empty()) rowWhileSending = jobs->front();
        return answer;
    }
};

// Rows that wait for the file together are written in the order they came, and a row that
// cannot be written tells its caller why.
TEST(JournalWriter, RowsAheadAreWrittenFirstInFirstOutAndTheirFailureReachesTheCaller) {
    TempPlant plant;
    const auto file = plant.plant->databaseFile();
    JournalWriter writer(file, {}, false);
    JournalEntry first;
    first.wip = "first";
    ASSERT_TRUE(writer.Begin(first).has_value());

    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    constexpr int kCallers = 6;
    std::vector<std::expected<std::int64_t, Failure>> ids(kCallers, std::unexpected(Failure{}));
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] {
            JournalEntry entry;
            entry.wip = std::to_string(i);
            ids[static_cast<std::size_t>(i)] = writer.Begin(entry);
        });
        // An outcome between the rows must not hold them up, nor be overtaken by them.
        writer.Complete(1, "sent", std::to_string(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    for (std::thread& caller : callers) caller.join();
    writer.Flush();
    std::vector<std::string> order;
    const auto jobs = ReadJournal(file, {});
    ASSERT_TRUE(jobs.has_value()) << jobs.error().text;
    for (const auto& job : *jobs) order.insert(order.begin(), job.wip);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "0", "1", "2", "3", "4", "5"}));
    for (int i = 0; i < kCallers; ++i) EXPECT_TRUE(ids[static_cast<std::size_t>(i)].has_value()) << i;
    EXPECT_EQ(ReadJournalJob(file, 1)->message, std::to_string(kCallers - 1));

    // Held past the wait, the row is not written and its caller gets the reason.
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto refused = writer.Begin(first);
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close_v2(holder);
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error().text.find("data.mdb is locked by another program"), std::string::npos)
        << refused.error().text;
}

// Printers that each take a while over a label, and tell when two labels were ever
// inside one of them at once. Each caller says which printer its labels are for.
thread_local int callersPrinter = -1;
thread_local std::string callersWip;
class SharedPrinters final : public PrinterOutput {
public:
    explicit SharedPrinters(std::filesystem::path database) : database_(std::move(database)) {}
    SendResult SendToPrinter(std::string_view stream) override {
        // The label's row is committed before its bytes leave, however rows share commits.
        JournalQuery query;
        query.wip = callersWip;
        const auto ahead = ReadJournal(database_, query);
        if (!ahead || ahead->size() != 1 || ahead->front().outcome != kSending) ++withoutRow;
        const auto p = static_cast<std::size_t>(callersPrinter);
        if (inside_[p]++ > 0) overlapped = true;
        // Longer than a row's commit, so that callers meet at the printer.
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        {
            const std::lock_guard lock(mutex_);
            taken[p] += stream;
        }
        --inside_[p];
        return {};
    }
    std::atomic<bool> overlapped{false};
    std::atomic<int> withoutRow{0};
    std::string taken[3];

private:
    std::filesystem::path database_;
    std::atomic<int> inside_[3]{};
    std::mutex mutex_;
};

// Several callers of one core at once, two to each printer: every label whole on its
// printer, in the order of its rows, every row true, and a refusal told to its caller.
TEST(PrintAndRecord, ConcurrentRequestsKeepEachPrintersOrderAndEveryRowTrue) {
    TempPlant plant;
    plant.SetStyle("1234", "calh020");
    const auto file = plant.plant->databaseFile();
    constexpr int kPrinters = 3, kCallers = 6, kLabels = 20;
    SharedPrinters printers(file);
    for (int p = 0; p < kPrinters; ++p) {
        const std::string name = "line" + std::to_string(p);
        plant.dir.Write(name + ".prn", "");
        PrinterChange change;
        change.name = name;
        change.route = "device";
        change.target = name + ".prn";
        ASSERT_TRUE(AddPrinter(plant.dir.path(), change).has_value());
    }
    JournalWriter writer(file, {}, false);
    std::vector<std::thread> callers;
    std::vector<int> refusedRight(kCallers, 0);
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            callersPrinter = c % kPrinters;
            for (int i = 0; i < kLabels; ++i) {
                LabelRequest request;
                callersWip = std::to_string(c * 1000 + i);
                request.fields = {callersWip, "1234", "5", "32", "30", "R", "", "", "", "", ""};
                request.quantity = "1";
                request.printer = "line" + std::to_string(c % kPrinters);
                const auto printed = PrintAndRecord(*plant.plant, request, writer, &printers);
                ASSERT_TRUE(printed.has_value()) << printed.error().text;
                EXPECT_TRUE(printed->recorded.has_value());
            }
            LabelRequest unknown;
            unknown.fields.WIP = "1";
            unknown.fields.Style = "1234";
            unknown.quantity = "1";
            unknown.printer = "nosuch";
            const auto refused = PrintAndRecord(*plant.plant, unknown, writer);
            refusedRight[static_cast<std::size_t>(c)] =
                !refused && refused.error().text.starts_with("There is no printer named \"nosuch\"");
        });
    }
    for (std::thread& caller : callers) caller.join();
    writer.Flush();
    EXPECT_EQ(refusedRight, std::vector<int>(kCallers, 1));

    const auto jobs = ReadJournal(file, {});
    ASSERT_TRUE(jobs.has_value()) << jobs.error().text;
    std::map<std::string, std::string> rowsOfDevice;  // streams in the order of their rows
    int refusals = 0;
    for (auto job = jobs->rbegin(); job != jobs->rend(); ++job) {
        if (job->outcome == "refused") {
            ++refusals;
            continue;
        }
        EXPECT_EQ(job->outcome, "sent") << job->wip;
        const auto whole = ReadJournalJob(file, job->id);
        ASSERT_TRUE(whole.has_value() && whole->stream.has_value());
        rowsOfDevice[job->printer] += *whole->stream;
    }
    EXPECT_EQ(refusals, kCallers);
    EXPECT_FALSE(printers.overlapped) << "a printer was given two labels at once";
    EXPECT_EQ(printers.withoutRow, 0) << "labels left before their rows were committed";
    for (int p = 0; p < kPrinters; ++p) {
        const std::string device = (plant.dir / ("line" + std::to_string(p) + ".prn")).string();
        const std::string& taken = printers.taken[p];
        EXPECT_EQ(Labels(taken), kCallers / kPrinters * kLabels) << device;
        EXPECT_TRUE(taken == rowsOfDevice[device]) << device << ": the labels are not in the order of their rows";
    }
}

TEST(PrintAndRecord, RowIsWrittenAheadOfTheBytesAndGivenTheirOutcome) {
    const struct {
        const char* style;
        std::string qty;
        SendResult answer;
        std::string outcome, message, quantity;
        bool sent;
    } cases[] = {
        {"1234", "12", SendReceipt{}, "sent", "", "12", true},
        {"1234", "12", SendReceipt{"The queue is paused."}, "sent", "The queue is paused.", "12", true},
        {"1234", "12", std::unexpected(Failure{"The printer went away."}), "failed", "The printer went away.", "12",
         true},
        {"1234", "12", std::unexpected(Failure{"No answer.", "Tarnwick", MessageIcon::Critical, true}), "unconfirmed",
         "No answer.", "12", true},
        {"9999", "12 boxes", SendReceipt{}, "refused", "The selected style does not exist in the database.", "12 boxes",
         false},
        // The printer would take ESC Q0 and print nothing.
        {"1234", "", SendReceipt{}, "refused",
         "The quantity \"\" in the Qty box asks the printer for 0 labels, so nothing was sent. Type the number of "
         "labels, 1 or more, in the Qty box, then print again.",
         "", false},
        {"1234", "-3", SendReceipt{}, "refused",
         "The quantity \"-3\" in the Qty box asks the printer for -3 labels, so nothing was sent. Type the number of "
         "labels, 1 or more, in the Qty box, then print again.",
         "-3", false},
        {"1234", "abc", SendReceipt{}, "refused",
         "The quantity \"abc\" in the Qty box asks the printer for 0 labels, so nothing was sent. Type the number of "
         "labels, 1 or more, in the Qty box, then print again.",
         "abc", false},
        {"1234", "0.4", SendReceipt{}, "refused",
         "The quantity \"0.4\" in the Qty box asks the printer for 0 labels, so nothing was sent. Type the number of "
         "labels, 1 or more, in the Qty box, then print again.",
         "0.4", false},
        {"1234", "0.5", SendReceipt{}, "refused",
         "The quantity \"0.5\" in the Qty box asks the printer for 0 labels, so nothing was sent. Type the number of "
         "labels, 1 or more, in the Qty box, then print again.",
         "0.5", false},
        {"1234", "1.5", SendReceipt{}, "sent", "", "2", true},
    };
    for (const auto& c : cases) {
        TempPlant plant;
        plant.SetStyle("1234", "calh020");
        const auto file = plant.plant->databaseFile();
        PrintJournal journal(file);
        ScriptedOutput printer;
        printer.database = file;
        printer.answer = c.answer;
        LabelRequest request;
        request.fields.WIP = "4012";
        request.fields.Style = c.style;
        request.quantity = c.qty;
        request.requester.kind = Requester::Kind::Window;
        const auto printed = PrintAndRecord(*plant.plant, request, journal, &printer);
        // The caller learns the row as the journal has it, or the refusal.
        if (printed) EXPECT_EQ(printed->recorded.value_or(0), 1) << c.outcome;
        else EXPECT_EQ(printed.error().text, c.message) << c.outcome;

        const auto row = ReadJournalJob(file, 1);
        ASSERT_TRUE(row.has_value()) << row.error().text;
        EXPECT_EQ(std::tuple(row->outcome, row->message, row->quantity, row->stream.has_value()),
                  std::tuple(c.outcome, c.message, c.quantity, c.sent))
            << c.outcome;
        EXPECT_EQ(row->route, "device");
        EXPECT_EQ(row->printer, plant.plant->rawDevice().string());
        EXPECT_EQ(ReadJournal(file, {})->size(), 1u) << c.outcome;
        EXPECT_EQ(printer.rowWhileSending.has_value(), c.sent) << c.outcome;
        if (printer.rowWhileSending) {
            const ShownOutcome shown = ShowOutcome(*printer.rowWhileSending);
            EXPECT_EQ(shown.outcome + ": " + shown.message, "may have printed: Tarnwick stopped while sending");
        }
    }
}

}  // namespace
}  // namespace tarnwick
