#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& CutsCommand() {
    static const Command command{"cuts", "list the cuts of a cut sheet", "Usage: tarnwick-cli cuts\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: cuts is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
