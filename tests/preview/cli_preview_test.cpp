#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QImage>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "preview/label_renderer.h"
#include "preview_test_support.h"
#include "support/run_cli.h"
#include "support/temp_plant.h"

namespace tarnwick::test {
namespace {

using tarnwick::testing::CliRun;
using tarnwick::testing::ReadAll;
using tarnwick::testing::RunProgram;
using tarnwick::testing::TempDir;

// Runs tarnwick-cli as a script would, with no display, standard input from `input` when given.
CliRun Cli(const TempDir& io, const std::vector<std::string>& args, const std::string& input = "") {
    return RunProgram(TARNWICK_CLI, args, input.empty() ? std::filesystem::path("/dev/null") : io / input,
                      "env -u QT_QPA_PLATFORM -u DISPLAY");
}

const std::string kStream = Esc("^A^A3H5V10^H0100^V0040^OB12345-01^H0205^V0090^BG02080>H12345O01 32 30   ^Q25^Z");

TEST(PreviewCli, WritesThePictureTheRendererDraws) {
    const TempDir io;
    io.Write("label.sbpl", kStream);
    const auto expected = RenderLabel(kStream, 2);
    ASSERT_TRUE(expected) << expected.error().text;

    // From a file and from standard input, with no display: the command needs none.
    for (const auto& [args, input] :
         {std::pair{std::vector<std::string>{"preview", (io / "label.sbpl").string(), "-o", (io / "a.png").string(),
                                             "--scale", "2"},
                    std::string()},
          std::pair{std::vector<std::string>{"preview", "-", "-o", (io / "a.png").string(), "--scale", "2"},
                    std::string("label.sbpl")}}) {
        const CliRun run = Cli(io, args, input);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(std::to_string(kStream.size()) + " bytes"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\u00D7 25"), std::string::npos) << run.out;
        const QImage written((io / "a.png").c_str());
        ASSERT_FALSE(written.isNull());
        EXPECT_EQ(written.convertToFormat(QImage::Format_RGB32), expected->image);
        std::filesystem::remove(io / "a.png");
    }
}

TEST(PreviewCli, RefusesAMalformedStreamWithItsMessage) {
    const TempDir io;
    io.Write("cut.sbpl", kStream.substr(0, kStream.size() - 2));
    const CliRun run = Cli(io, {"preview", (io / "cut.sbpl").string(), "-o", (io / "a.png").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("does not end with ESC \"Z\" at byte " + std::to_string(kStream.size() - 2)),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(io / "a.png"));
}

TEST(PreviewCli, UsageErrors) {
    const TempDir io;
    io.Write("label.sbpl", kStream);
    const std::string file = (io / "label.sbpl").string();
    const std::string png = (io / "a.png").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    for (const Case& c :
         {Case{{"preview", file}, 2, "needs -o LABEL.png"},
          Case{{"preview", file, "-o", png, "--scale", "0"}, 2, "--scale must be a whole number"},
          Case{{"preview", file, "-o", png, "--scale", "2x"}, 2, "--scale must be a whole number"},
          Case{{"preview", file, file, "-o", png}, 2, "takes one stream"},
          Case{{"preview", (io / "missing.sbpl").string(), "-o", png}, 1, "Cannot read the label stream"},
          Case{{"preview", file, "-o", (io / "no such folder" / "a.png").string()}, 1, "Cannot write the picture"}}) {
        const CliRun run = Cli(io, c.args);
        EXPECT_EQ(run.status, c.status) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace tarnwick::test
