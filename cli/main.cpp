#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "labels/stream_rules.h"

using namespace tarnwick::cli;

namespace {

std::vector<const Command*> AllCommands() {
    return {&DbCommand(),    &StylesCommand(), &LookupCommand(), &SettingsCommand(), &ComposeCommand(),
            &PrintCommand(), &CutsCommand(),   &CutCommand(),    &CellsCommand(),  &SampleCommand(),   &PreviewCommand(),
            &HistoryCommand(), &ReprintCommand(), &PlantCommand()};
}

void PrintOverview(std::ostream& os) {
    os << "Usage: tarnwick-cli COMMAND [options]\n\n"
          "Prints waistband labels the way the Tarnwick window does. Every command takes\n"
          "--folder DIR, the plant folder with config.txt and data.mdb (default: the\n"
          "folder of this program when it holds config.txt, else $TARNWICK_PLANT, else\n"
          "/var/lib/tarnwick). Exit status: 0 done, 1 refused or failed, 2 usage error.\n\n"
          "Commands:\n";
    for (const Command* c : AllCommands()) {
        os << "  " << c->name << std::string(c->name.size() < 10 ? 10 - c->name.size() : 1, ' ') << c->summary
           << '\n';
    }
    os << "\nRun tarnwick-cli COMMAND --help for the options of one command; tarnwick-cli --version\n"
          "prints the version.\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--version") {
        std::cout << "tarnwick-cli " << TARNWICK_VERSION << '\n';
        return kOk;
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintOverview(args.empty() ? std::cerr : std::cout);
        return args.empty() ? kUsage : kOk;
    }
    for (const Command* c : AllCommands()) {
        if (c->name != args[0]) continue;
        std::vector<std::string> rest(args.begin() + 1, args.end());
        for (const auto& a : rest) {
            if (a == "--help" || a == "-h") {
                std::cout << c->help;
                return kOk;
            }
        }
        auto parsed = ParseCliArgs(rest, *c);
        if (!parsed) {
            std::cerr << "tarnwick-cli: " << parsed.error() << "\n\n" << c->help;
            return kUsage;
        }
        // Pictures come from the plant folder, wherever the command is run from.
        tarnwick::SetPictureFolder(PlantFolder(*parsed));
        CliContext ctx{std::cout, std::cerr};
        return c->run(*parsed, ctx);
    }
    std::cerr << "tarnwick-cli: unknown command " << args[0] << "\n\n";
    PrintOverview(std::cerr);
    return kUsage;
}
