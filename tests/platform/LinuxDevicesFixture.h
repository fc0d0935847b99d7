#pragma once
// The sysfs tree of the Linux device tests and the display device manager
// over it.

#include "platform/linux/LinuxServices.h"
#include "tests/platform/SysfsTree.h"

#include <gtest/gtest.h>

#include <filesystem>

inline constexpr const char* kGpu = "0000:01:00.0";
inline constexpr const char* kGpuAudio = "0000:01:00.1";
inline constexpr const char* kSecondGpu = "0000:82:1f.7";
inline constexpr const char* kOtherVga = "0000:00:02.0";

// Two of the maker's GPUs (one without a driver), the first one's audio
// function, and another maker's VGA.
struct LinuxDevicesFixture : ::testing::Test
{
    LinuxDevicesFixture()
    {
        tree.AddPciFunction(kOtherVga, 0x8086, 0x4680, 0x030000, "i915");
        tree.AddPciFunction(kGpu, 0x7E2B, 0x2B80, 0x030000, "korvan");
        tree.AddPciFunction(kGpuAudio, 0x7E2B, 0x22BA, 0x040300, "snd_hda_intel");
        tree.AddPciFunction(kSecondGpu, 0x7E2B, 0x2B85, 0x030200, "");
    }

    std::filesystem::path Device(const char* address) const
    {
        return tree.PciRoot() / "devices" / address;
    }
    std::filesystem::path Driver(const char* name) const
    {
        return tree.PciRoot() / "drivers" / name;
    }

    CSysfsTree tree;
    CRefPtr<CLinuxDisplayDeviceManager> manager{new CLinuxDisplayDeviceManager(tree.PciRoot())};
};
