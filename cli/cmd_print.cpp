#include "cli/cli.h"
#include "printer/send_to_printer.h"
#include "printjob/print_and_record.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli print [field options] [--headers]\n"
    "       tarnwick-cli print FILE --row N | --all [--qty Q] [--old-format] [--brand] [--headers]\n"
    "\n"
    "Prints a label as the Print Labels button does. Without FILE the label is typed in\n"
    "(manual mode): the style's layout code comes from data.mdb, the bar code is composed\n"
    "from style, colour, waist and length description, and the label goes to the printer\n"
    "or raw device that the folder's settings name.\n"
    "\n"
    "Fields, each a text; left out means empty:\n"
    "  --wip --style --color --waist --length --length-desc\n"
    "  --text1 --text2 --text3 --qty --made-in --rn\n"
    "  --headers           print headers and images\n"
    "\n"
    "With FILE, the cuts of a cut sheet are printed as file mode prints them, with New\n"
    "Format checked as the window starts (layout A1, or A2 with --brand):\n"
    "  --row N             the cut on sheet row N\n"
    "  --all               every cut of the sheet\n"
    "  --old-format        New Format unchecked: the layout of the style's code\n"
    "  --new-format        New Format checked (the default)\n"
    "  --brand             the brand box checked\n"
    "  --folder DIR        the plant folder: config.txt, data.mdb, images/\n"
    "\n"
    "Exit status: 0 the printer took the label, 1 refused (message on standard error),\n"
    "2 usage error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

PrintControls TypedControls(const CliArgs& args) {
    PrintControls controls;
    controls.txtWIP = args.GetOr("--wip", "");
    controls.txtStyle = args.GetOr("--style", "");
    controls.txtColor = args.GetOr("--color", "");
    controls.txtWaist = args.GetOr("--waist", "");
    controls.txtLength = args.GetOr("--length", "");
    controls.txtLDesc = args.GetOr("--length-desc", "");
    controls.cmbText1 = args.GetOr("--text1", "");
    controls.cmbText2 = args.GetOr("--text2", "");
    controls.cmbText3 = args.GetOr("--text3", "");
    controls.txtQty = args.GetOr("--qty", "");
    controls.txtMadeIn = args.GetOr("--made-in", "");
    controls.txtRN = args.GetOr("--rn", "");
    controls.chkPrintHeaders = args.Has("--headers") ? 1 : 0;
    return controls;
}

int RunPrint(const CliArgs& args, CliContext& ctx) {
    if (args.positionals.size() > 1) return Usage(ctx, "print takes at most one cut sheet");
    if (args.positionals.size() == 1) return PrintCutSheet(args, ctx);
    for (const char* option : {"--row", "--all", "--new-format", "--old-format", "--brand"})
        if (args.Has(option)) return Usage(ctx, std::string(option) + " needs a cut sheet FILE");

    auto plant = LoadPlant(args, ctx);
    if (!plant) return kRefused;
    const OutputRoute route = PlantRoute(*plant);
    RoutedOutput printer([&route] { return route; });
    PrintJournal journal = CommandJournal(*plant, ctx);
    AfterLabelsOnExit after(*plant, ctx);
    LabelJob job;
    const auto printed = PrintAndRecord(*plant, TypedControls(args), job, {"cli", std::nullopt}, printer, journal);
    if (!printed) return Refuse(ctx, printed.error());

    ctx.out << "Printed layout " << printed->layout << " on ";
    if (route.queue) ctx.out << "printer \"" << route.printerName << "\"";
    else ctx.out << "device " << route.device.string();
    if (!printed->note.empty()) ctx.out << ". " << printed->note;
    ctx.out << '\n';
    after.Printed();
    return kOk;
}

}  // namespace

const Command& PrintCommand() {
    static const Command command{
        "print",
        "print a label, or the cuts of a cut sheet",
        kHelp,
        {"--wip", "--style", "--color", "--waist", "--length", "--length-desc", "--text1", "--text2", "--text3",
         "--qty", "--made-in", "--rn", "--row"},
        {"--headers", "--all", "--new-format", "--old-format", "--brand"},
        RunPrint};
    return command;
}

}  // namespace tarnwick::cli
