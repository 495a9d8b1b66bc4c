#include "cli/cli.h"

#include <chrono>
#include <iostream>

#include "plantdb/plant_station.h"
#include "store/sqlite_file.h"

namespace tarnwick::cli {

std::string RouteShown(const OutputRoute& route) {
    return route.queue ? "printer \"" + route.printerName + "\"" : "device " + route.device.string();
}

std::optional<std::string> CliArgs::Get(const std::string& option) const {
    const auto it = options.find(option);
    if (it == options.end()) return std::nullopt;
    return it->second;
}

std::string CliArgs::GetOr(const std::string& option, const std::string& fallback) const {
    return Get(option).value_or(fallback);
}

std::expected<CliArgs, std::string> ParseCliArgs(const std::vector<std::string>& argv, const Command& command) {
    CliArgs args;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--") {
            for (++i; i < argv.size(); ++i) args.positionals.push_back(argv[i]);
            break;
        }
        const bool isOption = a.size() > 2 && a.starts_with("--");
        // -o is the one short option (an output file).
        if (!isOption && a != "-o") {
            args.positionals.push_back(a);
            continue;
        }
        std::string name = a;
        std::optional<std::string> inlineValue;
        if (const auto eq = a.find('='); isOption && eq != std::string::npos) {
            name = a.substr(0, eq);
            inlineValue = a.substr(eq + 1);
        }
        if (args.Has(name)) return std::unexpected("option " + name + " is given twice");
        if (command.flagOptions.contains(name)) {
            if (inlineValue) return std::unexpected("option " + name + " takes no value");
            args.flags.insert(name);
        } else if (command.valueOptions.contains(name) || name == "--folder") {
            if (inlineValue) {
                args.options[name] = *inlineValue;
            } else {
                if (i + 1 >= argv.size()) return std::unexpected("option " + name + " needs a value");
                args.options[name] = argv[++i];
            }
        } else {
            return std::unexpected("unknown option " + name + " for " + command.name);
        }
    }
    return args;
}

namespace {

PlantFolderChoice ChoosePlantFolder(const CliArgs& args) {
    if (const auto folder = args.Get("--folder")) return {std::filesystem::absolute(*folder), ""};
    return FindPlantFolder();
}

}  // namespace

std::filesystem::path PlantFolder(const CliArgs& args) { return ChoosePlantFolder(args).folder; }

PrintJournal CommandJournal(Plant& plant, CliContext& ctx) {
    PrintJournal::SendOn sendOn;
    if (plant.shared)
        sendOn = [shared = plant.shared.get(), db = plant.db.handle()](const JournalEntry& job) {
            return shared->SendNow(job, db);
        };
    return PrintJournal(
        plant.databaseFile(), plant.db.handle(), [&ctx](const Failure& notice) { ctx.err << notice.text << '\n'; },
        plant.shared != nullptr, std::move(sendOn));
}

void AfterLabels(Plant& plant, CliContext& ctx, bool printed) {
    ctx.out.flush();
    ctx.err.flush();
    // A plant found down during this command is not asked again: the rows wait for the next.
    if (plant.shared && plant.shared->answering()) (void)plant.shared->CatchUp(plant.db.handle());
    if (!printed) return;
    // A hundred jobs a command: far more than a command adds, and a long backlog never makes
    // one command much slower. A journal that cannot be pruned now is pruned later.
    (void)PruneJournalBatch(plant.db.handle(), plant.databaseFile(), std::chrono::system_clock::now(), 100);
}

namespace {

PlantNotice ToErr(CliContext& ctx) {
    return [&ctx](const Failure& notice) { ctx.err << notice.text << '\n'; };
}

}  // namespace

std::optional<Plant> LoadPlant(const CliArgs& args, CliContext& ctx) {
    auto loaded = LoadPlantStation(args, ctx);
    if (!loaded) return std::nullopt;
    return std::move(loaded->plant);
}

std::optional<StationPlant> LoadPlantStation(const CliArgs& args, CliContext& ctx) {
    auto plant = StartUp(ChoosePlantFolder(args));
    if (!plant) {
        Refuse(ctx, plant.error());
        return std::nullopt;
    }
    if (const auto refused = CheckPlantDatabase(plant->config, plant->folder)) {
        Refuse(ctx, *refused);
        return std::nullopt;
    }
    auto station = JoinPlant(*plant, ToErr(ctx), false);
    return StationPlant{std::move(*plant), std::move(station)};
}

std::expected<std::shared_ptr<PlantStation>, Failure> FolderPlantStation(const CliArgs& args, CliContext& ctx) {
    const std::filesystem::path folder = PlantFolder(args);
    // A folder without a readable config.txt keeps its styles and history in data.mdb.
    const auto config = ReadConfigFile(folder);
    if (!config || config->PlantDatabase.empty()) return nullptr;
    if (const auto refused = CheckPlantDatabase(*config, folder)) return std::unexpected(*refused);
    return std::make_shared<PlantStation>(*config, folder / "data.mdb", ToErr(ctx), false);
}

int UsageError(CliContext& ctx, const std::string& problem, const std::string& help) {
    ctx.err << "tarnwick-cli: " << problem << "\n\n" << help;
    return kUsage;
}

int Refuse(CliContext& ctx, const Failure& failure) {
    ctx.err << failure.text << '\n';
    return kRefused;
}

}  // namespace tarnwick::cli
