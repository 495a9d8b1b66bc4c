#include "cutsheet/xls_sheet.h"
#include "fuzz/harness.h"

// The xls reader takes the file's bytes as they are read into memory; no file is needed.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = tarnwick::fuzz::Bytes(data, size);
    tarnwick::fuzz::DriveSheet("cuts.xls", [bytes](const std::filesystem::path& path) {
        return tarnwick::OpenXlsSheetFromBytes(std::string(bytes), path);
    });
    return 0;
}
