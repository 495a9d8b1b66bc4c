#include "fuzz/harness.h"
#include "startup/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto config = tarnwick::ParseConfigText(tarnwick::fuzz::Bytes(data, size), "config.txt"))
        (void)tarnwick::RawDevicePath(*config, "/var/lib/tarnwick");
    return 0;
}
