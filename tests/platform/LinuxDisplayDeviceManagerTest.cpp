// The display devices of the sysfs tree: listing, status, disabling and
// enabling, and the devices that cannot be changed.

#include "core/DisplayDevices.h"
#include "tests/platform/LinuxDevicesFixture.h"

#include <gtest/gtest.h>

TEST_F(LinuxDevicesFixture, ListsFunctionsWithIdsLocationAndDescription)
{
    std::vector<DeviceEntry> devices;
    ASSERT_TRUE(manager->ListDevices(devices));
    ASSERT_EQ(devices.size(), 4u);
    const DeviceEntry& gpu = devices[1];
    EXPECT_EQ(gpu.instanceId, kGpu);
    EXPECT_EQ(gpu.location, "PCI bus 1, device 0, function 0");
    EXPECT_EQ(gpu.description, "Korvan VGA compatible controller (device 2B80)");
    ASSERT_TRUE(gpu.compatibleIds);
    EXPECT_EQ(gpu.compatibleIds->front(), "PCI\\VEN_7E2B&DEV_2B80&REV_A1");
    EXPECT_EQ(devices[3].location, "PCI bus 130, device 31, function 7");
    EXPECT_EQ(devices[0].description, "PCI vendor 8086 VGA compatible controller (device 4680)");

    // The maker's display devices as the operating-system layer reports them.
    EXPECT_EQ(FindDisplayDevices(devices), (std::vector<DisplayDeviceRecord>{
                                               {0x7E2B, 0x2B80, "PCI\\VEN_7E2B&DEV_2B80&REV_A1"},
                                               {0x7E2B, 0x2B85, "PCI\\VEN_7E2B&DEV_2B85&REV_A1"}}));
}

TEST_F(LinuxDevicesFixture, StatusFollowsTheBoundDriver)
{
    DeviceStatus status;
    ASSERT_EQ(manager->GetDeviceStatus(kGpu, status), 0u);
    EXPECT_EQ(status.status,
              DeviceStatus::kDriverLoaded | DeviceStatus::kStarted | DeviceStatus::kDisableable);
    EXPECT_EQ(status.problem, 0u);
    ASSERT_EQ(manager->GetDeviceStatus(kSecondGpu, status), 0u);
    EXPECT_EQ(status.status, DeviceStatus::kHasProblem);
    EXPECT_EQ(status.problem, DeviceStatus::kProblemNoDriver);
    EXPECT_EQ(manager->GetDeviceStatus("0000:09:00.0", status), static_cast<uint32_t>(ENODEV));
}

TEST_F(LinuxDevicesFixture, DisableUnbindsAndEnableBindsTheSameDriverAgain)
{
    ASSERT_TRUE(DisableDisplayDevice(*manager, kGpu, nullptr));
    EXPECT_EQ(tree.Read(Driver("korvan") / "unbind"), kGpu);
    EXPECT_EQ(tree.Read(Driver("korvan") / "bind"), "");

    tree.Unlink(kGpu); // as the kernel does
    DeviceStatus status;
    ASSERT_EQ(manager->GetDeviceStatus(kGpu, status), 0u);
    EXPECT_EQ(status.problem, DeviceStatus::kProblemDisabled);
    EXPECT_NE(status.status & DeviceStatus::kHasProblem, 0u);

    ASSERT_TRUE(EnableDisplayDevice(*manager, kGpu, nullptr));
    EXPECT_EQ(tree.Read(Driver("korvan") / "bind"), kGpu);
    // Nothing else was touched.
    EXPECT_EQ(tree.Read(Driver("i915") / "unbind"), "");
    EXPECT_EQ(tree.Read(Driver("snd_hda_intel") / "unbind"), "");
}

TEST_F(LinuxDevicesFixture, RefusesDevicesItCannotChange)
{
    // Never bound, so no driver to bind it to.
    EXPECT_EQ(manager->ChangeDeviceState(kSecondGpu, EDeviceStateChange::Enable,
                                         EDeviceStateScope::Global),
              static_cast<uint32_t>(ENODEV));
    // An instance that is not a PCI address never reaches a path.
    EXPECT_EQ(manager->ChangeDeviceState("../../drivers/korvan", EDeviceStateChange::Disable,
                                         EDeviceStateScope::Global),
              static_cast<uint32_t>(ENODEV));
    // A driver whose unbind cannot be written.
    std::filesystem::remove(Driver("korvan") / "unbind");
    EXPECT_NE(
        manager->ChangeDeviceState(kGpu, EDeviceStateChange::Disable, EDeviceStateScope::Global),
        0u);
    DeviceStatus status;
    manager->GetDeviceStatus(kGpu, status);
    EXPECT_EQ(status.problem, 0u);
}
