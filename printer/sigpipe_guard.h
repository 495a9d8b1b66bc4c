#pragma once

#include <csignal>

namespace tarnwick {

// Keeps SIGPIPE from ending the program while this thread writes to a pipe, a FIFO or a
// socket whose reader has gone; the write then fails with EPIPE and is reported instead.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t old_{};
    bool wasPending_ = false;
};

}  // namespace tarnwick
