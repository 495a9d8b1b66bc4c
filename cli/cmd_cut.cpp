#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& CutCommand() {
    static const Command command{"cut", "show what one cut row loads", "Usage: tarnwick-cli cut\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: cut is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
