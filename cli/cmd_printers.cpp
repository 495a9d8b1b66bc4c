#include "base/printable_text.h"
#include "cli/cli.h"
#include "printjob/printers.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli printers list [--format tsv|csv]\n"
    "       tarnwick-cli printers add NAME --queue QUEUE | --device PATH [--base-x TEXT]\n"
    "                                 [--base-y N] [--base-h TEXT] [--base-v TEXT]\n"
    "                                 [--device-timeout S]\n"
    "       tarnwick-cli printers set NAME [--queue QUEUE | --device PATH] [--base-x TEXT]\n"
    "                                 [--base-y N] [--base-h TEXT] [--base-v TEXT]\n"
    "                                 [--device-timeout S]\n"
    "       tarnwick-cli printers remove NAME\n"
    "\n"
    "Keeps this station's printers by name, in table Printers of data.mdb. The printer\n"
    "default is the station's own: the Settings row (changed with tarnwick-cli settings\n"
    "set or in Setup) with config.txt's ParallelPort, BaseH, BaseV and DeviceTimeout.\n"
    "A printer takes every base value and the timeout it does not set from default.\n"
    "Names are compared ignoring case and kept as typed.\n"
    "\n"
    "  list     one line a printer, default first, then by name: name, route (queue or\n"
    "           device), queue name or device path, BaseX, BaseY, BaseH, BaseV and\n"
    "           DeviceTimeout; an empty value is taken from default\n"
    "  add      adds the printer NAME:\n"
    "    --queue QUEUE         labels go as raw jobs to the print queue QUEUE\n"
    "    --device PATH         labels go to the raw device PATH (relative: from the\n"
    "                          plant folder); not a folder\n"
    "    --base-x TEXT         base point X of the new-format labels, kept as typed\n"
    "    --base-y N            base point Y, a whole number from -32768 to 32767\n"
    "    --base-h TEXT         base point H of the other labels, kept as typed (as a\n"
    "                          quoted BaseH in config.txt)\n"
    "    --base-v TEXT         base point V of the other labels, kept as typed\n"
    "    --device-timeout S    seconds from 1 to 3600 the device may take nothing\n"
    "                          before a label is given up\n"
    "  set      changes only the values given of the printer NAME; a value given\n"
    "           empty (--base-x \"\") is taken from default again\n"
    "  remove   deletes the printer NAME\n"
    "\n"
    "  --format tsv   tab-separated (the default), without a heading line, for scripts\n"
    "  --format csv   comma-separated with a heading line, for spreadsheets\n"
    "  --folder DIR   the plant folder holding config.txt and data.mdb\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (no printer changed), 2 usage error.\n";

constexpr const char* kValueOptions[] = {"--queue",  "--device", "--base-x",        "--base-y",
                                         "--base-h", "--base-v", "--device-timeout"};

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

std::string TsvField(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return PrintableText(text);
}

std::string CsvField(const std::string& text) {
    std::string shown = PrintableText(text);
    if (shown.find_first_of(",\"\r\n") == std::string::npos) return shown;
    std::string quoted = "\"";
    for (const char c : shown) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

int List(const CliArgs& args, CliContext& ctx) {
    const std::string format = args.GetOr("--format", "tsv");
    if (format != "tsv" && format != "csv") return Usage(ctx, "--format must be tsv or csv, not " + format);
    // Start-up alone: the list needs config.txt and the Settings row, not the plant database.
    const auto plant = StartUp(PlantFolder(args));
    if (!plant) return Refuse(ctx, plant.error());
    const auto printers = ListPrinters(*plant);
    if (!printers) return Refuse(ctx, printers.error());
    const bool csv = format == "csv";
    if (csv) ctx.out << "Name,Route,Target,BaseX,BaseY,BaseH,BaseV,DeviceTimeout\n";
    for (const PrinterEntry& p : *printers) {
        const std::string fields[] = {p.name,
                                      p.queue ? "queue" : "device",
                                      p.target,
                                      BaseText(p.baseX),
                                      p.baseY ? std::to_string(*p.baseY) : "",
                                      BaseText(p.baseH),
                                      p.baseV.value_or(""),
                                      p.deviceTimeout ? std::to_string(p.deviceTimeout->count()) : ""};
        bool first = true;
        for (const std::string& field : fields) {
            if (!first) ctx.out << (csv ? ',' : '\t');
            first = false;
            ctx.out << (csv ? CsvField(field) : TsvField(field));
        }
        ctx.out << '\n';
    }
    return kOk;
}

int Change(const CliArgs& args, const std::string& sub, CliContext& ctx) {
    const std::string& name = args.positionals[1];
    if (args.Has("--queue") && args.Has("--device")) return Usage(ctx, "give --queue or --device, not both");
    PrinterChange change;
    change.name = name;
    if (const auto queue = args.Get("--queue")) {
        change.route = "queue";
        change.target = *queue;
    } else if (const auto device = args.Get("--device")) {
        change.route = "device";
        change.target = *device;
    }
    change.baseX = args.Get("--base-x");
    change.baseY = args.Get("--base-y");
    change.baseH = args.Get("--base-h");
    change.baseV = args.Get("--base-v");
    change.deviceTimeout = args.Get("--device-timeout");
    const std::filesystem::path folder = PlantFolder(args);
    if (sub == "add") {
        if (!change.route) return Usage(ctx, "printers add needs --queue QUEUE or --device PATH");
        if (auto added = AddPrinter(folder, change); !added) return Refuse(ctx, added.error());
        ctx.out << "Added printer " << PrintableText(name) << ".\n";
        return kOk;
    }
    bool anyValue = false;
    for (const char* option : kValueOptions) anyValue = anyValue || args.Has(option);
    if (!anyValue) return Usage(ctx, "printers set needs at least one value to change");
    if (auto set = SetPrinter(folder, change); !set) return Refuse(ctx, set.error());
    ctx.out << "Changed printer " << PrintableText(name) << ".\n";
    return kOk;
}

int Run(const CliArgs& args, CliContext& ctx) {
    const auto& p = args.positionals;
    if (p.empty()) return Usage(ctx, "printers needs list, add, set or remove");
    const std::string& sub = p[0];
    if (sub != "list" && sub != "add" && sub != "set" && sub != "remove")
        return Usage(ctx, "unknown printers subcommand " + sub);
    if (sub != "list" && args.Has("--format")) return Usage(ctx, "--format is for printers list");
    if (sub == "list" || sub == "remove")
        for (const char* option : kValueOptions)
            if (args.Has(option)) return Usage(ctx, "printers " + sub + " takes no " + option);
    if (sub == "list") return p.size() == 1 ? List(args, ctx) : Usage(ctx, "printers list takes no arguments");
    if (p.size() != 2) return Usage(ctx, "printers " + sub + " needs one NAME");
    if (sub == "remove") {
        if (auto removed = RemovePrinter(PlantFolder(args), p[1]); !removed) return Refuse(ctx, removed.error());
        ctx.out << "Removed printer " << PrintableText(p[1]) << ".\n";
        return kOk;
    }
    return Change(args, sub, ctx);
}

}  // namespace

const Command& PrintersCommand() {
    static const Command command{
        "printers",
        "list, add, set or remove the station's printers",
        kHelp,
        {"--queue", "--device", "--base-x", "--base-y", "--base-h", "--base-v", "--device-timeout", "--format"},
        {},
        Run};
    return command;
}

}  // namespace tarnwick::cli
