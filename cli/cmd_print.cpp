#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& PrintCommand() {
    static const Command command{"print", "print a label, or the cuts of a cut sheet", "Usage: tarnwick-cli print\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: print is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
