#include "core/ToneWaveform.h"

#include <algorithm>
#include <cmath>

std::vector<uint8_t> MakeToneSamples(int32_t frequency, uint32_t durationMs)
{
    const uint64_t count = uint64_t{durationMs} * kToneSamplesPerSecond / 1000;
    std::vector<uint8_t> samples(count);
    const double pi = 4.0 * std::atan(1.0);
    for (uint64_t i = 0; i < count; ++i)
    {
        const double angle = 2.0 * pi * static_cast<double>(i) * frequency / kToneSamplesPerSecond;
        // A peak of exactly 1.0 would give 256; it is held at the top sample
        // rather than wrapping to 0.
        const double value = std::trunc(std::sin(angle) * 128.0 + 128.0);
        samples[i] = static_cast<uint8_t>(std::clamp(value, 0.0, 255.0));
    }
    return samples;
}
