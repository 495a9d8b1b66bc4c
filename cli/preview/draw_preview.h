#pragma once

#include "cli/cli.h"

namespace tarnwick::cli {

// Draws the stream named by the arguments of `tarnwick-cli preview` into a PNG. Lives in
// tarnwick-preview, the one program that loads Qt and zint.
int DrawPreview(const CliArgs& args, CliContext& ctx);

}  // namespace tarnwick::cli
