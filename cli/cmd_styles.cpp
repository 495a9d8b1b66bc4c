#include "base/printable_text.h"
#include "cli/cli.h"
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
    "which select no layout. Any other code is refused.\n"
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

int Run(const CliArgs& args, CliContext& ctx) {
    const auto& p = args.positionals;
    if (p.empty()) return Usage(ctx, "styles needs a subcommand");
    const std::filesystem::path database = PlantFolder(args) / "data.mdb";
    const std::string& sub = p[0];
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
