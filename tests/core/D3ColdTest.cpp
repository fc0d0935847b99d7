#include "core/D3Cold.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/FakePlatform.h"

namespace
{
struct D3ColdFixture : ::testing::Test
{
    D3ColdFixture() { log.AddSink(&text, 1, 5); }
    CRefPtr<CFakeD3ColdControl> control{new CFakeD3ColdControl};
    CLog log;
    std::ostringstream text;
};
} // namespace

TEST_F(D3ColdFixture, SetsEveryAnsweringGpuAndReportsEach)
{
    control->gpus = {{"0000:01:00.0", true, 0, 0},
                     {"0000:02:00.0", true, 5, 0},  // query fails: skipped silently
                     {"0000:03:00.0", true, 0, 7}}; // setting refused
    EXPECT_EQ(SetD3ColdCapability(control.get(), true, &log), kD3ColdSet);
    EXPECT_EQ(control->sets, (std::vector<std::pair<std::string, bool>>{{"0000:01:00.0", false},
                                                                        {"0000:03:00.0", false}}));
    EXPECT_FALSE(control->gpus[0].allowed);
    EXPECT_EQ(text.str(), "\n"
                          "Disable D3 cold capability successfully on GPU index 0x00.\n"
                          "Skip to Disable D3 cold capability due to with error code 0x00000007 "
                          "on GPU index 0x02.\n");
}

TEST_F(D3ColdFixture, ResultCodesForNoEnumerationAndNoGpuTakingIt)
{
    control->enumerateStatus = -2;
    EXPECT_EQ(SetD3ColdCapability(control.get(), false, &log), kD3ColdNoEnumeration);
    EXPECT_EQ(text.str(), "\nCannot enumerate GPUs in the system by KRAPI for setting D3 cold "
                          "capability.\n");
    EXPECT_EQ(SetD3ColdCapability(nullptr, false, nullptr), kD3ColdNoEnumeration);

    control->enumerateStatus = 0;
    EXPECT_EQ(SetD3ColdCapability(control.get(), false, &log), kD3ColdNotSet); // no GPU
    control->gpus = {{"0000:01:00.0", false, 0, 9}};
    EXPECT_EQ(SetD3ColdCapability(control.get(), false, &log), kD3ColdNotSet);
    EXPECT_EQ(control->sets.back(), (std::pair<std::string, bool>{"0000:01:00.0", true}));
}
