#include <iostream>
#include <string>
#include <vector>

#include "base/held_signals.h"
#include "cli/cli.h"
#include "labels/stream_rules.h"

using namespace tarnwick::cli;

namespace {

std::vector<const Command*> AllCommands() {
    return {&DbCommand(),      &StylesCommand(), &LookupCommand(),   &SettingsCommand(),
            &ComposeCommand(), &PrintCommand(),  &CutsCommand(),     &CutCommand(),
            &CellsCommand(),   &SampleCommand(), &PreviewCommand(),  &HistoryCommand(),
            &ReprintCommand(), &PlantCommand(),  &PrintersCommand(), &TokensCommand()};
}

void PrintOverview(std::ostream& os) {
    os << "Usage: tarnwick-cli COMMAND [options]\n\n"
          "Prints waistband labels the way the Tarnwick window does. Every command takes\n"
          "--folder DIR, the plant folder with config.txt and data.mdb (default: the\n"
          "folder of this program when it holds config.txt, else $TARNWICK_PLANT, else\n"
          "/var/lib/tarnwick), before the command or after it. Exit status: 0 done,\n"
          "1 refused or failed, 2 usage error.\n\n"
          "Commands:\n";
    for (const Command* c : AllCommands()) {
        os << "  " << c->name << std::string(c->name.size() < 10 ? 10 - c->name.size() : 1, ' ') << c->summary << '\n';
    }
    os << "\nRun tarnwick-cli COMMAND --help for the options of one command; tarnwick-cli --version\n"
          "prints the version.\n";
}

// Global options given before the command (tarnwick-cli --folder DIR print ...), as git
// and docker take them; they are handed on after the command's name.
std::vector<std::string> GlobalOptionsFirst(std::vector<std::string>& args) {
    std::vector<std::string> globals;
    while (!args.empty()) {
        if (args[0].starts_with("--folder=")) {
            globals.push_back(args[0]);
            args.erase(args.begin());
        } else if (args[0] == "--folder" && args.size() > 1) {
            globals.insert(globals.end(), args.begin(), args.begin() + 2);
            args.erase(args.begin(), args.begin() + 2);
        } else {
            break;
        }
    }
    return globals;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread: a stop request waits for the labels in hand, whichever thread has them.
    tarnwick::TakeStopSignals();
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::vector<std::string> globals = GlobalOptionsFirst(args);
    if (args.size() == 1 && args[0] == "--folder") {
        std::cerr << "tarnwick-cli: option --folder needs a value\n\n";
        PrintOverview(std::cerr);
        return kUsage;
    }
    if (args.empty() && !globals.empty()) {
        std::cerr << "tarnwick-cli: " << globals.front() << " needs a command after it\n\n";
        PrintOverview(std::cerr);
        return kUsage;
    }
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
        std::vector<std::string> rest(globals);
        rest.insert(rest.end(), args.begin() + 1, args.end());
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
        CliContext ctx{std::cout, std::cerr};
        return c->run(*parsed, ctx);
    }
    std::cerr << "tarnwick-cli: unknown command " << args[0] << "\n\n";
    PrintOverview(std::cerr);
    return kUsage;
}
