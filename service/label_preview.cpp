#include "service/label_preview.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <vector>

#include "startup/startup.h"

extern char** environ;

namespace tarnwick::service {
namespace {

std::filesystem::path PreviewProgram() {
    const std::filesystem::path here = ApplicationFolder();
    std::error_code ec;
    if (std::filesystem::exists(here / "tarnwick-preview", ec)) return here / "tarnwick-preview";
    return (here / TARNWICK_PREVIEW_FROM_BIN).lexically_normal();
}

// A folder of this request's own, removed with everything in it.
struct ScratchFolder {
    std::filesystem::path path;
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnwickd-preview.XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

std::expected<LabelPicture, Failure> DrawLabel(std::string_view stream) {
    const ScratchFolder scratch;
    if (scratch.path.empty())
        return std::unexpected(
            Failure{std::string("The preview has no folder to draw in: ") + std::strerror(errno) + "."});
    const auto streamFile = scratch.path / "label.prn", picture = scratch.path / "label.png",
               said = scratch.path / "said.txt";
    std::ofstream(streamFile, std::ios::binary).write(stream.data(), static_cast<std::streamsize>(stream.size()));
    const std::string program = PreviewProgram().string();
    std::vector<std::string> words{program, "-o", picture.string(), "--", streamFile.string()};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0)
        return std::unexpected(Failure{"The preview program \"" + program +
                                       "\" cannot be started: " + std::strerror(spawned) + ". Reinstall Tarnwick."});
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    std::string text = ReadFile(said);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::unexpected(Failure{text.empty() ? "The preview program failed." : text});
    LabelPicture drawn;
    drawn.png = ReadFile(picture);
    // "FILE: 812 x 406 dots, 1234 bytes, × 24"
    static const std::regex kSaid(R"(: (\d+) x (\d+) dots, \d+ bytes, \S+ (\S+)$)");
    std::smatch match;
    if (std::regex_search(text, match, kSaid)) {
        drawn.width = std::stoi(match[1]);
        drawn.height = std::stoi(match[2]);
        drawn.quantity = match[3];
    }
    return drawn;
}

}  // namespace tarnwick::service
