#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until the command lands.
const Command& DbCommand() {
    static const Command command{"db", "create a new data.mdb", "Usage: tarnwick-cli db\n", {}, {},
                                 [](const CliArgs&, CliContext& ctx) {
                                     ctx.err << "tarnwick-cli: db is not available yet\n";
                                     return kRefused;
                                 }};
    return command;
}

}  // namespace tarnwick::cli
