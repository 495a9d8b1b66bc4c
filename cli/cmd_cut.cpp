#include <charconv>

#include "cli/cli.h"
#include "cutsheet/cut_rows.h"
#include "cutsheet/cut_sheet.h"
#include "startup/config_file.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli cut FILE ROW\n"
    "\n"
    "Shows what Move to Cut loads from row ROW of the cut sheet FILE, one Name=value\n"
    "a line: WIP, Style, Color (after the colour rule), Waist, Length, LengthDesc,\n"
    "Text1, Text2, Text3, Barcode, Qty (the cell), Stock, MadeIn (column 11, as the\n"
    "import reads it), then txtQty (the quantity plus ExtraQty of config.txt).\n"
    "\n"
    "  --folder DIR   the plant folder holding config.txt\n"
    "\n"
    "Exit status: 0 shown, 1 refused or no cut in that row (message on standard error),\n"
    "2 usage error.\n";

int Run(const CliArgs& args, CliContext& ctx) {
    int row = 0;
    const std::string* rowText = args.positionals.size() == 2 ? &args.positionals[1] : nullptr;
    if (!rowText ||
        std::from_chars(rowText->data(), rowText->data() + rowText->size(), row).ptr !=
            rowText->data() + rowText->size() ||
        row < 1 || row > kLastCutRow) {
        ctx.err << "tarnwick-cli: cut takes a FILE and a ROW from 1 to " << kLastCutRow << "\n\n" << kHelp;
        return kUsage;
    }
    const auto config = ReadConfigFile(PlantFolder(args));
    if (!config) return Refuse(ctx, config.error());
    const std::filesystem::path file = args.positionals[0];
    if (auto usable = CheckCutSheetPath(file); !usable) return Refuse(ctx, usable.error());
    const auto cut = ReadCutAt(file, row, config->ExtraQty, RowTest::MustHoldCut, CutColumns::All);
    if (!cut) return Refuse(ctx, cut.error());
    if (!*cut) return Refuse(ctx, NoCutInRowFailure(file, row));
    const CutRow& c = **cut;
    const std::pair<const char*, const std::string*> lines[] = {
        {"WIP", &c.WIP},        {"Style", &c.Style},           {"Color", &c.Color}, {"Waist", &c.Waist},
        {"Length", &c.Length},  {"LengthDesc", &c.LengthDesc}, {"Text1", &c.Text1}, {"Text2", &c.Text2},
        {"Text3", &c.Text3},    {"Barcode", &c.Barcode},       {"Qty", &c.Qty},     {"Stock", &c.Stock},
        {"MadeIn", &*c.MadeIn}, {"txtQty", &c.QtyShown}};
    for (const auto& [name, value] : lines) ctx.out << name << '=' << *value << '\n';
    return kOk;
}

}  // namespace

const Command& CutCommand() {
    static const Command command{"cut", "show what one cut row loads", kHelp, {}, {}, Run};
    return command;
}

}  // namespace tarnwick::cli
