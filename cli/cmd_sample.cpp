#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& SampleCommand() {
    static const Command command{"sample", "print the setup window's sample label", "Usage: tarnwick-cli sample\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: sample is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
