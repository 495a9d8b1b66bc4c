#include "cli/cli.h"
#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"
#include "startup/config_file.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli cuts FILE\n"
    "\n"
    "Lists the cuts of the cut sheet FILE as Import CSV File fills the cut selector:\n"
    "one line per cut, the sheet row, a tab, then columns 1 to 6 joined by \" - \".\n"
    "The list starts at StartRow of config.txt and ends at the first row whose\n"
    "column 1 is empty. FILE may be CSV, xlsx, xlsm, ods or xls.\n"
    "\n"
    "  --folder DIR   the plant folder holding config.txt\n"
    "\n"
    "Exit status: 0 listed, 1 refused (message on standard error), 2 usage error.\n";

int Run(const CliArgs& args, CliContext& ctx) {
    if (args.positionals.size() != 1) {
        ctx.err << "tarnwick-cli: cuts takes exactly one FILE\n\n" << kHelp;
        return kUsage;
    }
    const auto config = ReadConfigFile(PlantFolder(args));
    if (!config) return Refuse(ctx, config.error());
    const std::filesystem::path file = args.positionals[0];
    if (auto usable = CheckCutSheetPath(file); !usable) return Refuse(ctx, usable.error());
    const auto imported = ImportCutSheet(file, config->StartRow, config->ExtraQty);
    if (!imported) return Refuse(ctx, imported.error());
    for (const CutEntry& entry : imported->listing.cuts) ctx.out << entry.row << '\t' << entry.text << '\n';
    if (imported->listing.notice) ctx.err << imported->listing.notice->text << '\n';
    return kOk;
}

}  // namespace

const Command& CutsCommand() {
    static const Command command{"cuts", "list the cuts of a cut sheet", kHelp, {}, {}, Run};
    return command;
}

}  // namespace tarnwick::cli
