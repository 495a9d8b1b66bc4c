#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& PreviewCommand() {
    static const Command command{"preview", "render a command stream to PNG", "Usage: tarnwick-cli preview\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: preview is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
