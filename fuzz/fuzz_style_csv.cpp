#include "fuzz/harness.h"
#include "store/style_csv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)tarnwick::ParseStyleCsv(tarnwick::fuzz::Bytes(data, size), "styles.csv");
    return 0;
}
