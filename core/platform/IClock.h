#pragma once
// Monotonic time in microseconds and busy waits. Linux reads CLOCK_MONOTONIC;
// the simulated machine keeps a virtual clock that a wait advances at once.

#include "core/RefCount.h"

#include <cstdint>

class IClock : public IReferenceCount
{
public:
    virtual uint64_t NowMicroseconds() = 0;
    virtual void WaitMicroseconds(uint64_t microseconds) = 0;
};
