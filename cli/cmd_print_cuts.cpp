#include "cli/cli.h"

namespace tarnwick::cli {

// Placeholder until cut-sheet printing lands.
int PrintCutSheet(const CliArgs&, CliContext& ctx) {
    ctx.err << "tarnwick-cli: printing from a cut sheet is not available yet\n";
    return kRefused;
}

}  // namespace tarnwick::cli
