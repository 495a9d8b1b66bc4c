#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace tarnwick::testing {

// A printer that takes nothing: a pipe whose buffer is already full, held open here.
struct StalledDevice {
    explicit StalledDevice(const std::filesystem::path& path) {
        std::filesystem::remove(path);
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        const std::string block(4096, '.');
        while (::write(fd, block.data(), block.size()) > 0) {}
    }
    ~StalledDevice() { ::close(fd); }
    // Takes what was written until the label's end has come through.
    bool TakeLabel() {
        std::string taken;
        char buffer[4096];
        for (int i = 0; i < 500 && taken.find("\x1BZ") == std::string::npos; ++i) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) taken.append(buffer, static_cast<std::size_t>(n));
            else std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return taken.find("\x1BZ") != std::string::npos;
    }
    int fd = -1;
};

}  // namespace tarnwick::testing
