#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "cli/cli.h"

namespace tarnwick::cli {
namespace {

// Drawing needs Qt and zint, which cost every other command tens of milliseconds of
// start-up; they live in tarnwick-preview, beside this program in the build tree and
// under libexec when installed.
std::filesystem::path PreviewProgram() {
    const std::filesystem::path here = ApplicationFolder();
    std::error_code ec;
    if (std::filesystem::exists(here / "tarnwick-preview", ec)) return here / "tarnwick-preview";
    return (here / TARNWICK_PREVIEW_FROM_BIN).lexically_normal();
}

int LaunchPreview(const CliArgs& args, CliContext& ctx) {
    const std::filesystem::path program = PreviewProgram();
    std::vector<std::string> words{program.string()};
    for (const auto& [name, value] : args.options) {
        if (name == "--folder") continue;
        words.push_back(name);
        words.push_back(value);
    }
    words.push_back("--");
    words.insert(words.end(), args.positionals.begin(), args.positionals.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    ctx.out.flush();
    std::cout.flush();
    execv(program.c_str(), argv.data());
    ctx.err << "tarnwick-cli: cannot start the preview program \"" << program.string() << "\": " << std::strerror(errno)
            << ". Preview needs tarnwick-preview beside tarnwick-cli or at that path; "
            << "reinstall Tarnwick.\n";
    return kRefused;
}

}  // namespace

const Command& PreviewCommand() {
    static const Command command{"preview",
                                 "render a command stream to PNG",
                                 "Usage: tarnwick-cli preview [FILE|-] -o LABEL.png [--scale N]\n\n"
                                 "Draws a label job's command stream as the 203 dpi printer prints it, one dot a\n"
                                 "pixel, and writes it as PNG. FILE is a stream written by tarnwick-cli compose or\n"
                                 "captured from a print job; without FILE, or with -, the stream is read from\n"
                                 "standard input. Prints the label's size in dots, the stream's byte count and the\n"
                                 "quantity; the printer repeats the one label that many times.\n\n"
                                 "A stream the printer would not take (no ESC A first or ESC Z last, an unknown\n"
                                 "command, a graphic count running past the end, bad digits) is refused with what is\n"
                                 "wrong and its byte offset, exit status 1.\n\n"
                                 "Options:\n"
                                 "  -o LABEL.png   the picture to write (required)\n"
                                 "  --scale N      pixels per dot, 1 to 16 (default 1)\n"
                                 "  --folder DIR   accepted as by every command; the stream alone says what is drawn\n",
                                 {"-o", "--scale"},
                                 {},
                                 LaunchPreview};
    return command;
}

}  // namespace tarnwick::cli
