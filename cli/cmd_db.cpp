#include "cli/cli.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli db init [PATH]\n"
    "\n"
    "Creates a new settings database: the tables Settings and PrintStyle, and the\n"
    "Settings row with ID 1 (BaseX \"0\", BaseY 0, ParallelPrinter true, USBPrinter\n"
    "false, USBPrinterName empty). PATH is the file to create; a folder means its\n"
    "data.mdb; left out, data.mdb in the plant folder (--folder DIR).\n"
    "An existing file is never overwritten.\n"
    "\n"
    "Exit status: 0 created, 1 refused or failed, 2 usage error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

int Run(const CliArgs& args, CliContext& ctx) {
    const auto& p = args.positionals;
    if (p.empty()) return Usage(ctx, "db needs a subcommand");
    if (p[0] != "init") return Usage(ctx, "unknown db subcommand " + p[0]);
    if (p.size() > 2) return Usage(ctx, "db init takes one PATH");
    std::filesystem::path file = p.size() == 2 ? std::filesystem::path(p[1]) : PlantFolder(args) / "data.mdb";
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) file /= "data.mdb";
    if (auto created = SettingsDb::Create(file); !created) return Refuse(ctx, created.error());
    ctx.out << "Created " << file.string() << "\n";
    return kOk;
}

}  // namespace

const Command& DbCommand() {
    static const Command command{"db", "create a new settings database (data.mdb)", kHelp, {}, {}, Run};
    return command;
}

}  // namespace tarnwick::cli
