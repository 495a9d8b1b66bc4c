#pragma once

#include <csignal>

namespace tarnwick {

// Holds Ctrl+C (SIGINT), SIGTERM and SIGHUP back on this thread for a scope: a label
// whose row is written ahead finishes, row and all, before a stop request ends the
// process. A request that came meanwhile takes effect when the scope ends.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGINT);
        sigaddset(&held, SIGTERM);
        sigaddset(&held, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t before_{};
};

}  // namespace tarnwick
