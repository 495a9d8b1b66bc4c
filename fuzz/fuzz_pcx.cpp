#include "fuzz/harness.h"
#include "preview/pcx_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto picture = tarnwick::ReadPcx(tarnwick::fuzz::Bytes(data, size));
    // A picture is made only from data that was there: no dot without a data bit.
    if (picture && static_cast<std::size_t>(picture->width()) * picture->height() > 8 * 63 * size)
        tarnwick::fuzz::Fault("a PCX picture larger than its data can describe");
    return 0;
}
