#include <charconv>

#include "cli/cli.h"
#include "labels/reprint_stream.h"
#include "printer/send_to_printer.h"
#include "printjob/print_and_record.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli reprint ID [--qty N] [--station NAME]\n"
    "\n"
    "Sends job ID of the print journal (the first column of tarnwick-cli history) again,\n"
    "byte for byte as it was recorded, to the printer or raw device that the folder's\n"
    "settings name today. The reprint is recorded as a new job that points at ID.\n"
    "\n"
    "  --qty N          print N labels (1 to 32767) instead of the recorded quantity; only\n"
    "                   the label's final quantity command changes\n"
    "  --station NAME   job ID of that station, from the plant database's history (the\n"
    "                   station column of tarnwick-cli history); printed here and recorded\n"
    "                   as this station's job pointing at the original\n"
    "  --folder DIR     the plant folder: data.mdb and today's printer route\n"
    "\n"
    "Exit status: 0 the printer took the label, 1 refused or failed (message on standard\n"
    "error), 2 usage error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

std::expected<JournalEntry, Failure> OtherStationsJob(SharedPlant* station, const std::string& name, std::int64_t id) {
    if (station == nullptr)
        return std::unexpected(Failure{"Job " + std::to_string(id) + " of station " + name +
                                       " is in the plant database, which config.txt does not name. Add a line "
                                       "PlantDatabase,<connection string>, then try again."});
    auto jobs = station->Job(name, id);
    if (!jobs) return std::unexpected(jobs.error());
    if (jobs->empty())
        return std::unexpected(Failure{"There is no job " + std::to_string(id) + " of station " + name +
                                       " in the plant's history. tarnwick-cli history --station " + name +
                                       " lists the jobs it holds."});
    if (jobs->size() > 1)
        return std::unexpected(Failure{std::to_string(jobs->size()) + " jobs of the plant's history are job " +
                                       std::to_string(id) + " of a station named " + name +
                                       " (two stations of one name, or a data.mdb restored from a copy). Give each "
                                       "station a name of its own (Station,NAME in config.txt), or reprint the job "
                                       "from the station that printed it."});
    return std::move(jobs->front());
}

int RunReprint(const CliArgs& args, CliContext& ctx) {
    if (args.positionals.size() != 1) return Usage(ctx, "reprint takes one job ID");
    const std::string& idText = args.positionals.front();
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    if (error != std::errc() || end != idText.data() + idText.size() || id < 1)
        return Usage(ctx, "the job ID is the number in the first column of tarnwick-cli history, not " + idText);
    std::optional<int> quantity;
    if (const auto qty = args.Get("--qty")) {
        const auto parsed = ReprintQuantity(*qty);
        if (!parsed) return Usage(ctx, parsed.error().text);
        quantity = *parsed;
    }

    auto plant = LoadPlant(args, ctx);
    if (!plant) return kRefused;
    const OutputRoute route = PlantRoute(*plant);
    RoutedOutput printer([&route] { return route; });
    PrintJournal journal = CommandJournal(*plant, ctx);
    AfterLabelsOnExit after(*plant, ctx);
    const std::string other = args.GetOr("--station", "");
    SharedPlant* station = plant->shared.get();
    std::expected<Reprint, Failure> reprint = std::unexpected(Failure{});
    if (other.empty() || (station != nullptr && other == station->station())) {
        reprint = ReprintJob(*plant, journal, id, quantity, printer);
    } else {
        auto original = OtherStationsJob(station, other, id);
        if (!original) return Refuse(ctx, original.error());
        reprint = ReprintJob(*plant, journal, std::move(*original), other, quantity, printer);
    }
    if (!reprint) return Refuse(ctx, reprint.error());
    if (!reprint->sent) return Refuse(ctx, reprint->sent.error());
    if (!reprint->sent->note.empty()) ctx.err << reprint->sent->note << '\n';

    ctx.out << "Reprinted job " << id << " (layout " << reprint->original.layout << ", WIP " << reprint->original.wip
            << "), quantity " << reprint->quantity << ", on " << RouteShown(route) << '\n';
    after.Printed();
    return kOk;
}

}  // namespace

const Command& ReprintCommand() {
    static const Command command{"reprint", "send a job of the print journal again", kHelp, {"--qty", "--station"}, {},
                                 RunReprint};
    return command;
}

}  // namespace tarnwick::cli
