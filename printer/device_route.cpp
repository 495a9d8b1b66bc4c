#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "printer/routes.h"

namespace tarnwick {
namespace {

Failure DeviceFailure(const std::filesystem::path& device, const std::string& what, int error) {
    std::string reason = std::strerror(error);
    if (error == ENXIO) reason += " (nothing is reading from it)";
    return {"The label could not be " + what + " the printer device " + device.string() + ": " + reason +
                ". Check that the printer is connected and switched on, and that config.txt names the right "
                "device; then print the label again.",
            "Tarnwick", MessageIcon::Critical};
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closing can report a write the device did not complete.
    int Close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

}  // namespace

SendResult WriteToDevice(const std::filesystem::path& device, std::string_view stream) {
    // Never O_CREAT: a missing device means the printer is gone, and quietly writing
    // a regular file in its place would lose the label. O_APPEND keeps every label
    // when a plain file stands in for the port. A FIFO without a reader is refused at
    // once (ENXIO) instead of waiting for one forever.
    int flags = O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC;
    struct stat info {};
    const bool fifo = ::stat(device.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
    if (fifo) flags |= O_NONBLOCK;

    int fd;
    do {
        fd = ::open(device.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(DeviceFailure(device, "sent to", errno));
    FileDescriptor file(fd);
    if (fifo) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    const char* data = stream.data();
    std::size_t left = stream.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(DeviceFailure(device, "written completely to", errno));
        }
        if (written == 0) return std::unexpected(DeviceFailure(device, "written completely to", EIO));
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (file.Close() != 0 && errno != EINTR)
        return std::unexpected(DeviceFailure(device, "written completely to", errno));
    return {};
}

}  // namespace tarnwick
