#include "core/D3Cold.h"
#include "core/Log.h"
#include "tests/platform/LinuxDevicesFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

TEST_F(LinuxDevicesFixture, D3ColdOfTheMakersGpusOnly)
{
    CRefPtr<ID3ColdControl> control(new CLinuxD3ColdControl(tree.PciRoot()));
    std::vector<std::string> gpus;
    ASSERT_EQ(control->EnumerateGpus(gpus), 0);
    EXPECT_EQ(gpus, (std::vector<std::string>{kGpu, kSecondGpu}));

    CLog log;
    std::ostringstream text;
    log.AddSink(&text, 1, 5);
    EXPECT_EQ(SetD3ColdCapability(control.get(), true, &log), kD3ColdSet);
    EXPECT_EQ(tree.Read(Device(kGpu) / "d3cold_allowed"), "0\n");
    EXPECT_EQ(tree.Read(Device(kSecondGpu) / "d3cold_allowed"), "0\n");
    EXPECT_EQ(tree.Read(Device(kGpuAudio) / "d3cold_allowed"), "1\n");
    uint32_t allowed = 1;
    ASSERT_EQ(control->QueryD3Cold(kGpu, allowed), 0);
    EXPECT_EQ(allowed, 0u);

    // A GPU without the attribute is skipped; the other still takes it.
    std::filesystem::remove(Device(kSecondGpu) / "d3cold_allowed");
    text.str("");
    EXPECT_EQ(SetD3ColdCapability(control.get(), false, &log), kD3ColdSet);
    EXPECT_EQ(tree.Read(Device(kGpu) / "d3cold_allowed"), "1\n");
    EXPECT_EQ(text.str(), "\nEnable D3 cold capability successfully on GPU index 0x00.\n");
    EXPECT_NE(control->SetD3Cold("../x", true), 0);
}
