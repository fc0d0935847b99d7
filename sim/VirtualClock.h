#pragma once
// The simulated machine's time. Nothing runs in real time: register accesses
// advance the clock by their cost, and a wait advances it at once.

#include "core/RefCount.h"
#include "core/platform/IClock.h"

#include <cstdint>

class CVirtualClock : public CReferenceCountImpl, public IClock
{
public:
    ROMVISE_REFCOUNT_FORWARD

    uint64_t NowMicroseconds() override { return m_nanoseconds / 1000; }
    void WaitMicroseconds(uint64_t microseconds) override { m_nanoseconds += microseconds * 1000; }

    uint64_t NowNanoseconds() const { return m_nanoseconds; }
    void AdvanceNanoseconds(uint64_t nanoseconds) { m_nanoseconds += nanoseconds; }

private:
    uint64_t m_nanoseconds = 0;
};
