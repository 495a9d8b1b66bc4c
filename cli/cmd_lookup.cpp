#include "cli/cli.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli lookup STYLE\n"
    "\n"
    "Prints the layout code that table PrintStyle of data.mdb gives for STYLE, as\n"
    "Print Labels looks it up: the code as stored, NA when the style's row holds no\n"
    "code, or an empty line when no row matches. Case is ignored in the match;\n"
    "nothing is trimmed from STYLE.\n"
    "\n"
    "  --folder DIR   the plant folder holding data.mdb\n"
    "\n"
    "Exit status: 0 looked up (whatever the result), 1 failed, 2 usage error.\n";

int Run(const CliArgs& args, CliContext& ctx) {
    if (args.positionals.size() != 1) {
        ctx.err << "tarnwick-cli: lookup takes exactly one STYLE\n\n" << kHelp;
        return kUsage;
    }
    const auto code = LookupPrintStyle(PlantFolder(args) / "data.mdb", args.positionals[0]);
    if (!code) return Refuse(ctx, code.error());
    ctx.out << *code << "\n";
    return kOk;
}

}  // namespace

const Command& LookupCommand() {
    static const Command command{"lookup", "print the layout code of a style", kHelp, {}, {}, Run};
    return command;
}

}  // namespace tarnwick::cli
