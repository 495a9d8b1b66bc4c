#include "base/held_signals.h"

#include <pthread.h>

#include <csignal>
#include <mutex>
#include <thread>

namespace tarnwick {
namespace {

struct StopState {
    std::mutex mutex;
    int inHand = 0;
    int pending = 0;  // the signal that came while labels were in hand
    bool taken = false;
    std::function<void(int)> onStop;
};

StopState& State() {
    static StopState state;
    return state;
}

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Called without the lock held.
void Stop(int signal, const std::function<void(int)>& onStop) {
    if (onStop) {
        onStop(signal);
        return;
    }
    // Ends the process of the signal, as it would have without us: its status says so.
    std::signal(signal, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    std::raise(signal);
}

thread_local sigset_t heldBefore;
thread_local int heldDepth = 0;

}  // namespace

void TakeStopSignals(std::function<void(int)> onStop) {
    StopState& state = State();
    {
        const std::lock_guard lock(state.mutex);
        if (state.taken) return;
        state.taken = true;
        state.onStop = std::move(onStop);
    }
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            StopState& s = State();
            std::unique_lock lock(s.mutex);
            if (s.inHand > 0) {
                if (s.pending == 0) s.pending = signal;
                continue;
            }
            const auto onStop = s.onStop;
            lock.unlock();
            Stop(signal, onStop);
        }
    }).detach();
}

bool StopRequested() {
    StopState& state = State();
    const std::lock_guard lock(state.mutex);
    return state.pending != 0;
}

HeldSignals::HeldSignals() {
    StopState& state = State();
    const std::lock_guard lock(state.mutex);
    ++state.inHand;
    if (!state.taken && heldDepth++ == 0) {
        const sigset_t set = StopSet();
        pthread_sigmask(SIG_BLOCK, &set, &heldBefore);
    }
}

HeldSignals::~HeldSignals() {
    StopState& state = State();
    std::unique_lock lock(state.mutex);
    if (!state.taken && --heldDepth == 0) pthread_sigmask(SIG_SETMASK, &heldBefore, nullptr);
    if (--state.inHand > 0 || state.pending == 0) return;
    const int signal = state.pending;
    state.pending = 0;
    const auto onStop = state.onStop;
    lock.unlock();
    Stop(signal, onStop);
}

}  // namespace tarnwick
