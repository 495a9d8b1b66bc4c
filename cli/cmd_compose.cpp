#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include "cli/cli.h"
#include "labels/base_point.h"
#include "labels/layouts.h"
#include "base/numbers.h"

namespace tarnwick::cli {
namespace {

const char kHelp[] =
    "Usage: tarnwick-cli compose --layout NAME [field options] [base options] [-o FILE]\n"
    "\n"
    "Writes the exact printer bytes of one label to standard output, or to FILE with -o.\n"
    "Nothing is sent to a printer.\n"
    "\n"
    "  --layout NAME       a layout (A1, A2, B1, B2, B3, B4, C1, C2, D1, D2, E)\n"
    "                      or a layout code (calh021, calh026, calh023, calh024,\n"
    "                      calh020, calh025, calh015, calh022, calh018)\n"
    "\n"
    "Fields, each a text; left out means empty:\n"
    "  --wip --style --color --waist --length --length-desc\n"
    "  --text1 --text2 --text3 --barcode --qty --made-in --rn\n"
    "  --headers           print headers and images\n"
    "\n"
    "Base point, each as the Settings row or config.txt would give it. A value left\n"
    "out comes from --folder.\n"
    "  --base-x X --base-y Y   layouts A1 and A2 (the Settings row of data.mdb), as\n"
    "                          settings set takes them: X is text kept as typed\n"
    "                          (--base-x 0050 prints 0050), Y a whole number\n"
    "  --base-h H --base-v V   the other layouts (config.txt): an unquoted number is\n"
    "                          a number (--base-h 0050 prints 50), a quoted field is\n"
    "                          text (--base-h '\"0050\"' prints 0050)\n"
    "  --folder DIR            the plant folder: config.txt, data.mdb, images/\n"
    "\n"
    "Pictures are read from images/ below the plant folder.\n"
    "Exit status: 0 written, 1 refused (message on standard error), 2 usage error.\n";

int Usage(CliContext& ctx, const std::string& problem) { return UsageError(ctx, problem, kHelp); }

LabelArgs FieldsFrom(const CliArgs& args) {
    LabelArgs fields;
    fields.WIP = args.GetOr("--wip", "");
    fields.Style = args.GetOr("--style", "");
    fields.Color = args.GetOr("--color", "");
    fields.Waist = args.GetOr("--waist", "");
    fields.Length = args.GetOr("--length", "");
    fields.LengthDesc = args.GetOr("--length-desc", "");
    fields.Text1 = args.GetOr("--text1", "");
    fields.Text2 = args.GetOr("--text2", "");
    fields.Text3 = args.GetOr("--text3", "");
    fields.Barcode = args.GetOr("--barcode", "");
    fields.Qty = args.GetOr("--qty", "");
    fields.PrintHeaders = args.Has("--headers");
    fields.MadeIn = args.GetOr("--made-in", "");
    fields.RN = args.GetOr("--rn", "");
    return fields;
}

// A field the way config.txt reads it: a quoted one runs to the next quote and stays
// text; an unquoted one is kept whole.
std::pair<std::string, bool> ConfigField(const std::string& text) {
    if (!text.starts_with('"')) return {text, false};
    const auto close = text.find('"', 1);
    return {text.substr(1, close == std::string::npos ? std::string::npos : close - 1), true};
}

// Number or text, as config.txt's BaseH keeps it.
BaseValue NumberOrText(const std::string& option) {
    auto [text, quoted] = ConfigField(option);
    if (!quoted && IsWholeNumberText(text)) return LeadingNumber(text);
    return text;
}

// The base point texts, or the exit status once the reason has been printed.
std::expected<BasePoint, int> BaseFor(const Layout& layout, const CliArgs& args, CliContext& ctx) {
    const char* const own[] = {layout.usesPrinterSettingsBase ? "--base-x" : "--base-h",
                               layout.usesPrinterSettingsBase ? "--base-y" : "--base-v"};
    const char* const other[] = {layout.usesPrinterSettingsBase ? "--base-h" : "--base-x",
                                 layout.usesPrinterSettingsBase ? "--base-v" : "--base-y"};
    for (const char* option : other)
        if (args.Has(option))
            return std::unexpected(Usage(ctx, std::string(option) + " does not apply to layout " +
                                                  std::string(layout.name) + "; it takes " + own[0] + " and " +
                                                  own[1]));

    LazyPlant plant(args, ctx);
    if (layout.usesPrinterSettingsBase) {
        const auto y = args.Get("--base-y");
        const auto rounded = y && IsWholeNumberText(*y) ? RoundToInt16(LeadingNumber(*y)) : std::nullopt;
        if (y && !rounded) return std::unexpected(Usage(ctx, "--base-y must be a number from -32768 to 32767"));
        // The text settings set would store, so both give the same label.
        const auto baseX = plant.Value<BaseValue>(
            "--base-x", [](const std::string& x) { return x; }, [](const Plant& p) { return p.printer.BaseX; });
        const auto baseY = plant.Value<std::int16_t>(
            "--base-y", [&](const std::string&) { return *rounded; }, [](const Plant& p) { return p.printer.BaseY; });
        if (!baseX || !baseY) return std::unexpected(kRefused);
        return FamilyABase(*baseX, *baseY);
    }
    const auto baseH = plant.Value<BaseValue>("--base-h", NumberOrText, [](const Plant& p) { return p.config.BaseH; });
    const auto baseV = plant.Value<std::string>(
        "--base-v", [](const std::string& v) { return ConfigField(v).first; },
        [](const Plant& p) { return p.config.BaseV; });
    if (!baseH || !baseV) return std::unexpected(kRefused);
    return OtherFamiliesBase(*baseH, *baseV);
}

int RunCompose(const CliArgs& args, CliContext& ctx) {
    if (!args.positionals.empty()) return Usage(ctx, "compose takes no argument " + args.positionals.front());
    const auto name = args.Get("--layout");
    if (!name) return Usage(ctx, "compose needs --layout");
    auto layout = LayoutByName(*name);
    if (!layout) layout = LayoutForCode(*name);
    if (!layout) return Usage(ctx, "no layout is named " + *name);

    const auto base = BaseFor(*layout, args, ctx);
    if (!base) return base.error();

    CapturingOutput capture;
    LabelArgs fields = FieldsFrom(args);
    // Pictures come from the plant folder, wherever the command is run from.
    fields.pictures = PlantFolder(args);
    if (const auto built = layout->build(fields, *base, capture); !built) return Refuse(ctx, built.error());
    const std::string& stream = capture.streams.front();

    if (const auto file = args.Get("-o")) {
        std::ofstream out(*file, std::ios::binary | std::ios::trunc);
        out.write(stream.data(), static_cast<std::streamsize>(stream.size()));
        out.close();
        if (!out)
            return Refuse(ctx, Failure{"Could not write the label to " + *file +
                                       ". Check the folder exists and "
                                       "can be written to, then run again."});
        return kOk;
    }
    ctx.out.write(stream.data(), static_cast<std::streamsize>(stream.size()));
    ctx.out.flush();
    return ctx.out ? kOk : kRefused;
}

}  // namespace

const Command& ComposeCommand() {
    static const Command command{
        "compose",
        "write the exact bytes of one label",
        kHelp,
        {"--layout", "--wip", "--style", "--color", "--waist", "--length", "--length-desc", "--text1", "--text2",
         "--text3", "--barcode", "--qty", "--made-in", "--rn", "--base-h", "--base-v", "--base-x", "--base-y", "-o"},
        {"--headers"},
        RunCompose};
    return command;
}

}  // namespace tarnwick::cli
