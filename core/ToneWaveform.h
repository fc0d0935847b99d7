#pragma once
// The waveform of a tone: a sine of the asked frequency as unsigned 8-bit mono
// samples at 22050 samples per second, silence being 128.

#include <cstdint>
#include <vector>

constexpr uint32_t kToneSamplesPerSecond = 22050;

// durationMs * 22050 / 1000 samples (truncated); none for a duration too short
// for one sample.
std::vector<uint8_t> MakeToneSamples(int32_t frequency, uint32_t durationMs);
