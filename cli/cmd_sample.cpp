#include <fstream>
#include <optional>
#include <string>

#include "cli/cli.h"
#include "labels/label_job.h"
#include "labels/sample_label.h"
#include "printer/send_to_printer.h"
#include "printjob/print_and_record.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli sample [--base-x TEXT] [--base-y TEXT] [--route queue|device]\n"
    "                           [--printer NAME] [-o FILE]\n"
    "\n"
    "Prints the Settings window's sample label: SAMPLE TEXT at the base point, one copy.\n"
    "Each value left out is taken from the saved settings of --folder, as the Settings\n"
    "window shows them when it opens.\n"
    "\n"
    "  --base-x TEXT    horizontal base value; a number is written with at least four\n"
    "  --base-y TEXT    digits (50 as 0050), any other text as given\n"
    "  --route queue    send to the print queue named by --printer\n"
    "  --route device   write to the raw printer device of config.txt\n"
    "  --printer NAME   the print queue for --route queue\n"
    "  -o FILE          write the bytes to FILE instead; nothing is sent\n"
    "  --folder DIR     the plant folder: config.txt, data.mdb\n"
    "\n"
    "Exit status: 0 sent or written, 1 refused or failed (message on standard error),\n"
    "2 usage error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

int RunSample(const CliArgs& args, CliContext& ctx) {
    if (!args.positionals.empty()) return Usage(ctx, "sample takes no argument " + args.positionals.front());
    const auto routeOption = args.Get("--route");
    if (routeOption && *routeOption != "queue" && *routeOption != "device")
        return Usage(ctx, "--route must be queue or device, not " + *routeOption);
    const auto file = args.Get("-o");

    LazyPlant plant(args, ctx);
    const auto text = [](const std::string& value) { return value; };
    const auto baseX =
        plant.Value<std::string>("--base-x", text, [](const Plant& p) { return BaseText(p.printer.BaseX); });
    if (!baseX) return kRefused;
    const auto baseY =
        plant.Value<std::string>("--base-y", text, [](const Plant& p) { return std::to_string(p.printer.BaseY); });
    if (!baseY) return kRefused;

    if (file) {
        const auto stream = SampleStream(*baseX, *baseY);
        if (!stream) return Refuse(ctx, stream.error());
        std::ofstream out(*file, std::ios::binary | std::ios::trunc);
        out.write(stream->data(), static_cast<std::streamsize>(stream->size()));
        out.close();
        if (!out)
            return Refuse(ctx, Failure{"Could not write the sample label to " + *file +
                                       ". Check the folder exists and can be written to, then run again."});
        return kOk;
    }

    OutputRoute route;
    const auto queue = plant.Value<bool>(
        "--route", [](const std::string& r) { return r == "queue"; },
        [](const Plant& p) { return p.printer.USBPrinter; });
    if (!queue) return kRefused;
    route.queue = *queue;
    if (route.queue) {
        const auto name =
            plant.Value<std::string>("--printer", text, [](const Plant& p) { return p.printer.USBPrinterName; });
        if (!name) return kRefused;
        route.printerName = *name;
    } else if (const Plant* p = plant.Get()) {
        route.device = p->rawDevice();
        route.deviceStallLimit = p->config.DeviceTimeout;
    } else {
        return kRefused;
    }

    FunctionOutput output([&route](std::string_view bytes) { return SendRaw(route, bytes); });
    // A sample given every value may run without a plant; there is no journal then.
    const auto database = PlantFolder(args) / "data.mdb";
    NoJournal none;
    std::optional<PrintJournal> journal;
    if (std::filesystem::exists(database))
        journal.emplace(database, [&ctx](const Failure& notice) { ctx.err << notice.text << '\n'; });
    const auto sent = PrintSample(*baseX, *baseY, route, output, journal ? static_cast<JobRecorder&>(*journal) : none);
    if (!sent) return Refuse(ctx, sent.error());
    if (route.queue) ctx.out << "Sent the sample label to the print queue " << route.printerName << ".";
    else ctx.out << "Sent the sample label to the printer device " << route.device.string() << ".";
    if (!sent->note.empty()) ctx.out << ' ' << sent->note;
    ctx.out << '\n';
    return kOk;
}

}  // namespace

const Command& SampleCommand() {
    static const Command command{"sample", "print the Settings window's sample label",
                                 kHelp,    {"--base-x", "--base-y", "--route", "--printer", "-o"},
                                 {},       RunSample};
    return command;
}

}  // namespace tarnwick::cli
