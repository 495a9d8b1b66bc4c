#include <charconv>
#include <string_view>

#include "cli/cli.h"
#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"
#include "cutsheet/sheet_limits.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli cells FILE [--rows FIRST:LAST]\n"
    "\n"
    "Writes the first worksheet of the cut sheet FILE as Tarnwick reads it, to see why\n"
    "a sheet does not import as expected: one line per row, the row number, a tab, then\n"
    "columns 1 to 13 separated by tabs. Each cell is the text the cut rules work on: a\n"
    "number in its ordinary decimal text, an empty cell as nothing, blanks trimmed, an\n"
    "error value as its text (#N/A). A cell Tarnwick refuses (a formula whose result was\n"
    "never saved, a damaged part) stops the listing with the reason.\n"
    "\n"
    "  --rows FIRST:LAST   the rows to write (default 1:100; up to 1048576)\n"
    "  --folder DIR     the plant folder (for a relative FILE, the current folder counts)\n"
    "\n"
    "Exit status: 0 written, 1 refused (message on standard error), 2 usage error.\n";

bool ParseRow(std::string_view text, int& row) {
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), row);
    return parsed.ec == std::errc{} && parsed.ptr == text.data() + text.size() && row >= 1 && row <= kSheetRows;
}

int Run(const CliArgs& args, CliContext& ctx) {
    if (args.positionals.size() != 1) return UsageError(ctx, "cells takes exactly one FILE", kHelp);
    int first = 1, last = 100;
    if (const auto rows = args.Get("--rows")) {
        const auto colon = rows->find(':');
        if (colon == std::string::npos || !ParseRow(std::string_view(*rows).substr(0, colon), first) ||
            !ParseRow(std::string_view(*rows).substr(colon + 1), last) || first > last)
            return UsageError(ctx, "--rows takes FIRST:LAST, two row numbers from 1 to 1048576, FIRST not after LAST",
                              kHelp);
    }
    const std::filesystem::path file = args.positionals[0];
    if (auto usable = CheckCutSheetPath(file); !usable) return Refuse(ctx, usable.error());
    auto sheet = OpenCutSheet(file);
    if (!sheet) return Refuse(ctx, sheet.error());
    for (int row = first; row <= last; ++row) {
        std::string line = std::to_string(row);
        for (int column = 1; column <= kKeptColumns; ++column) {
            auto text = CellShownText(**sheet, row, column);
            if (!text) {
                ctx.out.flush();
                return Refuse(ctx, text.error());
            }
            line += '\t';
            line += *text;
        }
        line += '\n';
        ctx.out << line;
    }
    return kOk;
}

}  // namespace

const Command& CellsCommand() {
    static const Command command{"cells", "write a cut sheet's cells as Tarnwick reads them", kHelp, {"--rows"}, {},
                                 Run};
    return command;
}

}  // namespace tarnwick::cli
