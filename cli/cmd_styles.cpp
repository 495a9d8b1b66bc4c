#include "base/printable_text.h"
#include "cli/cli.h"
#include "plantdb/plant_database.h"
#include "plantdb/plant_station.h"
#include "store/sqlite_file.h"
#include "store/style_csv.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli styles list\n"
    "       tarnwick-cli styles set STYLE CODE\n"
    "       tarnwick-cli styles remove STYLE\n"
    "       tarnwick-cli styles import FILE.csv\n"
    "\n"
    "Reads and changes table PrintStyle of data.mdb, which gives each garment style\n"
    "its layout code: calh015, calh018, calh020 to calh026, or NA or an empty code,\n"
    "which select no layout. Any other code is refused. When config.txt names a plant\n"
    "database, the plant's catalogue is read and changed instead (changing needs a login\n"
    "in tarnwick_admin), and data.mdb holds this station's copy of it.\n"
    "\n"
    "  list     one line per row: STYLE, a tab, CODE (sorted by style)\n"
    "  set      gives STYLE the code CODE: changes every row Print Labels would\n"
    "           find for it (case ignored), or adds a row\n"
    "  remove   deletes every row of STYLE (case ignored)\n"
    "  import   sets every style,code line of FILE.csv as set does, all or nothing;\n"
    "           a first line Style,PrintStyle (or Style,Code) is skipped\n"
    "\n"
    "  --folder DIR   the plant folder holding data.mdb\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (remove: no such style), 2 usage error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

int List(const std::filesystem::path& database, CliContext& ctx) {
    const auto rows = ListPrintStyles(database);
    if (!rows) return Refuse(ctx, rows.error());
    // A tab or line end inside a style would split its line in two.
    for (const auto& row : *rows)
        ctx.out << PrintableText(row.style) << '\t' << PrintableText(row.code.value_or("")) << '\n';
    return kOk;
}

int Set(const std::filesystem::path& database, const std::string& style, const std::string& code, CliContext& ctx) {
    const auto added = SetPrintStyle(database, style, code);
    if (!added) return Refuse(ctx, added.error());
    ctx.out << (*added ? "Added style " : "Set style ") << style << " to code " << code << ".\n";
    return kOk;
}

int Remove(const std::filesystem::path& database, const std::string& style, CliContext& ctx) {
    const auto removed = RemovePrintStyle(database, style);
    if (!removed) return Refuse(ctx, removed.error());
    if (!*removed) return Refuse(ctx, Failure{"There is no style " + style + " in " + database.string() + "."});
    ctx.out << "Removed style " << style << ".\n";
    return kOk;
}

int Import(const std::filesystem::path& database, const std::string& csvFile, CliContext& ctx) {
    const auto rows = ReadStyleCsv(csvFile);
    if (!rows) return Refuse(ctx, rows.error());
    const auto counts = ImportPrintStyles(database, *rows);
    if (!counts) return Refuse(ctx, counts.error());
    ctx.out << "Read " << rows->size() << " styles from " << csvFile << ": added " << counts->added << ", changed "
            << counts->changed << ", unchanged " << counts->unchanged << ".\n";
    return kOk;
}

// The plant's catalogue changed by `change`, then this station's copy brought up to date.
template <class Change>
int ChangePlant(PlantStation& station, CliContext& ctx, Change change) {
    auto db = station.Connection();
    if (!db) {
        Failure failure = station.Problem(db.error());
        failure.text += " No print style was changed.";
        return Refuse(ctx, failure);
    }
    const int status = change(**db);
    if (status != kOk) return status;
    if (auto opened = OpenExistingDatabase(station.databaseFile(), false)) {
        Connection local(*opened);
        (void)station.CatchUp(local.get());
    }
    return kOk;
}

int RunOnPlant(PlantStation& station, const std::vector<std::string>& p, CliContext& ctx) {
    const std::string& sub = p[0];
    const auto refused = [&](const PgError& error) {
        Failure failure = station.Problem(error, kStylesNeedAdmin);
        failure.text += " No print style was changed.";
        return Refuse(ctx, failure);
    };
    if (sub == "list") {
        auto db = station.Connection();
        auto catalogue = db ? ReadPlantCatalogue(**db, station.Deadline()) : std::unexpected(db.error());
        if (!catalogue) {
            ctx.err << station.Problem(catalogue.error()).text << " These are this station's copy of the catalogue.\n";
            return List(station.databaseFile(), ctx);
        }
        for (const auto& row : catalogue->styles)
            ctx.out << PrintableText(row.style) << '\t' << PrintableText(row.code.value_or("")) << '\n';
        return kOk;
    }
    std::vector<StyleCode> rows;
    if (sub == "set") rows.push_back({p[1], p[2]});
    if (sub == "import") {
        auto read = ReadStyleCsv(p[1]);
        if (!read) return Refuse(ctx, read.error());
        rows = std::move(*read);
    }
    for (const StyleCode& row : rows) {
        if (!IsKnownStyleCode(row.code))
            return Refuse(ctx, Failure{"\"" + row.code + "\" is not a layout code. Give style " + row.style +
                                       " one of " + KnownStyleCodes() + ". No print style was changed."});
    }
    return ChangePlant(station, ctx, [&](PgConnection& db) {
        if (sub == "remove") {
            const auto removed = RemovePlantStyle(db, p[1], station.Deadline());
            if (!removed) return refused(removed.error());
            if (!*removed) return Refuse(ctx, Failure{"There is no style " + p[1] + " in the plant's catalogue."});
            ctx.out << "Removed style " << p[1] << ".\n";
            return kOk;
        }
        const auto counts = PutPlantStyles(db, rows, false, station.Deadline());
        if (!counts) return refused(counts.error());
        if (sub == "set")
            ctx.out << (counts->added > 0 ? "Added style " : "Set style ") << p[1] << " to code " << p[2] << ".\n";
        else
            ctx.out << "Read " << rows.size() << " styles from " << p[1] << ": added " << counts->added << ", changed "
                    << counts->changed << ", unchanged " << counts->unchanged << ".\n";
        return kOk;
    });
}

int Run(const CliArgs& args, CliContext& ctx) {
    const auto& p = args.positionals;
    if (p.empty()) return Usage(ctx, "styles needs a subcommand");
    const std::filesystem::path database = PlantFolder(args) / "data.mdb";
    const std::string& sub = p[0];
    const std::size_t wanted = sub == "list" ? 1 : sub == "set" ? 3 : sub == "remove" || sub == "import" ? 2 : 0;
    if (wanted != 0 && p.size() == wanted) {
        const auto station = FolderPlantStation(args, ctx);
        if (!station) return Refuse(ctx, station.error());
        if (*station) return RunOnPlant(**station, p, ctx);
    }
    if (sub == "list") return p.size() == 1 ? List(database, ctx) : Usage(ctx, "styles list takes no arguments");
    if (sub == "set") return p.size() == 3 ? Set(database, p[1], p[2], ctx) : Usage(ctx, "styles set needs STYLE CODE");
    if (sub == "remove") return p.size() == 2 ? Remove(database, p[1], ctx) : Usage(ctx, "styles remove needs STYLE");
    if (sub == "import")
        return p.size() == 2 ? Import(database, p[1], ctx) : Usage(ctx, "styles import needs FILE.csv");
    return Usage(ctx, "unknown styles subcommand " + sub);
}

}  // namespace

const Command& StylesCommand() {
    static const Command command{"styles", "list, set, remove or import style codes", kHelp, {}, {}, Run};
    return command;
}

}  // namespace tarnwick::cli
