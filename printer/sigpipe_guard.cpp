#include "printer/sigpipe_guard.h"

#include <pthread.h>

#include <ctime>

namespace tarnwick {

SigpipeGuard::SigpipeGuard() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;

    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old_);
}

SigpipeGuard::~SigpipeGuard() {
    // Swallow a SIGPIPE our own writes raised, so it is not delivered on unblocking.
    if (!wasPending_) {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, SIGPIPE);
            const timespec none{0, 0};
            sigtimedwait(&only, nullptr, &none);
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

}  // namespace tarnwick
