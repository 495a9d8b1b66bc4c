#include "base/held_signals.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace tarnwick {
namespace {

// A stop request sent to a process whose label is in hand on another thread than the
// one that takes the signal: the label finishes, then the process ends of the signal.
TEST(StopSignals, WaitForTheLabelsInHandOnAnyThread) {
    const struct {
        int signal;
        bool labelInHand;
    } cases[] = {{SIGTERM, true}, {SIGINT, true}, {SIGHUP, true}, {SIGTERM, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        int ready[2], done[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(done), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TakeStopSignals();
            std::thread label([&] {
                if (!c.labelInHand) {
                    [[maybe_unused]] const auto told = ::write(ready[1], "r", 1);
                    std::this_thread::sleep_for(std::chrono::seconds(5));
                    return;
                }
                const HeldSignals held;
                [[maybe_unused]] const auto told = ::write(ready[1], "r", 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                [[maybe_unused]] const auto finished = ::write(done[1], "d", 1);
            });
            label.join();
            ::_exit(0);
        }
        ::close(done[1]);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::kill(child, c.signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
        // The label in hand was finished before the process ended; without one, nothing waited.
        EXPECT_EQ(::read(done[0], &byte, 1), c.labelInHand ? 1 : 0);
        for (const int fd : {ready[0], ready[1], done[0]}) ::close(fd);
    }
}

}  // namespace
}  // namespace tarnwick
