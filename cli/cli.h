#pragma once

#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "printer/send_to_printer.h"
#include "startup/plant_folder.h"
#include "startup/startup.h"
#include "store/print_journal.h"

namespace tarnwick {
class PlantStation;
}

namespace tarnwick::cli {

struct CliArgs {
    std::vector<std::string> positionals;
    std::map<std::string, std::string> options;  // "--wip" -> value
    std::set<std::string> flags;  // "--headers"

    bool Has(const std::string& option) const { return options.contains(option) || flags.contains(option); }
    std::optional<std::string> Get(const std::string& option) const;
    std::string GetOr(const std::string& option, const std::string& fallback) const;
};

struct CliContext {
    std::ostream& out;
    std::ostream& err;
};

struct Command {
    std::string name;  // "compose", or "styles" for a group
    std::string summary;  // one line for tarnwick-cli --help
    std::string help;  // full text for COMMAND --help
    std::set<std::string> valueOptions;  // options that take a value, e.g. "--wip"
    std::set<std::string> flagOptions;  // options without a value, e.g. "--headers"
    int (*run)(const CliArgs& args, CliContext& ctx);
};

// Exit statuses shared by every command.
inline constexpr int kOk = 0;
inline constexpr int kRefused = 1;
inline constexpr int kUsage = 2;

// Options may come before or after positionals; a value may start with "-"
// ("--qty -3"); "--name=value" works too. "--folder" is accepted by every command.
std::expected<CliArgs, std::string> ParseCliArgs(const std::vector<std::string>& argv, const Command& command);

// The plant folder: --folder, else the program's own folder when it holds config.txt,
// else TARNWICK_PLANT, else the system folder.
std::filesystem::path PlantFolder(const CliArgs& args);

// Start-up on the plant folder; prints the failure on err and returns nullopt.
std::optional<Plant> LoadPlant(const CliArgs& args, CliContext& ctx);

// The print journal of a command that prints, through the command's own connection; a
// journal that stops (or starts again) being kept is told on err.
PrintJournal CommandJournal(Plant& plant, CliContext& ctx);

// Once the command's labels are out and recorded, and what it had to say is written out:
// the rows sent on to the plant database (within its bound), then, after a command that
// printed, a batch of the jobs past the retention removed.
void AfterLabels(Plant& plant, CliContext& ctx, bool printed);
// AfterLabels when a printing command ends, whichever way: a refused label's row goes on
// to the plant too.
class AfterLabelsOnExit {
public:
    AfterLabelsOnExit(Plant& plant, CliContext& ctx) : plant_(plant), ctx_(ctx) {}
    AfterLabelsOnExit(const AfterLabelsOnExit&) = delete;
    AfterLabelsOnExit& operator=(const AfterLabelsOnExit&) = delete;
    ~AfterLabelsOnExit() { AfterLabels(plant_, ctx_, printed_); }
    void Printed() { printed_ = true; }

private:
    Plant& plant_;
    CliContext& ctx_;
    bool printed_ = false;
};

// The plant database that the folder's config.txt names, for commands that need no
// printer; nullptr when it names none (or cannot be read: data.mdb alone serves).
std::expected<std::shared_ptr<PlantStation>, Failure> FolderPlantStation(const CliArgs& args, CliContext& ctx);

// LoadPlant for a command that looks after the plant database itself, with the station
// it joined: nullptr when config.txt names no plant database.
struct StationPlant {
    Plant plant;
    std::shared_ptr<PlantStation> station;
};
std::optional<StationPlant> LoadPlantStation(const CliArgs& args, CliContext& ctx);

// Prints a failure's text on err; returns kRefused.
int Refuse(CliContext& ctx, const Failure& failure);

// Where a label went, as the commands report it: printer "NAME", or device PATH.
std::string RouteShown(const OutputRoute& route);

// Prints a usage problem and the command's help on err; returns kUsage.
int UsageError(CliContext& ctx, const std::string& problem, const std::string& help);

// The start-up records, loaded only when a command finds it needs them (a value left
// out of the options), and then only once.
class LazyPlant {
public:
    LazyPlant(const CliArgs& args, CliContext& ctx) : args_(args), ctx_(ctx) {}
    const Plant* Get() {
        if (!loaded_) {
            plant_ = LoadPlant(args_, ctx_);
            loaded_ = true;
        }
        return plant_ ? &*plant_ : nullptr;
    }

    // The option's value as fromOption makes it, else the plant's as fromPlant reads it;
    // nullopt when the plant is needed and cannot be loaded (the reason is printed).
    template <class T, class FromOption, class FromPlant>
    std::optional<T> Value(const std::string& option, FromOption fromOption, FromPlant fromPlant) {
        if (const auto given = args_.Get(option)) return T(fromOption(*given));
        if (const Plant* p = Get()) return T(fromPlant(*p));
        return std::nullopt;
    }

private:
    const CliArgs& args_;
    CliContext& ctx_;
    bool loaded_ = false;
    std::optional<Plant> plant_;
};

// Every command of the tool, each defined in its own cmd_*.cpp.
const Command& DbCommand();
const Command& StylesCommand();
const Command& LookupCommand();
const Command& SettingsCommand();
const Command& ComposeCommand();
const Command& PrintCommand();
const Command& CutsCommand();
const Command& CutCommand();
const Command& CellsCommand();
const Command& SampleCommand();
const Command& PreviewCommand();
const Command& HistoryCommand();
const Command& ReprintCommand();
const Command& PlantCommand();
const Command& PrintersCommand();
const Command& TokensCommand();

}  // namespace tarnwick::cli

namespace tarnwick::cli {
// `print FILE --row N | --all`: the cut-sheet half of the print command (cmd_print_cuts.cpp).
int PrintCutSheet(const CliArgs& args, CliContext& ctx);
}  // namespace tarnwick::cli
