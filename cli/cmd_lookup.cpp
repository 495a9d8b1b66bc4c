#include "cli/cli.h"
#include "plantdb/plant_station.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli lookup STYLE\n"
    "\n"
    "Prints the layout code that table PrintStyle of data.mdb gives for STYLE, as\n"
    "Print Labels looks it up: the code as stored, NA when the style's row holds no\n"
    "code, or an empty line when no row matches. Case is ignored in the match;\n"
    "nothing is trimmed from STYLE. When config.txt names a plant database, its\n"
    "catalogue answers, or this station's copy of it when it does not answer in time.\n"
    "\n"
    "  --folder DIR   the plant folder holding data.mdb\n"
    "\n"
    "Exit status: 0 looked up (whatever the result), 1 failed, 2 usage error.\n";

int Run(const CliArgs& args, CliContext& ctx) {
    if (args.positionals.size() != 1) {
        ctx.err << "tarnwick-cli: lookup takes exactly one STYLE\n\n" << kHelp;
        return kUsage;
    }
    const auto station = FolderPlantStation(args, ctx);
    if (!station) return Refuse(ctx, station.error());
    std::expected<std::string, Failure> code = std::unexpected(Failure{});
    if (*station) {
        auto db = SettingsDb::Open(PlantFolder(args) / "data.mdb");
        if (!db) return Refuse(ctx, db.error());
        code = (*station)->LookupStyle(*db, args.positionals[0]);
    } else {
        code = LookupPrintStyle(PlantFolder(args) / "data.mdb", args.positionals[0]);
    }
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
