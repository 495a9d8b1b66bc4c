#include <set>

#include "base/ascii_case.h"
#include "cli/cli.h"
#include "plantdb/plant_database.h"
#include "plantdb/plant_station.h"
#include "store/plant_copy.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli plant init\n"
    "       tarnwick-cli plant status\n"
    "       tarnwick-cli plant sync\n"
    "       tarnwick-cli plant push\n"
    "\n"
    "Works on the plant database that config.txt names (PlantDatabase,<libpq connection\n"
    "string>): the style catalogue and the print journal every station shares.\n"
    "\n"
    "  init     makes or upgrades the plant's tables and the roles tarnwick_operator (read\n"
    "           styles, add and read jobs) and tarnwick_admin (also change styles), in one\n"
    "           transaction; run it once, as the database's owner, and after upgrades\n"
    "  status   the database and login, the catalogue's version, this station's copy of\n"
    "           it and the rows waiting to be sent on\n"
    "  sync     brings the station's copy of the catalogue up to date and sends every\n"
    "           waiting row on now\n"
    "  push     moves a separate station over: adds its styles the plant lacks (a style\n"
    "           the plant has keeps the plant's code, and is listed) and sends its whole\n"
    "           journal; run twice, nothing is doubled\n"
    "\n"
    "  --folder DIR   the plant folder holding config.txt and data.mdb\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the plant database did not answer), 2 usage\n"
    "error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }


// The station of a loaded plant; refused when config.txt names no plant database.
std::expected<PlantStation*, Failure> StationOf(Plant& plant) {
    auto* station = dynamic_cast<PlantStation*>(plant.shared.get());
    if (station == nullptr)
        return std::unexpected(Failure{"The settings file \"" + (plant.folder / "config.txt").string() +
                                       "\" names no plant database. Add a line PlantDatabase,<connection string> "
                                       "(for example PlantDatabase,service=tarnwick), then try again."});
    return station;
}

int Init(PlantStation& station, CliContext& ctx) {
    auto db = station.Connection();
    if (!db) return Refuse(ctx, station.Problem(db.error()));
    // Making the tables may wait for other sessions' locks longer than a label would.
    const auto before = InitPlantSchema(**db, PgClock::now() + std::chrono::seconds(60));
    if (!before) return Refuse(ctx, station.Problem(before.error()));
    if (*before == 0)
        ctx.out << "Made the plant's tables (version " << kPlantSchemaVersion << ") in " << (*db)->Describe();
    else if (*before < kPlantSchemaVersion)
        ctx.out << "Upgraded the plant's tables from version " << *before << " to " << kPlantSchemaVersion;
    else
        ctx.out << "The plant's tables are version " << kPlantSchemaVersion << " already";
    ctx.out << "; the roles tarnwick_operator and tarnwick_admin have their rights.\n";
    return kOk;
}

int Status(Plant& plant, PlantStation& station, CliContext& ctx) {
    sqlite3* local = plant.db.handle();
    const auto id = StationId(local, plant.databaseFile());
    const auto copy = CopyOfCatalogue(local);
    const auto waiting = PlantBacklogSize(local, plant.databaseFile());
    ctx.out << "Station: " << station.station() << " (id " << (id ? *id : std::string("not made yet")) << ")\n"
            << "Plant database: " << station.conninfo() << '\n';
    ctx.out << "Station's copy of the catalogue: "
            << (copy ? "version " + std::to_string(copy->version) + ", taken " + copy->taken + " (UTC)"
                     : std::string("none yet"))
            << '\n';
    ctx.out << "Rows waiting to be sent on: " << (waiting ? std::to_string(*waiting) : waiting.error().text) << '\n';
    auto db = station.Connection();
    if (!db) return Refuse(ctx, station.Problem(db.error()));
    const auto state = ReadPlantState(**db, station.Deadline());
    if (!state) return Refuse(ctx, station.Problem(state.error()));
    ctx.out << "Connected: " << (*db)->Describe() << '\n'
            << "Role: " << state->role
            << (state->mayChangeStyles ? " (may change styles)" : " (may not change styles: not in tarnwick_admin)")
            << '\n'
            << "Plant's tables: version " << state->schemaVersion << '\n'
            << "Plant's catalogue: version " << state->catalogueVersion << ", changed " << state->catalogueChanged
            << " (UTC)\n"
            << "Jobs in the plant's history: " << state->jobs << '\n';
    return kOk;
}

int Sync(Plant& plant, PlantStation& station, CliContext& ctx) {
    const auto sent = station.CatchUp(plant.db.handle());
    if (!sent) return Refuse(ctx, sent.error());
    const auto copy = CopyOfCatalogue(plant.db.handle());
    ctx.out << "Sent " << *sent << (*sent == 1 ? " row" : " rows") << " on to the plant database; this station's "
            << "copy of the catalogue is version " << (copy ? copy->version : 0) << ".\n";
    return kOk;
}

int Push(Plant& plant, PlantStation& station, CliContext& ctx) {
    const auto local = OwnStyles(plant.db.handle(), plant.databaseFile());
    if (!local) return Refuse(ctx, local.error());
    auto db = station.Connection();
    if (!db) return Refuse(ctx, station.Problem(db.error()));
    const auto before = ReadPlantCatalogue(**db, station.Deadline());
    if (!before) return Refuse(ctx, station.Problem(before.error()));
    std::vector<StyleCode> rows;
    for (const StyleRow& row : *local) rows.push_back({row.style, row.code.value_or("")});
    const auto counts = PutPlantStyles(**db, rows, true, station.Deadline());
    if (!counts) return Refuse(ctx, station.Problem(counts.error()));
    ctx.out << "Styles: " << counts->added << " added to the plant's catalogue, " << counts->unchanged
            << " there already.\n";
    // The station's first row of a style is the one its labels used.
    std::set<std::string> told;
    for (const StyleRow& row : *local) {
        for (const StyleRow& plantRow : before->styles) {
            if (AsciiLower(plantRow.style) != AsciiLower(row.style) || told.contains(plantRow.style)) continue;
            told.insert(plantRow.style);
            if (plantRow.code.value_or("") != row.code.value_or(""))
                ctx.out << "  " << row.style << ": the plant's code " << plantRow.code.value_or("(empty)")
                        << " stays; this station had " << row.code.value_or("(empty)") << '\n';
        }
    }
    const auto queued = QueueWholeJournal(plant.db.handle(), plant.databaseFile());
    if (!queued) return Refuse(ctx, queued.error());
    const auto sent = station.CatchUp(plant.db.handle());
    if (!sent) return Refuse(ctx, sent.error());
    ctx.out << "Journal: " << *sent << (*sent == 1 ? " job" : " jobs")
            << " sent to the plant's history (a job it held already is kept once).\n";
    return kOk;
}

int Run(const CliArgs& args, CliContext& ctx) {
    const auto& p = args.positionals;
    if (p.size() != 1) return Usage(ctx, "plant needs one subcommand: init, status, sync or push");
    const std::string& sub = p[0];
    if (sub != "init" && sub != "status" && sub != "sync" && sub != "push")
        return Usage(ctx, "unknown plant subcommand " + sub);
    auto plant = LoadPlant(args, ctx);
    if (!plant) return kRefused;
    auto station = StationOf(*plant);
    if (!station) return Refuse(ctx, station.error());
    if (sub == "init") return Init(**station, ctx);
    if (sub == "status") return Status(*plant, **station, ctx);
    if (sub == "sync") return Sync(*plant, **station, ctx);
    return Push(*plant, **station, ctx);
}

}  // namespace

const Command& PlantCommand() {
    static const Command command{"plant", "set up and look after the plant database", kHelp, {}, {}, Run};
    return command;
}

}  // namespace tarnwick::cli
