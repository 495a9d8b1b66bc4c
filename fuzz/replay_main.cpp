// Runs saved inputs through a harness without libFuzzer: each argument is a file or a
// folder of files. Built with any compiler, so the sanitizer tree replays every input
// that ever crashed, leaked or broke a bound.

#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Outside the sanitizers, a reader asking for more than this fails its allocation and
// the replay with it (the sanitizers reserve terabytes of address space themselves).
constexpr rlim_t kAddressSpace = rlim_t{1} << 30;

int Replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!kSanitized) {
        const rlimit limit{kAddressSpace, kAddressSpace};
        setrlimit(RLIMIT_AS, &limit);
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    int failed = 0, replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file() && entry.path().filename() != ".keep") files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) failed += Replay(file), ++replayed;
        } else {
            failed += Replay(arg), ++replayed;
        }
    }
    std::fprintf(stderr, "%d inputs replayed\n", replayed);
    return failed == 0 ? 0 : 1;
}
