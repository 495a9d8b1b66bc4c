#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& ComposeCommand() {
    static const Command command{"compose", "write the exact bytes of one label", "Usage: tarnwick-cli compose\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: compose is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
