#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <system_error>

#include "cutsheet/cut_sheet.h"
#include "cutsheet/zip_parts.h"

namespace tarnwick {
namespace {

enum class Format { Csv, Xlsx, Ods, Xls };

constexpr std::size_t kSniffBytes = 4096;

// Text as a cut sheet holds it: no NUL and no control byte but tab, line ends, form
// feed and the old end-of-file mark. Pictures, PDFs and programs all break this in
// their first few kilobytes; any 8-bit text encoding passes.
bool LooksLikeText(std::span<const unsigned char> bytes) {
    for (unsigned char c : bytes) {
        if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == 0x1A) continue;
        return false;
    }
    return true;
}

std::expected<Format, Failure> ZipFormat(const std::filesystem::path& file) {
    if (const auto parts = ZipPartCount(file.string()); parts && *parts > kZipParts)
        return std::unexpected(ReadFailure(
            file, "its zip directory lists " + std::to_string(*parts) + " parts, far more than a spreadsheet has"));
    if (const std::string& missing = Zip().error; !missing.empty())
        return std::unexpected(ReadFailure(file,
                                           "reading xlsx and ods files needs the zip library (libzip4), which "
                                           "could not be loaded: " +
                                               missing));
    ZipPtr archive = OpenZip(file.string());
    if (!archive) return std::unexpected(ReadFailure(file, "it looks like a zip archive but is damaged"));
    if (EntryPtr entry{Zip().fopen(archive.get(), "mimetype", 0)}) {
        std::array<char, 128> text{};
        const zip_int64_t got = Zip().fread(entry.get(), text.data(), text.size() - 1);
        const std::string mime(text.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
        if (mime.starts_with("application/vnd.oasis.opendocument.spreadsheet")) return Format::Ods;
        return std::unexpected(ReadFailure(file, "it is a " + mime + " document, not a spreadsheet"));
    }
    if (Zip().name_locate(archive.get(), "[Content_Types].xml", 0) >= 0) return Format::Xlsx;
    return std::unexpected(ReadFailure(file, "it is a zip archive, not a spreadsheet"));
}

}  // namespace

std::string CellName(int row, int column) {
    std::string letters;
    for (int c = column; c > 0; c = (c - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
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

std::expected<void, Failure> CheckCutSheetPath(const std::filesystem::path& file) {
    struct stat info {};
    if (file.empty() || ::stat(file.c_str(), &info) != 0) {
        const int error = file.empty() ? ENOENT : errno;
        if (error == ENOENT || error == ENOTDIR)
            return std::unexpected(
                Failure{"The cut sheet " + file.string() + " does not exist. Check the path and try again.", "Tarnwick",
                        MessageIcon::Information});
        return std::unexpected(
            ReadFailure(file, std::string("the file could not be opened (") + std::strerror(error) + ")"));
    }
    if (S_ISREG(info.st_mode)) return {};
    const std::string what = S_ISDIR(info.st_mode)                            ? "a folder"
                             : S_ISFIFO(info.st_mode)                         ? "a FIFO (named pipe)"
                             : S_ISSOCK(info.st_mode)                         ? "a socket"
                             : S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? "a device"
                                                                              : "not a regular file";
    return std::unexpected(Failure{"The cut sheet " + file.string() + " is " + what +
                                       ", not a file. Give the path of a CSV, xlsx, ods or xls file.",
                                   "Tarnwick", MessageIcon::Information});
}

std::expected<std::unique_ptr<CutSheet>, Failure> OpenCutSheet(const std::filesystem::path& file) {
    // Opened without waiting: a FIFO or a device put where the file was must not hang
    // the window; what is not a regular file is refused before a byte is read.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return std::unexpected(CheckCutSheetPath(file).error());
        return std::unexpected(
            ReadFailure(file, std::string("the file could not be opened (") + std::strerror(errno) + ")"));
    }
    std::array<unsigned char, kSniffBytes> head{};
    std::size_t got = 0;
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    while (regular && got < head.size()) {
        const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (!regular) {
        auto check = CheckCutSheetPath(file);
        return std::unexpected(check ? ReadFailure(file, "it changed while it was being opened") : check.error());
    }
    const std::span<const unsigned char> bytes(head.data(), got);
    static constexpr std::array<unsigned char, 8> kOle{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    Format format = Format::Csv;
    if (got >= 4 && bytes[0] == 'P' && bytes[1] == 'K' && bytes[2] == 3 && bytes[3] == 4) {
        auto zipped = ZipFormat(file);
        if (!zipped) return std::unexpected(zipped.error());
        format = *zipped;
    } else if (got >= kOle.size() && std::equal(kOle.begin(), kOle.end(), bytes.begin())) {
        format = Format::Xls;
    } else if (got >= 4 && bytes[0] == 0x09 &&
               (bytes[1] == 0x00 || bytes[1] == 0x02 || bytes[1] == 0x04 || bytes[1] == 0x08)) {
        // A bare record stream, as Excel 2 to 4 saved it: the xls reader names what it is.
        format = Format::Xls;
    } else if (got >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
        return std::unexpected(Failure{"The cut sheet " + file.string() +
                                           " is UTF-16 text (Excel's \"Unicode Text\"), which Tarnwick does not read. "
                                           "Save it as CSV or xlsx and choose that file.",
                                       "Tarnwick", MessageIcon::Critical});
    } else if (!LooksLikeText(bytes)) {
        return std::unexpected(Failure{"The file " + file.string() +
                                           " is not a cut sheet (CSV, xlsx, ods or xls): it holds neither text nor a "
                                           "spreadsheet. Choose the cut sheet file and try again.",
                                       "Tarnwick", MessageIcon::Critical});
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
