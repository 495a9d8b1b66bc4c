// The print journal's cost: what recording adds to one Print Labels (the style lookup and
// the request into a printer that takes the bytes at once, with and without the journal
// row handed on, and with a plant database as well), what the journal's thread then spends on the row, and the History
// window opening on, and filtering, a journal of 100,000 jobs. Per-request medians are reported as counters (median_us), since a mean hides
// the disk's occasional slow sync.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "labels/print_request.h"
#include "mainwindow/history_window.h"
#include "plantdb/plant_database.h"
#include "plantdb/plant_station.h"
#include "printjob/print_and_record.h"
#include "support/private_postgres.h"
#include "support/worked_jobs.h"
#include "startup/startup.h"

namespace {

using namespace tarnwick;
using Clock = std::chrono::steady_clock;

constexpr int kJournalJobs = 100'000;

class NullOutput final : public PrinterOutput {
public:
    SendResult SendToPrinter(std::string_view stream) override {
        benchmark::DoNotOptimize(stream.data());
        return {};
    }
};

std::filesystem::path MakePlant(const std::string& name, const std::string& moreConfig = "") {
    const auto folder =
        std::filesystem::temp_directory_path() / ("tarnwick-bench-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "config.txt") << "Bench\r\nStartRow,2\r\nExtraQty,2\r\nSpare,0\r\nBaseH,7\r\nBaseV,003\r\n"
                                         << moreConfig;
    if (!SettingsDb::Create(folder / "data.mdb") || !SetPrintStyle(folder / "data.mdb", "1234", "calh020")) {
        std::cerr << "bench_journal: could not make the plant database in " << folder << "\n";
        std::exit(1);
    }
    return folder;
}

double MedianMicroseconds(std::vector<double>& samples) {
    if (samples.empty()) return 0;
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

enum class Recording { None, Journal, PlantDatabase };

// One press of Print Labels as the window does it: with the job's row written ahead of
// the bytes (the window waits for that commit) and its outcome handed to the journal's
// thread, or with nothing recorded; with a plant database, the style is asked of it on
// the window's kept connection and its thread sends the rows on.
void PrintRequest(benchmark::State& state, Recording recording, bool paced = false) {
    std::optional<tarnwick::testing::ScratchPlantDatabase> plantDb;
    std::string moreConfig;
    if (recording == Recording::PlantDatabase) {
        const auto server = tarnwick::testing::PrivatePlantServer();
        if (!server) {
            state.SkipWithError("no private PostgreSQL: eval \"$(scripts/private-postgres start DIR)\" first");
            return;
        }
        plantDb.emplace(*server);
        const auto deadline = PgClock::now() + std::chrono::seconds(30);
        auto db = PgConnection::Open(plantDb->conninfo(), deadline);
        if (!db || !InitPlantSchema(*db, deadline) || !PutPlantStyles(*db, {{"1234", "calh020"}}, false, deadline)) {
            state.SkipWithError("the plant database could not be made");
            return;
        }
        moreConfig = "PlantDatabase,\"" + plantDb->conninfo() + "\"\r\n";
        // Making a database leaves the server flushing its files for a while; on one disk
        // that would be counted against the labels' own commits.
        (void)db->Run("CHECKPOINT", deadline);
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    const auto folder = MakePlant(recording == Recording::None ? "plain" : "journal", moreConfig);
    auto plant = StartUp(folder);
    if (!plant) {
        state.SkipWithError(plant.error().text.c_str());
        return;
    }
    const LabelRequest request =
        RequestFromControls(test::TypedLabel(), {}, std::nullopt, {Requester::Kind::Window, {}});
    NullOutput printer;
    bool failed = false;
    const auto told = [&failed](const Failure&) { failed = true; };
    JoinPlant(*plant, told, true);
    JournalWriter writer(plant->databaseFile(), told, false, plant->shared);
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        const auto printed = recording != Recording::None ? PrintAndRecord(*plant, request, writer, &printer)
                                                          : PreviewRequest(*plant, request, printer);
        if (!printed) {
            state.SkipWithError(printed.error().text.c_str());
            break;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        // An operator's presses come seconds apart: the journal's and the plant's threads
        // have finished with the last label before the next.
        if (paced) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    writer.Flush();
    if (failed) state.SkipWithError("the journal or the plant database could not be written");
    state.counters["median_us"] = MedianMicroseconds(samples);
    std::filesystem::remove_all(folder);
}

// What the journal's thread spends on one row: a durable commit to data.mdb.
void BM_JournalCommit(benchmark::State& state) {
    const auto folder = MakePlant("commit");
    PrintJournal journal(folder / "data.mdb");
    JournalEntry entry;
    entry.source = "window";
    entry.stream = std::string(170, 'x');
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!journal.Record(entry)) state.SkipWithError("the journal could not be written");
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.counters["median_us"] = MedianMicroseconds(samples);
    std::filesystem::remove_all(folder);
}

void BM_PrintRequest(benchmark::State& state) { PrintRequest(state, Recording::None); }
void BM_PrintRequestJournaled(benchmark::State& state) { PrintRequest(state, Recording::Journal); }
void BM_PrintRequestPlantDatabase(benchmark::State& state) { PrintRequest(state, Recording::PlantDatabase); }
void BM_PrintRequestJournaledPaced(benchmark::State& state) { PrintRequest(state, Recording::Journal, true); }
void BM_PrintRequestPlantDatabasePaced(benchmark::State& state) { PrintRequest(state, Recording::PlantDatabase, true); }

// A journal of 100,000 jobs: three in four typed labels of about 170 bytes, one in four
// with a 2.7 KB picture, 5,000 WIPs, 200 styles.
struct BigJournal {
    BigJournal() : folder(MakePlant("history")) {
        auto started = StartUp(folder);
        if (!started) {
            std::cerr << "bench_journal: " << started.error().text << "\n";
            std::exit(1);
        }
        plant = std::make_unique<Plant>(std::move(*started));
        PrintJournal journal(plant->databaseFile());
        JournalEntry first;
        first.stream =
            "\x1B"
            "A\x1BQ1\x1BZ";
        if (!journal.Record(first)) std::exit(1);

        sqlite3* db = nullptr;
        sqlite3_open_v2(plant->databaseFile().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO PrintJournal (Time, Station, Source, Layout, WIP, Style, Quantity, Route,"
                           " Printer, Outcome, Message, ByteCount, Stream) VALUES (?1, 'station-7', 'window', 'C1',"
                           " ?2, ?3, '24', 'queue', 'tarnwick-raw', 'sent', '', ?4, ?5)",
                           -1, &insert, nullptr);
        const std::string small(170, 'x');
        const std::string large(2900, 'y');
        const auto start = std::chrono::system_clock::now() - std::chrono::hours(24 * 170);
        for (int i = 1; i < kJournalJobs; ++i) {
            const std::string time = JournalTime(start + std::chrono::seconds(i * 140));
            const std::string wip = std::to_string(400000 + i % 5000);
            const std::string style = "ST" + std::to_string(1000 + i % 200);
            const std::string& stream = i % 4 == 0 ? large : small;
            sqlite3_bind_text(insert, 1, time.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 2, wip.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 3, style.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 4, static_cast<sqlite3_int64>(stream.size()));
            sqlite3_bind_blob(insert, 5, stream.data(), static_cast<int>(stream.size()), SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db);
    }
    ~BigJournal() {
        plant.reset();
        std::filesystem::remove_all(folder);
    }
    std::filesystem::path folder;
    std::unique_ptr<Plant> plant;
};

BigJournal* big = nullptr;

class QuietDialogs final : public Dialogs {
public:
    using Dialogs::Show;
    MessageAnswer Show(const std::string& text, MessageButtons, MessageIcon, const std::string&) override {
        std::cerr << "bench_journal: " << text << "\n";
        return MessageAnswer::Ok;
    }
};

// Label > History... on the big journal: the window built, read and shown.
void BM_HistoryOpens(benchmark::State& state) {
    QuietDialogs dialogs;
    NullOutput printer;
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto window = std::make_unique<HistoryWindow>(*big->plant, dialogs, printer);
        window->show();
        QApplication::processEvents();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (window->Jobs().size() != HistoryWindow::kShown) state.SkipWithError("the list is not full");
    }
    state.counters["median_us"] = MedianMicroseconds(samples);
}

// One keystroke in a filter box: the list read again and redrawn.
void BM_HistoryFilter(benchmark::State& state) {
    QuietDialogs dialogs;
    NullOutput printer;
    HistoryWindow window(*big->plant, dialogs, printer);
    window.show();
    QApplication::processEvents();
    // Ten WIPs (200 jobs), one WIP (20 jobs), one style (500 jobs), nothing.
    const char* const typed[][2] = {{"40010", ""}, {"404999", ""}, {"", "ST1007"}, {"9", ""}};
    const auto& [wip, style] = typed[state.range(0)];
    std::vector<double> samples;
    for (auto _ : state) {
        window.txtWIP->clear();
        window.txtStyle->clear();
        const auto start = Clock::now();
        if (*wip) window.txtWIP->setText(wip);
        if (*style) window.txtStyle->setText(style);
        QApplication::processEvents();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.counters["median_us"] = MedianMicroseconds(samples);
    state.counters["rows"] = static_cast<double>(window.Jobs().size());
    state.SetLabel(std::string("wip '") + wip + "' style '" + style + "'");
}

BENCHMARK(BM_PrintRequest)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrintRequestJournaled)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrintRequestPlantDatabase)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrintRequestJournaledPaced)->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrintRequestPlantDatabasePaced)->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JournalCommit)->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HistoryOpens)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HistoryFilter)->DenseRange(0, 3)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    BigJournal journal;
    big = &journal;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    big = nullptr;
    return 0;
}
