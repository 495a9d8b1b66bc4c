#pragma once

#include <functional>

namespace tarnwick {

// Ctrl+C (SIGINT), SIGTERM and SIGHUP, for the whole process: once TakeStopSignals has
// run, a thread of its own takes them, and a stop request waits until no label is in
// hand anywhere in the process. Called first in main, before any other thread starts,
// so that every thread inherits the mask. With onStop given (the window's quit), a stop
// calls it instead of ending the process of the signal.
void TakeStopSignals(std::function<void(int signal)> onStop = {});

// Whether a stop request waits for the labels in hand: a run of labels stops taking new
// ones and lets go of what it holds.
bool StopRequested();

// A label in hand, whose row is written ahead: the label and its row finish before a
// stop request takes effect. Without TakeStopSignals (a test, a library caller), the
// three signals are held back on this thread for the scope, as before.
class HeldSignals {
public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
};

}  // namespace tarnwick
