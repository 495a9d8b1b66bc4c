#include "cli/cli.h"
#include "store/settings_entry.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli settings show\n"
    "       tarnwick-cli settings set [--base-x TEXT] [--base-y N] [--route queue|device]\n"
    "                                 [--printer NAME]\n"
    "\n"
    "Shows or changes the printer settings, the Settings row with ID 1 of data.mdb,\n"
    "as the Settings window does.\n"
    "\n"
    "  show   prints BaseX, BaseY, ParallelPrinter, USBPrinter and USBPrinterName,\n"
    "         one Name=value a line (True/False; an unset value prints nothing)\n"
    "  set    saves the given values; the others keep their saved values:\n"
    "    --base-x TEXT       base point X of the new-format labels, kept as typed\n"
    "    --base-y N          base point Y, a number from -32768 to 32767 (a fraction\n"
    "                        rounds to the nearest whole number, a half to even)\n"
    "    --route queue       print to the print queue named by --printer (USB)\n"
    "    --route device      print to the raw printer device (parallel port)\n"
    "    --printer NAME      the print queue's name\n"
    "         When the saved row cannot be read, give all four to rewrite it.\n"
    "\n"
    "  --folder DIR   the plant folder holding data.mdb\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (nothing saved), 2 usage error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

const char* TrueFalse(bool value) { return value ? "True" : "False"; }

void Show(const PrinterSettings& settings, std::ostream& out) {
    out << "BaseX=" << BaseText(settings.BaseX) << '\n'
        << "BaseY=" << settings.BaseY << '\n'
        << "ParallelPrinter=" << (settings.ParallelPrinter ? TrueFalse(*settings.ParallelPrinter) : "") << '\n'
        << "USBPrinter=" << TrueFalse(settings.USBPrinter) << '\n'
        << "USBPrinterName=" << settings.USBPrinterName << '\n';
}

int Set(const CliArgs& args, SettingsDb& db, CliContext& ctx) {
    const auto route = args.Get("--route");
    if (route && *route != "queue" && *route != "device") return Usage(ctx, "--route is queue or device");

    PrinterSettings saved;
    if (auto loaded = db.LoadPrinterSettings(saved); !loaded) {
        const bool rewritesAll = args.Has("--base-x") && args.Has("--base-y") && route && args.Has("--printer");
        if (!rewritesAll) return Refuse(ctx, loaded.error());
    }
    const bool usb = route ? *route == "queue" : saved.USBPrinter;
    const bool parallel = route ? *route == "device" : saved.ParallelPrinter.value_or(false);
    auto settings = SettingsFromEntries(args.GetOr("--base-x", BaseText(saved.BaseX)),
                                        args.GetOr("--base-y", std::to_string(saved.BaseY)), parallel, usb,
                                        args.GetOr("--printer", saved.USBPrinterName));
    if (!settings) return Refuse(ctx, settings.error());
    // What was not asked for is written back exactly as it was read.
    if (!args.Has("--base-x")) settings->BaseX = saved.BaseX;
    if (!route) settings->ParallelPrinter = saved.ParallelPrinter;

    const auto written = db.SavePrinterSettings(*settings);
    if (!written) return Refuse(ctx, written.error());
    if (!*written)
        return Refuse(ctx, Failure{db.file().string() +
                                   " has no Settings row with ID 1, so nothing was saved. Add the row (or make a new "
                                   "database with \"tarnwick-cli db init\"), then try again."});
    Show(*settings, ctx.out);
    return kOk;
}

int Run(const CliArgs& args, CliContext& ctx) {
    const auto& p = args.positionals;
    if (p.size() != 1 || (p[0] != "show" && p[0] != "set"))
        return Usage(ctx, p.empty() ? "settings needs show or set" : "settings takes show or set");
    const bool anyValue = args.Has("--base-x") || args.Has("--base-y") || args.Has("--route") || args.Has("--printer");
    if (p[0] == "show" && anyValue) return Usage(ctx, "settings show takes no values; use settings set");
    if (p[0] == "set" && !anyValue) return Usage(ctx, "settings set needs at least one value to change");

    auto db = SettingsDb::Open(PlantFolder(args) / "data.mdb");
    if (!db) return Refuse(ctx, db.error());
    if (p[0] == "set") return Set(args, *db, ctx);
    PrinterSettings settings;
    if (auto loaded = db->LoadPrinterSettings(settings); !loaded) return Refuse(ctx, loaded.error());
    Show(settings, ctx.out);
    return kOk;
}

}  // namespace

const Command& SettingsCommand() {
    static const Command command{"settings", "show or change the printer settings",
                                 kHelp,      {"--base-x", "--base-y", "--route", "--printer"},
                                 {},         Run};
    return command;
}

}  // namespace tarnwick::cli
