// One C1 label from the print request to the print server's acceptance of its last
// byte, against `lp -o raw` sending the same bytes to the same queue in the same run.
// Uses the private print server the environment names (eval "$(scripts/private-cupsd
// start DIR)"), or starts one of its own.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "labels/base_point.h"
#include "labels/print_request.h"
#include "printer/send_to_printer.h"
#include "store/settings_store.h"

extern char** environ;

namespace {

using namespace tarnwick;

constexpr int kPrints = 200;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The private print server, started here unless one is already named.
class BenchServer {
public:
    BenchServer() {
        if (!Env("CUPS_SERVER").empty() && !Env("TARNWICK_CUPS_QUEUE").empty()) return;
        dir_ = std::filesystem::temp_directory_path() / ("tarnwick-bench-cups-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        const std::string command =
            std::string("'") + TARNWICK_SOURCE_DIR "/scripts/private-cupsd' start '" + dir_.string() + "'";
        FILE* pipe = ::popen(command.c_str(), "r");
        std::string output;
        char buffer[512];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
        if (!pipe || ::pclose(pipe) != 0) {
            std::cerr << "bench_print: could not start a private print server\n";
            std::exit(1);
        }
        // export NAME=VALUE NAME=VALUE ...
        std::size_t at = output.find("export ");
        if (at != std::string::npos) at += 7;
        while (at != std::string::npos && at < output.size()) {
            const std::size_t end = output.find_first_of(" \n", at);
            const std::string pair = output.substr(at, end - at);
            if (const auto eq = pair.find('='); eq != std::string::npos)
                ::setenv(pair.substr(0, eq).c_str(), pair.substr(eq + 1).c_str(), 1);
            at = end == std::string::npos ? end : output.find_first_not_of(" \n", end);
        }
    }
    ~BenchServer() {
        if (dir_.empty()) return;
        const std::string command =
            std::string("'") + TARNWICK_SOURCE_DIR "/scripts/private-cupsd' stop '" + dir_.string() + "'";
        if (std::system(command.c_str()) != 0) std::cerr << "bench_print: could not stop the print server\n";
        std::filesystem::remove_all(dir_);
    }

private:
    std::filesystem::path dir_;
};

struct Fixture {
    Fixture() {
        folder = std::filesystem::temp_directory_path() / ("tarnwick-bench-plant-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        if (!SettingsDb::Create(folder / "data.mdb") || !SetPrintStyle(folder / "data.mdb", "1234", "calh020")) {
            std::cerr << "bench_print: could not make the plant database\n";
            std::exit(1);
        }
        controls.txtWIP = "004512";
        controls.txtStyle = "1234";
        controls.txtColor = "5";
        controls.txtWaist = "32";
        controls.txtLength = "30";
        controls.txtLDesc = "R";
        controls.cmbText1 = "65% POLYESTER";
        controls.cmbText2 = "35% COTTON";
        controls.cmbText3 = "MACHINE WASH";
        controls.txtQty = "24";
        controls.chkPrintHeaders = 1;
        bases = {FamilyABase(10.0, 5), OtherFamiliesBase(7.0, "003")};
        route = {true, Env("TARNWICK_CUPS_QUEUE"), {}};

        // The same bytes for lp.
        CapturingOutput capture;
        LabelJob job;
        if (!PrintLabels(controls, "calh020", job, bases, capture)) std::exit(1);
        stream = capture.streams.at(0);
        std::ofstream(folder / "label.bin", std::ios::binary) << stream;
    }
    ~Fixture() { std::filesystem::remove_all(folder); }

    std::filesystem::path folder;
    PrintControls controls;
    PrintBases bases;
    OutputRoute route;
    std::string stream;
};

Fixture* fixture = nullptr;

// What a press of Print Labels does after reading the window: the lookup, then the request.
void BM_PrintRequestToServer(benchmark::State& state) {
    RoutedOutput printer([] { return fixture->route; });
    for (auto _ : state) {
        const auto code = LookupPrintStyle(fixture->folder / "data.mdb", fixture->controls.txtStyle);
        LabelJob job;
        const auto printed = PrintLabels(fixture->controls, code.value_or(""), job, fixture->bases, printer);
        if (!printed) {
            state.SkipWithError(printed.error().text.c_str());
            break;
        }
    }
    state.SetLabel(std::to_string(fixture->stream.size()) + " bytes");
}

void BM_LpRaw(benchmark::State& state) {
    const std::string server = Env("CUPS_SERVER");
    const std::string file = (fixture->folder / "label.bin").string();
    std::vector<std::string> argv{"lp", "-h",  server, "-d",     fixture->route.printerName,
                                  "-o", "raw", "-t",   "AAAAAA", file};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawnp(&pid, "lp", &actions, nullptr, args.data(), environ) != 0) {
            state.SkipWithError("could not run lp");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("lp failed");
            break;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
}

double Percentile(const std::vector<double>& v, double p) {
    std::vector<double> sorted(v);
    std::sort(sorted.begin(), sorted.end());
    return sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5)];
}

void Configure(benchmark::internal::Benchmark* b) {
    b->Iterations(1)
        ->Repetitions(kPrints)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("min", [](const std::vector<double>& v) { return Percentile(v, 0.0); })
        ->ComputeStatistics("p10", [](const std::vector<double>& v) { return Percentile(v, 0.1); })
        ->ComputeStatistics("p90", [](const std::vector<double>& v) { return Percentile(v, 0.9); })
        ->ComputeStatistics("max", [](const std::vector<double>& v) { return Percentile(v, 1.0); });
}

BENCHMARK(BM_PrintRequestToServer)->Apply(Configure);
BENCHMARK(BM_LpRaw)->Apply(Configure);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    BenchServer cups;
    Fixture plant;
    fixture = &plant;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
