#include "platform/linux/LinuxServices.h"

#include <ctime>
#include <limits>

uint64_t CLinuxClock::NowMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void CLinuxClock::WaitMicroseconds(uint64_t microseconds)
{
    const uint64_t start = NowMicroseconds();
    const uint64_t limit = std::numeric_limits<uint64_t>::max();
    const uint64_t deadline = start > limit - microseconds ? limit : start + microseconds;
    while (NowMicroseconds() < deadline)
    {
    }
}
