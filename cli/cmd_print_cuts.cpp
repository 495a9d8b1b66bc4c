#include <charconv>
#include <vector>

#include "base/held_signals.h"
#include "cli/cli.h"
#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"
#include "printer/send_to_printer.h"
#include "printjob/print_and_record.h"

namespace tarnwick::cli {
namespace {

int Usage(CliContext& ctx, const std::string& problem) {
    ctx.err << "tarnwick-cli: " << problem << "\n\nRun tarnwick-cli print --help for the options.\n";
    return kUsage;
}

// The cut as the window would print it, with its check boxes as the options set them.
LabelRequest CutRequest(const CliArgs& args, const std::string& file, const CutRow& cut) {
    CutOptions options;
    options.quantity = args.Get("--qty");
    // The window starts with New Format checked, so a cut prints here as it would there.
    options.newFormat = !args.Has("--old-format");
    options.brand = args.Has("--brand");
    options.printHeaders = args.Has("--headers");
    options.printer = args.GetOr("--printer", "");
    return RequestForCut(cut, file, std::move(options), Requester{Requester::Kind::Cli, {}});
}

struct CutPrinter {
    const CliArgs& args;
    CliContext& ctx;
    Plant& plant;
    std::string file;
    PrintJournal journal = CommandJournal(plant, ctx);

    std::expected<LabelResult, Failure> Print(const CutRow& cut) {
        // Asked to stop, the last label's row is finished now and the stop takes effect.
        if (StopRequested()) journal.FlushOutcome();
        return PrintAndRecord(plant, CutRequest(args, file, cut), journal);
    }

    void Report(const CutRow& cut, const LabelResult& printed) {
        ctx.out << "Printed cut " << cut.row << " (" << cut.Entry << "): layout " << printed.layout << " on "
                << RouteShown(printed.route);
        if (!printed.note.empty()) ctx.out << ". " << printed.note;
        ctx.out << '\n';
    }
};

}  // namespace

int PrintCutSheet(const CliArgs& args, CliContext& ctx) {
    const auto rowText = args.Get("--row");
    const bool all = args.Has("--all");
    if (all == rowText.has_value()) return Usage(ctx, "print FILE needs either --row N or --all");
    if (args.Has("--new-format") && args.Has("--old-format"))
        return Usage(ctx, "--new-format and --old-format cannot both be given");
    for (const char* option : {"--wip", "--style", "--color", "--waist", "--length", "--length-desc", "--text1",
                               "--text2", "--text3", "--made-in", "--rn"})
        if (args.Has(option))
            return Usage(ctx, std::string(option) + " is for a typed label; a cut sheet gives the fields");
    int row = 0;
    if (rowText && (std::from_chars(rowText->data(), rowText->data() + rowText->size(), row).ptr !=
                        rowText->data() + rowText->size() ||
                    row < 1 || row > kLastCutRow))
        return Usage(ctx, "--row takes a row number from 1 to " + std::to_string(kLastCutRow));

    auto plant = LoadPlant(args, ctx);
    if (!plant) return kRefused;
    const std::filesystem::path file = args.positionals.at(0);
    if (auto usable = CheckCutSheetPath(file); !usable) return Refuse(ctx, usable.error());
    CutPrinter printer{args, ctx, *plant, file.string()};
    AfterLabelsOnExit after(*plant, ctx);
    const std::string& extraQty = plant->config.ExtraQty;

    if (!all) {
        const auto cut = ReadCutAt(file, row, extraQty, RowTest::MustHoldCut, CutColumns::All);
        if (!cut) return Refuse(ctx, cut.error());
        if (!*cut) return Refuse(ctx, NoCutInRowFailure(file, row));
        const auto printed = printer.Print(**cut);
        if (!printed) return Refuse(ctx, printed.error());
        printer.Report(**cut, *printed);
        after.Printed();
        return kOk;
    }

    // One opening for the whole run: the listing and every cut come from the same read.
    const auto firstRow = FirstCutRow(plant->config.StartRow);
    if (!firstRow) return Refuse(ctx, firstRow.error());
    auto sheet = OpenCutSheet(file);
    if (!sheet) return Refuse(ctx, sheet.error());
    const auto listing = ListCuts(**sheet, *firstRow, file);
    if (!listing) return Refuse(ctx, listing.error());
    if (listing->cuts.empty()) return Refuse(ctx, NoCutsFailure(*firstRow));
    if (listing->notice) ctx.err << listing->notice->text << '\n';
    printer.journal.ShareOutcomeCommits();
    for (const CutEntry& entry : listing->cuts) {
        auto cut = ReadCutRow(**sheet, entry.row, extraQty, CutColumns::All, file);
        std::expected<LabelResult, Failure> printed =
            cut ? printer.Print(*cut) : std::expected<LabelResult, Failure>(std::unexpected(cut.error()));
        if (!printed) {
            printer.journal.FlushOutcome();
            ctx.err << "Stopped at cut " << entry.row << " (" << entry.text << "), which was not printed:\n";
            return Refuse(ctx, printed.error());
        }
        printer.Report(*cut, *printed);
    }
    printer.journal.FlushOutcome();
    after.Printed();
    return kOk;
}

}  // namespace tarnwick::cli
