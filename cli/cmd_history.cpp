#include <charconv>
#include <chrono>

#include "base/printable_text.h"
#include "base/ascii_case.h"
#include "cli/cli.h"
#include "plantdb/plant_database.h"
#include "plantdb/plant_station.h"
#include "store/print_journal.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli history [--wip W] [--style S] [--station NAME] [--since DATE] [--limit N]\n"
    "                            [--format tsv|csv] [--prefix]\n"
    "       tarnwick-cli history [--keep-days N] [--prune]\n"
    "\n"
    "Lists the print journal of data.mdb: every label job the window, the CLI or the\n"
    "Settings window's sample handed to the printer, and every refused one, newest first,\n"
    "one job a line. Columns: id, time (UTC), station, source, layout, WIP, style,\n"
    "quantity, cut sheet, row, route, printer or device, outcome, message, bytes, and the\n"
    "id of the job a reprint repeats. tarnwick-cli reprint ID sends a job again.\n"
    "When config.txt names a plant database, every station's jobs are listed, each with\n"
    "its station's name and its id there; when it does not answer, this station's own,\n"
    "with a note on standard error. This station's jobs still waiting to be sent on are\n"
    "listed from data.mdb, with a note.\n"
    "\n"
    "  --wip W          only jobs of this WIP (the whole value; case is ignored)\n"
    "  --style S        only jobs of this style\n"
    "  --prefix         --wip and --style match the beginning of the value\n"
    "  --station NAME   only the jobs of this station\n"
    "  --since DATE     only jobs from this UTC date or time on: 2026-12-01, 2026-12-01T08:00\n"
    "  --limit N        at most the N newest jobs\n"
    "  --format tsv     tab-separated (the default), without a heading line, for scripts;\n"
    "                   tabs and line ends in a value become blanks\n"
    "  --format csv     comma-separated with a heading line, for spreadsheets; values with\n"
    "                   commas or quotes in double quotes\n"
    "  --prune          remove the jobs older than the retention now, as the window and the\n"
    "                   printing commands do after their labels: the\n"
    "                   JournalDays column of the Settings row when there is one, else 180\n"
    "                   days (0 keeps every job)\n"
    "  --keep-days N    keep jobs N days from now on (0: every job), in the Settings row\n"
    "\n"
    "Other control characters in a value (an ESC typed into a WIP) are written as \\xHH, so\n"
    "the listing never sends the terminal a command. A job whose label may have gone shows\n"
    "the outcome \"may have printed\": Tarnwick was stopped while sending it, or the print\n"
    "server never confirmed it.\n"
    "  --folder DIR     the plant folder holding data.mdb\n"
    "\n"
    "Exit status: 0 done, 1 the journal could not be read or pruned, 2 usage error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

bool IsDigits(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Digits from `at`, as a number within [low, high]; nullopt otherwise.
std::optional<int> Field(std::string_view text, std::size_t at, std::size_t length, int low, int high) {
    if (at + length > text.size() || !IsDigits(text.substr(at, length))) return std::nullopt;
    int value = 0;
    std::from_chars(text.data() + at, text.data() + at + length, value);
    if (value < low || value > high) return std::nullopt;
    return value;
}

// A real date, or a date and time (hours and minutes, seconds and milliseconds
// optional), written as the journal writes times (a blank for the T is allowed);
// nullopt when it is neither.
std::optional<std::string> SinceValue(std::string text) {
    const auto year = Field(text, 0, 4, 1, 9999), month = Field(text, 5, 2, 1, 12), day = Field(text, 8, 2, 1, 31);
    if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(*year), std::chrono::month(*month),
                                           std::chrono::day(*day)};
    if (!date.ok()) return std::nullopt;
    if (text.size() == 10) return text;
    if (text[10] != 'T' && text[10] != ' ') return std::nullopt;
    text[10] = 'T';
    // 2026-12-01T08:00, :05, .250
    const bool time = (text.size() == 16 || text.size() == 19 || text.size() == 23) && Field(text, 11, 2, 0, 23) &&
                      text[13] == ':' && Field(text, 14, 2, 0, 59) &&
                      (text.size() == 16 || (text[16] == ':' && Field(text, 17, 2, 0, 59))) &&
                      (text.size() <= 19 || (text[19] == '.' && Field(text, 20, 3, 0, 999)));
    if (!time) return std::nullopt;
    return text;
}

std::string TsvField(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return PrintableText(text);
}

std::string CsvField(std::string text) {
    text = PrintableText(text);
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

void WriteJob(std::ostream& out, const JournalEntry& job, bool csv) {
    const ShownOutcome shown = ShowOutcome(job);
    const std::string fields[] = {std::to_string(job.id),
                                  job.time,
                                  job.station,
                                  job.source,
                                  job.layout,
                                  job.wip,
                                  job.style,
                                  job.quantity,
                                  job.cutSheet,
                                  job.cutRow ? std::to_string(*job.cutRow) : "",
                                  job.route,
                                  job.printer,
                                  shown.outcome,
                                  shown.message,
                                  std::to_string(job.byteCount),
                                  !job.reprintOf ? ""
                                  : job.reprintOfStation.empty()
                                      ? std::to_string(*job.reprintOf)
                                      : job.reprintOfStation + ":" + std::to_string(*job.reprintOf)};
    bool first = true;
    for (const std::string& field : fields) {
        if (!first) out << (csv ? ',' : '\t');
        first = false;
        out << (csv ? CsvField(field) : TsvField(field));
    }
    out << '\n';
}

// This station's jobs that wait in data.mdb to be sent on, listed among the plant's, with
// a note.
void AddWaitingJobs(const PlantStation& station, const JournalQuery& query, std::vector<JournalEntry>& jobs,
                    CliContext& ctx) {
    const auto added = station.AddWaitingJobs(query, jobs);
    if (!added) {
        ctx.err << added.error().text << " This station's jobs waiting to be sent on are not listed.\n";
        return;
    }
    if (*added == 0) return;
    ctx.err << *added << (*added == 1 ? " job" : " jobs") << " of this station listed here "
            << (*added == 1 ? "waits" : "wait") << " in data.mdb to be sent on to the plant database "
            << "(tarnwick-cli plant sync sends them now).\n";
}

// The plant's history when config.txt names a plant database that answers; nullopt when
// this station's own serves; an error (told) when config.txt refuses.
std::optional<std::optional<std::vector<JournalEntry>>> ReadPlantHistory(const CliArgs& args, const JournalQuery& query,
                                                                         CliContext& ctx) {
    const auto station = FolderPlantStation(args, ctx);
    if (!station) {
        Refuse(ctx, station.error());
        return std::nullopt;
    }
    if (!*station) return std::optional<std::vector<JournalEntry>>();
    auto jobs = (*station)->History(query);
    if (jobs) {
        AddWaitingJobs(**station, query, *jobs, ctx);
        return std::optional<std::vector<JournalEntry>>(std::move(*jobs));
    }
    ctx.err << jobs.error().text << " This is this station's own history.\n";
    return std::optional<std::vector<JournalEntry>>();
}

int RunHistory(const CliArgs& args, CliContext& ctx) {
    if (!args.positionals.empty()) return Usage(ctx, "history takes no argument " + args.positionals.front());
    const std::filesystem::path database = PlantFolder(args) / "data.mdb";

    const auto keepDays = args.Get("--keep-days");
    if (keepDays || args.Has("--prune")) {
        const std::string what = keepDays ? "--keep-days" : "--prune";
        for (const char* option : {"--wip", "--style", "--since", "--limit", "--format", "--station", "--prefix"})
            if (args.Has(option)) return Usage(ctx, what + " lists nothing; leave out " + option);
    }
    if (keepDays) {
        int days = -1;
        const auto [end, error] = std::from_chars(keepDays->data(), keepDays->data() + keepDays->size(), days);
        if (keepDays->empty() || error != std::errc() || end != keepDays->data() + keepDays->size() || days < 0 ||
            days > 100000)
            return Usage(ctx, "--keep-days takes a number of days from 0 (every job) to 100000, not " + *keepDays);
        if (const auto set = SetJournalDays(database, days); !set) return Refuse(ctx, set.error());
        if (days == 0) ctx.out << "The print journal keeps every job.\n";
        else ctx.out << "The print journal keeps jobs for " << days << (days == 1 ? " day.\n" : " days.\n");
    }
    if (args.Has("--prune")) {
        const auto removed = PruneJournal(database, std::chrono::system_clock::now());
        if (!removed) return Refuse(ctx, removed.error());
        ctx.out << "Removed " << *removed << (*removed == 1 ? " job" : " jobs") << " from the print journal.\n";
    }
    if (keepDays || args.Has("--prune")) return kOk;

    JournalQuery query;
    query.wip = args.GetOr("--wip", "");
    query.style = args.GetOr("--style", "");
    if (const auto since = args.Get("--since")) {
        const auto value = SinceValue(*since);
        if (!value) return Usage(ctx, "--since takes a date such as 2026-12-01 or 2026-12-01T08:00, not " + *since);
        query.since = *value;
    }
    if (const auto limit = args.Get("--limit")) {
        const auto [end, error] = std::from_chars(limit->data(), limit->data() + limit->size(), query.limit);
        if (limit->empty() || error != std::errc() || end != limit->data() + limit->size() || query.limit < 1)
            return Usage(ctx, "--limit takes a number of jobs from 1 up, not " + *limit);
    }
    const std::string format = args.GetOr("--format", "tsv");
    if (format != "tsv" && format != "csv") return Usage(ctx, "--format must be tsv or csv, not " + format);

    query.prefix = args.Has("--prefix");
    query.station = args.GetOr("--station", "");
    auto jobs = ReadPlantHistory(args, query, ctx);
    if (!jobs) return kRefused;
    if (!*jobs) {
        auto own = ReadJournal(database, query);
        if (!own) return Refuse(ctx, own.error());
        // Every job of this station's own journal is its own, under the name the plant
        // gives them, whatever name it had when printed.
        if (const auto config = ReadConfigFile(PlantFolder(args)))
            for (JournalEntry& job : *own) job.station = StationName(*config);
        if (!query.station.empty())
            std::erase_if(
                *own, [&](const JournalEntry& job) { return AsciiLower(job.station) != AsciiLower(query.station); });
        *jobs = std::move(*own);
    }
    if (format == "csv")
        ctx.out << "ID,Time (UTC),Station,Source,Layout,WIP,Style,Quantity,Cut sheet,Row,Route,Printer,Outcome,"
                   "Message,Bytes,Reprint of\n";
    for (const JournalEntry& job : **jobs) WriteJob(ctx.out, job, format == "csv");
    return kOk;
}

}  // namespace

const Command& HistoryCommand() {
    static const Command command{"history",
                                 "list the labels printed, newest first",
                                 kHelp,
                                 {"--wip", "--style", "--since", "--limit", "--format", "--keep-days", "--station"},
                                 {"--prune", "--prefix"},
                                 RunHistory};
    return command;
}

}  // namespace tarnwick::cli
