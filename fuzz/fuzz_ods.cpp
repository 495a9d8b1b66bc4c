#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tarnwick::fuzz::BytesFile file(tarnwick::fuzz::Bytes(data, size));
    tarnwick::fuzz::DriveSheet(file.Path(),
                               [](const std::filesystem::path& path) { return tarnwick::OpenOdsSheet(path); });
    return 0;
}
