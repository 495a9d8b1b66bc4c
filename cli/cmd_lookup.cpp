#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& LookupCommand() {
    static const Command command{"lookup", "print the layout code of a style", "Usage: tarnwick-cli lookup\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: lookup is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
