#include "labels/stream_rules.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "base/numbers.h"

namespace tarnwick {
namespace {

Failure Refusal(std::string text) { return Failure{std::move(text), "Tarnwick", MessageIcon::Critical}; }

// The folder pictures are read below, as the operator can find it.
std::filesystem::path PictureFolderShown(const std::filesystem::path& folder) {
    std::error_code ec;
    return folder.empty() ? std::filesystem::current_path(ec) : std::filesystem::absolute(folder, ec);
}

Failure UnreadableImage(const std::string& file, const std::filesystem::path& pictures, const std::string& reason) {
    const std::filesystem::path folder = PictureFolderShown(pictures);
    return Refusal("The picture file " + file + " (" + (folder / file).string() + ") could not be read: " + reason +
                   ". Put the picture in the images folder of " + folder.string() + ", then print again.");
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::expected<std::string, Failure> QuantityText(std::string_view qty) {
    const auto value = RoundToInt16(LeadingNumber(qty));
    if (!value)
        return std::unexpected(Refusal("The quantity \"" + std::string(qty) +
                                       "\" is outside the range the printer takes, -32768 to 32767. "
                                       "Enter a quantity in that range and print again."));
    return std::to_string(*value);
}

std::array<std::string, 3> CenterFabricLines(std::string text1, std::string text2, std::string text3) {
    std::array<std::string, 3> lines{std::move(text1), std::move(text2), std::move(text3)};
    std::size_t maxLen = lines[0].size();
    if (lines[1].size() > maxLen) maxLen = lines[1].size();
    if (lines[2].size() > maxLen) maxLen = lines[2].size();
    for (auto& line : lines) line.insert(0, (maxLen - line.size()) / 2, ' ');
    return lines;
}

std::string PadBarcode(std::string barcode) {
    if (barcode.size() < 17) barcode.append(17 - barcode.size(), ' ');
    return barcode;
}

std::expected<std::string, Failure> ReadImageBytes(const std::string& file, const std::filesystem::path& folder) {
    const std::filesystem::path path = folder.empty() ? std::filesystem::path(file) : folder / file;
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::unexpected(UnreadableImage(file, folder, std::generic_category().message(errno)));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return std::unexpected(UnreadableImage(file, folder, std::generic_category().message(errno)));
    if (!S_ISREG(info.st_mode)) return std::unexpected(UnreadableImage(file, folder, "it is not a file"));
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(UnreadableImage(file, folder, std::generic_category().message(errno)));
        }
        if (n == 0) break;  // shrank while we read
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

std::expected<std::string, Failure> ReadGraphic(const GraphicImage& image, bool sent,
                                                const std::filesystem::path& folder) {
    auto bytes = ReadImageBytes(std::string(image.file), folder);
    if (!bytes || !sent || bytes->size() == image.length) return bytes;
    return std::unexpected(Refusal("The picture file " + std::string(image.file) + " is " +
                                   std::to_string(bytes->size()) + " bytes long, but this label needs exactly " +
                                   std::to_string(image.length) +
                                   " bytes. Replace it with the plant's picture for this label, then print again."));
}

}  // namespace tarnwick
