// Break keys and termination requests ignored while the handling lives, and
// their handlers put back when it is restored or destroyed.

#include "platform/linux/LinuxServices.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>

namespace
{
void MarkSignal(int) {}
} // namespace

TEST(LinuxBreakHandling, IgnoresBreaksUntilRestoredOrDestroyed)
{
    struct sigaction mine
    {
    };
    mine.sa_handler = MarkSignal;
    sigemptyset(&mine.sa_mask);
    struct sigaction original[3];
    for (size_t i = 0; i < 3; ++i)
    {
        sigaction(CLinuxBreakHandling::kSignals[i], &mine, &original[i]);
    }
    const auto handlerOf = [](int signal)
    {
        struct sigaction current
        {
        };
        sigaction(signal, nullptr, &current);
        return current.sa_handler;
    };
    {
        CRefPtr<IBreakHandling> breaks(new CLinuxBreakHandling);
        breaks->IgnoreBreaks();
        breaks->IgnoreBreaks(); // a second call keeps the first saved handlers
        for (int signal : CLinuxBreakHandling::kSignals)
        {
            EXPECT_EQ(handlerOf(signal), SIG_IGN) << signal;
        }
        // Swallowed, not delivered.
        EXPECT_EQ(raise(SIGINT), 0);
        breaks->RestoreBreaks();
        EXPECT_EQ(handlerOf(SIGTERM), &MarkSignal);
        breaks->IgnoreBreaks();
    } // destroyed while ignoring
    for (int signal : CLinuxBreakHandling::kSignals)
    {
        EXPECT_EQ(handlerOf(signal), &MarkSignal) << signal;
    }
    for (size_t i = 0; i < 3; ++i)
    {
        sigaction(CLinuxBreakHandling::kSignals[i], &original[i], nullptr);
    }
}
