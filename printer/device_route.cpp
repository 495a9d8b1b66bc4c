#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/group_access.h"
#include "printer/routes.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kWhatToCheck =
    "Check that the printer is connected, switched on and online, and that config.txt names the right device; "
    "then print the label again.";

std::string Reason(int error) {
    std::string reason = std::strerror(error);
    if (error == ENXIO) reason += " (nothing is reading from it)";
    return reason;
}

Failure DeviceFailure(std::string text) { return {std::move(text), "Tarnwick", MessageIcon::Critical}; }

Failure OpenFailure(const std::filesystem::path& device, int error) {
    // USB printers are root:lp 0660 on Debian: the fix is a group, not the cable.
    if (error == EACCES) {
        if (const auto missing = GroupThatMayWrite(device))
            return DeviceFailure("The label could not be sent to the printer device " + device.string() + ": " +
                                 Reason(error) + "; " + missing->Cause() + ". " + missing->Remedy() +
                                 ", then print the label again.");
    }
    return DeviceFailure("The label could not be sent to the printer device " + device.string() + ": " + Reason(error) +
                         ". " + kWhatToCheck);
}

// Part of a label may already be on the printer, so the operator has to look before
// printing it again; nothing is ever sent a second time on its own.
Failure WriteFailure(const std::filesystem::path& device, int error, std::size_t taken, std::size_t total) {
    if (taken == 0)
        return DeviceFailure("The label could not be written to the printer device " + device.string() + ": " +
                             Reason(error) + ". " + kWhatToCheck);
    return DeviceFailure("The label could not be written completely to the printer device " + device.string() + ": " +
                         Reason(error) + " after " + std::to_string(taken) + " of the label's " +
                         std::to_string(total) +
                         " bytes. The label may be partly printed. Check the printer and its labels and ribbon "
                         "before you print the label again.");
}

Failure StalledFailure(const std::filesystem::path& device, std::chrono::milliseconds deadline, std::size_t taken,
                       std::size_t total) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(deadline + std::chrono::milliseconds(999));
    const std::string during = std::to_string(seconds.count()) + (seconds.count() == 1 ? " second" : " seconds");
    if (taken == 0)
        return DeviceFailure("The printer device " + device.string() + " took none of the label's " +
                             std::to_string(total) + " bytes for " + during +
                             ", so the label was not printed. Check that the printer is online and has labels and "
                             "ribbon, then print the label again.");
    return DeviceFailure("The printer device " + device.string() + " stopped taking the label: it took " +
                         std::to_string(taken) + " of the label's " + std::to_string(total) +
                         " bytes, then nothing for " + during +
                         ". The label may be partly printed. Check that the printer is online and has labels and "
                         "ribbon, then print the label again if it did not come out.");
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

// Waits until the device may take more; false when `until` passed first. Some drivers
// (the parallel port's) always say they are ready and still refuse: after such a
// refusal it pauses briefly instead of spinning.
bool WaitForRoom(int fd, Clock::time_point until, bool refusedWhenReady) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        const int wait = static_cast<int>(std::min<long long>(left, refusedWhenReady ? 20 : 60'000));
        if (refusedWhenReady) {
            ::poll(nullptr, 0, wait);
            refusedWhenReady = false;
            continue;
        }
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, wait);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return true;  // the next write reports an error
    }
}

}  // namespace

SendResult WriteToDevice(const std::filesystem::path& device, std::string_view stream,
                         std::chrono::milliseconds stallLimit) {
    // Never O_CREAT: a missing device means the printer is gone, and quietly writing
    // a regular file in its place would lose the label. O_APPEND keeps every label
    // when a plain file stands in for the port. O_NONBLOCK: neither the open (a FIFO
    // without a reader, a printer that is off) nor a write may wait for ever.
    int fd;
    do {
        fd = ::open(device.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(OpenFailure(device, errno));
    FileDescriptor file(fd);

    const std::size_t total = stream.size();
    std::size_t taken = 0;
    auto until = Clock::now() + stallLimit;
    bool refusedWhenReady = false;
    while (taken < total) {
        const ssize_t written = ::write(fd, stream.data() + taken, total - taken);
        if (written > 0) {
            taken += static_cast<std::size_t>(written);
            until = Clock::now() + stallLimit;
            refusedWhenReady = false;
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitForRoom(fd, until, refusedWhenReady))
                return std::unexpected(StalledFailure(device, stallLimit, taken, total));
            refusedWhenReady = true;
            continue;
        }
        return std::unexpected(WriteFailure(device, written < 0 ? errno : EIO, taken, total));
    }
    if (file.Close() != 0 && errno != EINTR && errno != EINPROGRESS)
        return std::unexpected(WriteFailure(device, errno, taken, total));
    return {};
}

}  // namespace tarnwick
