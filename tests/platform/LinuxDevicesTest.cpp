#include "core/CrossPlatform.h"
#include "core/D3Cold.h"
#include "core/DisplayDevices.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/LinuxServices.h"
#include "tests/platform/SysfsTree.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/support/FakePlatform.h"

namespace
{
constexpr const char* kGpu = "0000:01:00.0";
constexpr const char* kGpuAudio = "0000:01:00.1";
constexpr const char* kSecondGpu = "0000:82:1f.7";
constexpr const char* kOtherVga = "0000:00:02.0";

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
} // namespace

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

TEST(LinuxPlatform, OperatingSystemLayerOverTheLinuxServices)
{
    CFakePlatform restoreAfterwards;
    CSysfsTree tree;
    tree.AddPciFunction(kGpu, 0x7E2B, 0x2B80, 0x030200, "korvan");
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], "n", 1), 1);
    close(pipeFds[1]);

    LinuxPlatformOptions options;
    options.sysfsRoot = tree.Root();
    options.consoleFd = pipeFds[0];
    restoreAfterwards.Install(MakeLinuxPlatformServices(options));
    ICrossPlatform* os = GetCrossPlatform();

    EXPECT_TRUE(os->IsPowerSufficient()); // no power_supply folder
    EXPECT_EQ(os->GetDisplayDevices(nullptr).size(), 1u);
    EXPECT_EQ(os->GetDeviceDescription(0x2B80, 0x7E2B, nullptr),
              "Korvan 3D controller (device 2B80)");
    EXPECT_EQ(os->GetKey(), 'n');
    EXPECT_EQ(os->GetKey(), kConsoleEndOfInput);
    os->Beep(4000, 5);
    EXPECT_EQ(os->GetSystemErrorText(ENOENT), "No such file or directory");
    close(pipeFds[0]);
}

TEST(LinuxPlatform, CreatesTheLayerOnThisMachineWithoutRoot)
{
    CFakePlatform restoreAfterwards;
    // The machine's own sysfs, read only: nothing here changes a device.
    restoreAfterwards.Install(MakeLinuxPlatformServices());
    ICrossPlatform* os = GetCrossPlatform();
    ASSERT_NE(os, nullptr);
    EXPECT_NO_THROW(os->IsPowerSufficient());
    EXPECT_NO_THROW(os->GetDisplayDevices(nullptr));
    EXPECT_NO_THROW(os->DelayMicroseconds(10));
    EXPECT_FALSE(os->IsWow64());
}
