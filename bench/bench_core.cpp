// One process, several threads, each printing to a printer of its own (a device file)
// through one core and one journal: labels a second in all, and each label's time from
// request to answer. Every label is checked against its row afterwards: none lost, none
// interleaved, every row true.
//
//   bench_core [THREADS [LABELS]]    (8 and 500 by default; prints 1 thread too)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "printjob/print_and_record.h"
#include "store/printers.h"
#include "support/temp_plant.h"
#include "support/run_cli.h"

using namespace tarnwick;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
    double perSecond = 0, p50 = 0, p99 = 0, max = 0;
    int lost = 0, wrong = 0;
};

Figures Run(int threads, int labels) {
    tarnwick::testing::TempPlant plant;
    plant.SetStyle("1234", "calh020");
    for (int t = 0; t < threads; ++t) {
        const std::string name = "line" + std::to_string(t);
        plant.dir.Write(name + ".prn", "");
        PrinterChange change;
        change.name = name;
        change.route = "device";
        change.target = name + ".prn";
        if (!AddPrinter(plant.dir.path(), change)) std::exit(1);
    }
    JournalWriter writer(plant.plant->databaseFile(), {}, false);
    std::vector<std::vector<double>> times(static_cast<std::size_t>(threads));
    std::vector<std::thread> callers;
    const auto start = Clock::now();
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < labels; ++i) {
                LabelRequest request;
                request.fields = {std::to_string(t * 100000 + i), "1234", "5", "32", "30", "R", "", "", "", "", ""};
                request.quantity = "1";
                request.printer = "line" + std::to_string(t);
                const auto asked = Clock::now();
                const auto printed = PrintAndRecord(*plant.plant, request, writer);
                times[static_cast<std::size_t>(t)].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
                if (!printed) std::fprintf(stderr, "%s\n", printed.error().text.c_str());
            }
        });
    }
    for (auto& caller : callers) caller.join();
    writer.Flush();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    Figures f;
    std::vector<double> all;
    for (const auto& each : times) all.insert(all.end(), each.begin(), each.end());
    std::sort(all.begin(), all.end());
    f.perSecond = static_cast<double>(all.size()) / seconds;
    f.p50 = all[all.size() / 2];
    f.p99 = all[all.size() * 99 / 100];
    f.max = all.back();

    // Each device holds its rows' streams, whole and in the rows' order.
    const auto jobs = ReadJournal(plant.plant->databaseFile(), {});
    std::map<std::string, std::string> expected;
    for (auto job = jobs->rbegin(); job != jobs->rend(); ++job) {
        const auto whole = ReadJournalJob(plant.plant->databaseFile(), job->id);
        if (job->outcome != "sent" || !whole || !whole->stream) {
            ++f.wrong;
            continue;
        }
        expected[job->printer] += *whole->stream;
    }
    f.lost = threads * labels - static_cast<int>(jobs->size());
    for (int t = 0; t < threads; ++t) {
        const std::string device = (plant.dir / ("line" + std::to_string(t) + ".prn")).string();
        if (tarnwick::testing::ReadAll(device) != expected[device]) ++f.wrong;
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int threads = argc > 1 ? std::atoi(argv[1]) : 8;
    const int labels = argc > 2 ? std::atoi(argv[2]) : 500;
    for (const int n : {1, threads}) {
        const Figures f = Run(n, labels);
        std::printf(
            "%d thread%s x %d labels: %.0f labels/s, per label p50 %.1f ms, p99 %.1f ms, max %.1f ms; "
            "%d lost, %d wrong\n",
            n, n == 1 ? "" : "s", labels, f.perSecond, f.p50, f.p99, f.max, f.lost, f.wrong);
    }
}
