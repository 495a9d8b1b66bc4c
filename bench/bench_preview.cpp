#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <cstdlib>
#include <filesystem>

#include "labels/layouts.h"
#include "labels/printer_output.h"
#include "preview/label_renderer.h"
#include "support/worked_jobs.h"

namespace {

using namespace tarnwick;

// The worked B1 job with headers, so the stream carries the 2713-byte picture.
std::string B1Stream() {
    LabelArgs a = tarnwick::test::Job4012();
    a.PrintHeaders = true;
    // The demo plant's pictures, found as the builders find them: images/ below here.
    std::filesystem::current_path(std::filesystem::path(TARNWICK_SOURCE_DIR) / "demo");
    CapturingOutput out;
    if (!PrintLayoutB1(a, BasePoint{"10", "5"}, out) || out.streams.size() != 1) std::abort();
    return out.streams.front();
}

void RenderB1(benchmark::State& state) {
    const std::string stream = B1Stream();
    if (!RenderLabel(stream)) std::abort();  // the glyphs are drawn once per process, then kept
    for (auto _ : state) {
        auto rendering = RenderLabel(stream);
        benchmark::DoNotOptimize(rendering);
    }
    state.SetLabel(std::to_string(stream.size()) + " bytes");
}
BENCHMARK(RenderB1)->Unit(benchmark::kMillisecond);

void RenderB1Scaled(benchmark::State& state) {
    const std::string stream = B1Stream();
    if (!RenderLabel(stream)) std::abort();
    for (auto _ : state) {
        auto rendering = RenderLabel(stream, static_cast<int>(state.range(0)));
        benchmark::DoNotOptimize(rendering);
    }
}
BENCHMARK(RenderB1Scaled)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
