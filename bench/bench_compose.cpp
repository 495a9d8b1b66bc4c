#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "labels/base_point.h"
#include "labels/layouts.h"
#include "support/worked_jobs.h"

namespace {

using namespace tarnwick;

// Keeps only the last stream, as a printer route would hand it on, without growing.
class LastStreamOutput final : public PrinterOutput {
public:
    SendResult SendToPrinter(std::string_view stream) override {
        last.assign(stream);
        return {};
    }
    std::string last;
};

// The style-heading worked example, with the new-format fields filled too.
LabelArgs TypicalJob(bool headers) {
    LabelArgs a = tarnwick::test::Job004512();
    a.PrintHeaders = headers;
    a.MadeIn = "MADE IN U.S.A.";
    a.RN = "30417";
    return a;
}

// Pictures of the layouts' sizes in a folder of their own, made the current directory.
void MakePlantFolder() {
    const auto folder = std::filesystem::temp_directory_path() / "tarnwick-bench-compose";
    std::filesystem::create_directories(folder / "images");
    const std::pair<const char*, std::size_t> pictures[] = {{"calh021.pcx", 2713},
                                                            {"calh026.pcx", 3280},
                                                            {"calh023.pcx", 3201},
                                                            {"calh024.pcx", 2852},
                                                            {"calh018.pcx", 1450}};
    for (const auto& [name, length] : pictures) {
        std::string bytes(length, '\0');
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 37);
        std::ofstream(folder / "images" / name, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(length));
    }
    std::filesystem::current_path(folder);
}

void Compose(benchmark::State& state, const char* name, bool headers) {
    const Layout layout = *LayoutByName(name);
    const LabelArgs job = TypicalJob(headers);
    const BasePoint base =
        layout.usesPrinterSettingsBase ? FamilyABase(BaseValue{10.0}, 5) : OtherFamiliesBase(BaseValue{50.0}, "0010");
    LastStreamOutput out;
    for (auto _ : state) {
        const auto result = layout.build(job, base, out);
        if (!result) {
            state.SkipWithError(result.error().text.c_str());
            break;
        }
        benchmark::DoNotOptimize(out.last.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.last.size()));
}

}  // namespace

int main(int argc, char** argv) {
    MakePlantFolder();
    for (const char* name : {"A1", "A2", "B1", "B2", "B3", "B4", "C1", "C2", "D1", "D2", "E"})
        benchmark::RegisterBenchmark((std::string("Compose/") + name + "/headers").c_str(), Compose, name, true);
    for (const char* name : {"B1", "C1", "D1"})
        benchmark::RegisterBenchmark((std::string("Compose/") + name + "/no-headers").c_str(), Compose, name, false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
