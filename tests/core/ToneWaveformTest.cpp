#include "core/ToneWaveform.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(ToneWaveform, SampleCountFollowsDurationAt22050PerSecond)
{
    EXPECT_EQ(MakeToneSamples(4000, 100).size(), 2205u);
    EXPECT_EQ(MakeToneSamples(4000, 5).size(), 110u); // 110.25 truncated
    EXPECT_EQ(MakeToneSamples(4000, 0).size(), 0u);
    // A duration whose product overflows 32 bits still gives the right count.
    EXPECT_EQ(MakeToneSamples(4000, 200000).size(), 4410000u);
}

TEST(ToneWaveform, SineAroundSilenceLevel)
{
    const std::vector<uint8_t> samples = MakeToneSamples(4000, 100);
    EXPECT_EQ(samples[0], 128);
    // A quarter period of 5512.5 Hz is exactly one sample: 0, peak, 0, trough.
    const std::vector<uint8_t> quarter = MakeToneSamples(5512, 10);
    EXPECT_EQ(quarter[0], 128);
    EXPECT_GE(quarter[1], 254);
    EXPECT_LE(quarter[3], 2);
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    EXPECT_LT(*low, 10);
    EXPECT_GT(*high, 245);
}
