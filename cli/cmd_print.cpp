#include "cli/cli.h"
#include "printer/send_to_printer.h"
#include "printjob/print_and_record.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli print [field options] [--headers] [--printer NAME]\n"
    "       tarnwick-cli print FILE --row N | --all [--qty Q] [--old-format] [--brand] [--headers]\n"
    "                                           [--printer NAME]\n"
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
    "  --printer NAME      a printer of tarnwick-cli printers list (default: this\n"
    "                      station's own, as Setup sets it)\n"
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

LabelRequest TypedRequest(const CliArgs& args) {
    LabelRequest request;
    request.fields = {args.GetOr("--wip", ""),
                      args.GetOr("--style", ""),
                      args.GetOr("--color", ""),
                      args.GetOr("--waist", ""),
                      args.GetOr("--length", ""),
                      args.GetOr("--length-desc", ""),
                      args.GetOr("--text1", ""),
                      args.GetOr("--text2", ""),
                      args.GetOr("--text3", ""),
                      {},
                      {}};
    request.quantity = args.GetOr("--qty", "");
    request.madeIn = args.GetOr("--made-in", "");
    request.rn = args.GetOr("--rn", "");
    request.printHeaders = args.Has("--headers");
    request.printer = args.GetOr("--printer", "");
    return request;
}

int RunPrint(const CliArgs& args, CliContext& ctx) {
    if (args.positionals.size() > 1) return Usage(ctx, "print takes at most one cut sheet");
    if (args.positionals.size() == 1) return PrintCutSheet(args, ctx);
    for (const char* option : {"--row", "--all", "--new-format", "--old-format", "--brand"})
        if (args.Has(option)) return Usage(ctx, std::string(option) + " needs a cut sheet FILE");

    auto plant = LoadPlant(args, ctx);
    if (!plant) return kRefused;
    PrintJournal journal = CommandJournal(*plant, ctx);
    AfterLabelsOnExit after(*plant, ctx);
    const auto printed = PrintAndRecord(*plant, TypedRequest(args), journal);
    if (!printed) return Refuse(ctx, printed.error());

    ctx.out << "Printed layout " << printed->layout << " on " << RouteShown(printed->route);
    if (!printed->note.empty()) ctx.out << ". " << printed->note;
    ctx.out << '\n';
    after.Printed();
    return kOk;
}

}  // namespace

const Command& PrintCommand() {
    static const Command command{"print",
                                 "print a label, or the cuts of a cut sheet",
                                 kHelp,
                                 {"--wip", "--style", "--color", "--waist", "--length", "--length-desc", "--text1",
                                  "--text2", "--text3", "--qty", "--made-in", "--rn", "--row", "--printer"},
                                 {"--headers", "--all", "--new-format", "--old-format", "--brand"},
                                 RunPrint};
    return command;
}

}  // namespace tarnwick::cli
