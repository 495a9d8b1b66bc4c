#pragma once

#include <zip.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/harness.h"

namespace tarnwick::fuzz {

// A zip package made in memory from named parts, stored (not deflated) so the fuzzer's
// time goes into the XML, which is what it mutates.
inline std::string ZipOf(const std::vector<std::pair<const char*, std::string_view>>& parts) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!buffer) Fault("zip_source_buffer_create failed");
    zip_source_keep(buffer);
    zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    if (!archive) Fault("zip_open_from_source failed");
    for (const auto& [name, bytes] : parts) {
        zip_source_t* part = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
        const zip_int64_t index = part ? zip_file_add(archive, name, part, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) Fault("adding a part to the zip failed");
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    }
    if (zip_close(archive) != 0) Fault("writing the zip failed");

    std::string zipped;
    if (zip_source_open(buffer) != 0) Fault("reopening the zip failed");
    char block[65536];
    for (zip_int64_t n; (n = zip_source_read(buffer, block, sizeof block)) > 0;)
        zipped.append(block, static_cast<std::size_t>(n));
    zip_source_close(buffer);
    zip_source_free(buffer);
    return zipped;
}

// The input up to its first NUL, and what follows it (XML holds no NUL of its own).
inline std::pair<std::string_view, std::string_view> SplitAtNul(std::string_view input) {
    const std::size_t nul = input.find('\0');
    if (nul == std::string_view::npos) return {input, {}};
    return {input.substr(0, nul), input.substr(nul + 1)};
}

}  // namespace tarnwick::fuzz
