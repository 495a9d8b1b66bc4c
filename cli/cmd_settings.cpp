#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& SettingsCommand() {
    static const Command command{"settings", "show or change the printer settings", "Usage: tarnwick-cli settings\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: settings is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
