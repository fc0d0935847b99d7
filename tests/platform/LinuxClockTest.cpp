#include "platform/linux/LinuxServices.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(LinuxClock, WaitsAtLeastTheTimeAsked)
{
    CRefPtr<IClock> clock(new CLinuxClock);
    const uint64_t start = clock->NowMicroseconds();
    clock->WaitMicroseconds(2000);
    EXPECT_GE(clock->NowMicroseconds() - start, 2000u);
}
