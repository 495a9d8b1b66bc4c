#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& StylesCommand() {
    static const Command command{"styles", "list, set, remove or import style codes", "Usage: tarnwick-cli styles\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: styles is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
