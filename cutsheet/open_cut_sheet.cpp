#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

#include "cutsheet/cut_sheet.h"
#include "cutsheet/zip_parts.h"

namespace tarnwick {
namespace {

enum class Format { Csv, Xlsx, Ods, Xls };

std::expected<Format, Failure> ZipFormat(const std::filesystem::path& file) {
    ZipPtr archive = OpenZip(file.string());
    if (!archive) return std::unexpected(ReadFailure(file, "it looks like a zip archive but is damaged"));
    if (zip_file_t* entry = zip_fopen(archive.get(), "mimetype", 0)) {
        std::array<char, 128> text{};
        const zip_int64_t got = zip_fread(entry, text.data(), text.size() - 1);
        zip_fclose(entry);
        const std::string mime(text.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
        if (mime.starts_with("application/vnd.oasis.opendocument.spreadsheet")) return Format::Ods;
        return std::unexpected(ReadFailure(file, "it is a " + mime + " document, not a spreadsheet"));
    }
    if (zip_name_locate(archive.get(), "[Content_Types].xml", 0) >= 0) return Format::Xlsx;
    return std::unexpected(ReadFailure(file, "it is a zip archive, not a spreadsheet"));
}

}  // namespace

std::string CellName(int row, int column) {
    std::string letters;
    for (int c = column; c > 0; c = (c - 1) / 26) letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
    return letters + std::to_string(row);
}

Failure ReadFailure(const std::filesystem::path& file, const std::string& problem) {
    return Failure{"The cut sheet " + file.string() + " cannot be read: " + problem +
                       ". Check the file, or save it again from the spreadsheet program, and try again.",
                   "Tarnwick", MessageIcon::Critical};
}

bool FileExists(const std::filesystem::path& file) {
    std::error_code ec;
    return !file.empty() && std::filesystem::is_regular_file(file, ec);
}

std::expected<std::unique_ptr<CutSheet>, Failure> OpenCutSheet(const std::filesystem::path& file) {
    std::array<unsigned char, 8> magic{};
    std::size_t got = 0;
    if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
        got = std::fread(magic.data(), 1, magic.size(), f);
        std::fclose(f);
    } else {
        return std::unexpected(ReadFailure(file, "the file could not be opened"));
    }
    static constexpr std::array<unsigned char, 8> kOle{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    Format format = Format::Csv;
    if (got >= 4 && magic[0] == 'P' && magic[1] == 'K' && magic[2] == 3 && magic[3] == 4) {
        auto zipped = ZipFormat(file);
        if (!zipped) return std::unexpected(zipped.error());
        format = *zipped;
    } else if (got == magic.size() && magic == kOle) {
        format = Format::Xls;
    }
    switch (format) {
        case Format::Xlsx: return OpenXlsxSheet(file);
        case Format::Ods: return OpenOdsSheet(file);
        case Format::Xls: return OpenXlsSheet(file);
        case Format::Csv: break;
    }
    return OpenCsvSheet(file);
}

}  // namespace tarnwick
