#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/preview/draw_preview.h"

using namespace tarnwick::cli;

// Run by `tarnwick-cli preview` with the same arguments.
int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const Command& command = PreviewCommand();
    for (const auto& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            std::cout << command.help;
            return kOk;
        }
    }
    auto parsed = ParseCliArgs(args, command);
    if (!parsed) {
        std::cerr << "tarnwick-cli: " << parsed.error() << "\n\n" << command.help;
        return kUsage;
    }
    CliContext ctx{std::cout, std::cerr};
    return DrawPreview(*parsed, ctx);
}
