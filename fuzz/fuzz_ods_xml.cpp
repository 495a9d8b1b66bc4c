#include "fuzz/zip_package.h"

namespace {

constexpr std::string_view kMimeType = "application/vnd.oasis.opendocument.spreadsheet";

constexpr std::string_view kManifest =
    R"(<?xml version="1.0" encoding="UTF-8"?>)"
    R"(<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.2">)"
    R"(<manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.opendocument.spreadsheet"/>)"
    R"(<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>)"
    R"(</manifest:manifest>)";

}  // namespace

// The input is content.xml; the rest of a valid package is fixed.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string package = tarnwick::fuzz::ZipOf({{"mimetype", kMimeType},
                                                       {"META-INF/manifest.xml", kManifest},
                                                       {"content.xml", tarnwick::fuzz::Bytes(data, size)}});
    const tarnwick::fuzz::BytesFile file(package);
    tarnwick::fuzz::DriveSheet(file.Path(),
                               [](const std::filesystem::path& path) { return tarnwick::OpenOdsSheet(path); });
    return 0;
}
