#pragma once
// The sound device for tones: plays unsigned 8-bit mono samples and returns
// when they have been played. A platform without one drops the samples.

#include "core/RefCount.h"

#include <cstdint>
#include <span>

class IToneOutput : public IReferenceCount
{
public:
    virtual void Play(std::span<const uint8_t> samples, uint32_t samplesPerSecond) = 0;
};
