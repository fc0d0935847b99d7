// The operating-system layer over the Linux services, on a sysfs tree and on
// this machine's own sysfs.

#include "platform/linux/LinuxPlatform.h"
#include "core/CrossPlatform.h"
#include "tests/platform/LinuxDevicesFixture.h"
#include "tests/support/FakePlatform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

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
