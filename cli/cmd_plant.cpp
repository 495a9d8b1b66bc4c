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
    "       tarnwick-cli plant new-id\n"
    "\n"
    "Works on the plant database that config.txt names (PlantDatabase,<libpq connection\n"
    "string>): the style catalogue and the print journal every station shares.\n"
    "\n"
    "  init     makes, upgrades or repairs the plant's tables (a dropped column, table or\n"
    "           unique key is made again) and the roles tarnwick_operator (read styles, add\n"
    "           and read jobs) and tarnwick_admin (also change styles), in one transaction;\n"
    "           run it as the database's owner, once and after upgrades, or when a station\n"
    "           says the plant's tables lack something\n"
    "  status   the database and login, the tables and what they lack, the catalogue's\n"
    "           version, this station's copy of it (and whether it matches the plant's)\n"
    "           and the rows waiting to be sent on\n"
    "  sync     sends every waiting row on now and brings the station's copy of the\n"
    "           catalogue up to date (on a slow link, as far as a minute allows; the next\n"
    "           command or sync goes on from there)\n"
    "  push     moves a separate station over: adds its styles the plant lacks (a style\n"
    "           the plant has keeps the plant's code, and is listed) and sends its whole\n"
    "           journal; run twice, nothing is doubled; needs a login in tarnwick_admin\n"
    "  new-id   gives this station a new id in the plant and sends its waiting rows on\n"
    "           under it: for a data.mdb copied from another station (an imaged PC, a\n"
    "           backup restored on a new one), which the plant refuses under the old id\n"
    "\n"
    "  --folder DIR   the plant folder holding config.txt and data.mdb\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the plant database did not answer), 2 usage\n"
    "error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

int Init(PlantStation& station, CliContext& ctx) {
    auto db = station.Connection(false);
    if (!db) return Refuse(ctx, station.Problem(db.error()));
    // Making the tables may wait for other sessions' locks longer than a label would.
    const auto before = InitPlantSchema(**db, PgClock::now() + std::chrono::seconds(60));
    if (!before) return Refuse(ctx, station.Problem(before.error()));
    if (*before == 0)
        ctx.out << "Made the plant's tables (version " << kPlantSchemaVersion << ") in " << (*db)->Describe();
    else if (*before < kPlantSchemaVersion)
        ctx.out << "Upgraded the plant's tables from version " << *before << " to " << kPlantSchemaVersion;
    else ctx.out << "The plant's tables are version " << kPlantSchemaVersion << " already";
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
    if (const auto staging = StagingOfCatalogue(local))
        ctx.out << "Taking the catalogue's version " << staging->version << ": " << staging->styles
                << " styles so far (the next command or plant sync goes on)\n";
    ctx.out << "Rows waiting to be sent on: " << (waiting ? std::to_string(*waiting) : waiting.error().text) << '\n';
    auto db = station.Connection(false);
    if (!db) return Refuse(ctx, station.Problem(db.error()));
    const auto state = ReadPlantState(**db, station.Deadline());
    if (!state) return Refuse(ctx, station.Problem(state.error()));
    const auto fit = CheckPlantSchema(**db, station.Deadline());
    ctx.out << "Connected: " << (*db)->Describe() << '\n'
            << "Role: " << state->role
            << (state->mayChangeStyles ? " (may change styles)" : " (may not change styles: not in tarnwick_admin)")
            << '\n'
            << "Plant's tables: version " << state->schemaVersion << (fit ? std::string() : "; " + fit.error().message)
            << '\n'
            << "Plant's catalogue: version " << state->catalogueVersion << ", changed " << state->catalogueChanged
            << " (UTC)\n";
    if (copy)
        ctx.out << (copy->digest == state->catalogueDigest
                        ? "The station's copy holds the plant's catalogue as it is.\n"
                        : "The station's copy differs from the plant's catalogue" +
                              std::string(copy->version == state->catalogueVersion ? " at the same version" : "") +
                              ": the next command or plant sync takes it again.\n");
    ctx.out << "Jobs in the plant's history: " << state->jobs << '\n';
    if (id && fit) {
        const auto holder = ReadStationClaim(**db, *id, station.Deadline());
        const StationClaim& here = station.here();
        if (holder && *holder && ((*holder)->host != here.host || (*holder)->folder != here.folder)) {
            ctx.out << "This station's id was first used by the station on the host " << (*holder)->host
                    << ", plant folder " << (*holder)->folder << ", since " << (*holder)->since
                    << ": the plant does not take this station's rows. Run tarnwick-cli plant new-id here.\n";
            return kRefused;
        }
    }
    return fit ? kOk : kRefused;
}

// How long sync may take the copy over a slow link; what is left goes on next time.
constexpr std::chrono::seconds kSyncCopyFor{60};

std::string CopyState(sqlite3* local) {
    const auto copy = CopyOfCatalogue(local);
    std::string text = "this station's copy of the catalogue is version " + std::to_string(copy ? copy->version : 0);
    if (const auto staging = StagingOfCatalogue(local))
        text += " (version " + std::to_string(staging->version) +
                " is being taken: " + std::to_string(staging->styles) +
                " styles so far, the next command or plant sync goes on)";
    return text;
}

int Sync(Plant& plant, PlantStation& station, CliContext& ctx) {
    const auto sent = station.CatchUp(plant.db.handle(), kSyncCopyFor);
    // A refusal was told as it happened.
    if (!sent) return station.refusing() ? kRefused : Refuse(ctx, sent.error());
    ctx.out << "Sent " << *sent << (*sent == 1 ? " row" : " rows") << " on to the plant database; "
            << CopyState(plant.db.handle()) << ".\n";
    return kOk;
}

int NewId(Plant& plant, PlantStation& station, CliContext& ctx) {
    sqlite3* local = plant.db.handle();
    const auto old = StationId(local, plant.databaseFile());
    if (!old) return Refuse(ctx, old.error());
    const auto id = RenewStationId(local, plant.databaseFile());
    if (!id) return Refuse(ctx, id.error());
    ctx.out << "This station's id in the plant database is now " << *id << " (it was " << *old << ").\n";
    const auto sent = station.CatchUp(local, kSyncCopyFor);
    if (!sent && station.refusing()) return kRefused;
    if (!sent)
        return Refuse(ctx, Failure{sent.error().text + " The new id is kept; the next command or plant sync sends "
                                                       "this station's waiting rows under it."});
    ctx.out << "Sent " << *sent << (*sent == 1 ? " row" : " rows") << " on to the plant database under it.\n";
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
    if (!counts) return Refuse(ctx, station.Problem(counts.error(), kStylesNeedAdmin));
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
    if (!sent) return station.refusing() ? kRefused : Refuse(ctx, sent.error());
    ctx.out << "Journal: " << *sent << (*sent == 1 ? " job" : " jobs")
            << " sent to the plant's history (a job it held already is kept once).\n";
    return kOk;
}

int Run(const CliArgs& args, CliContext& ctx) {
    const auto& p = args.positionals;
    if (p.size() != 1) return Usage(ctx, "plant needs one subcommand: init, status, sync, push or new-id");
    const std::string& sub = p[0];
    if (sub != "init" && sub != "status" && sub != "sync" && sub != "push" && sub != "new-id")
        return Usage(ctx, "unknown plant subcommand " + sub);
    auto loaded = LoadPlantStation(args, ctx);
    if (!loaded) return kRefused;
    Plant& plant = loaded->plant;
    if (loaded->station == nullptr)
        return Refuse(ctx, Failure{"The settings file \"" + (plant.folder / "config.txt").string() +
                                   "\" names no plant database. Add a line PlantDatabase,<connection string> "
                                   "(for example PlantDatabase,service=tarnwick), then try again."});
    PlantStation& station = *loaded->station;
    if (sub == "init") return Init(station, ctx);
    if (sub == "status") return Status(plant, station, ctx);
    if (sub == "sync") return Sync(plant, station, ctx);
    if (sub == "new-id") return NewId(plant, station, ctx);
    return Push(plant, station, ctx);
}

}  // namespace

const Command& PlantCommand() {
    static const Command command{"plant", "set up and look after the plant database", kHelp, {}, {}, Run};
    return command;
}

}  // namespace tarnwick::cli
