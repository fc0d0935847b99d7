#include "core/CrossPlatform.h"
#include "core/Singleton.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/FakePlatform.h"

namespace
{
struct CrossPlatformFixture : ::testing::Test
{
    CFakePlatform fakes;
    ICrossPlatform* os = GetCrossPlatform();
};
} // namespace

TEST_F(CrossPlatformFixture, OneObjectPerProcessThatSwallowsBreaksWhileItLives)
{
    EXPECT_EQ(GetCrossPlatform(), os);
    EXPECT_TRUE(fakes.breaks->ignoring);
    EXPECT_EQ(fakes.breaks->ignoreCount, 1);

    ReleaseSingletons();
    EXPECT_FALSE(fakes.breaks->ignoring);
    EXPECT_EQ(fakes.console->restoreCount, 1);
    // A new one is made on the next request.
    EXPECT_NE(GetCrossPlatform(), nullptr);
    EXPECT_TRUE(fakes.breaks->ignoring);
}

TEST_F(CrossPlatformFixture, BreaksComeBackEvenWhenTheTerminalCannotBeRestored)
{
    fakes.console->restoreFails = true;
    EXPECT_NO_THROW(ReleaseSingletons());
    EXPECT_EQ(fakes.console->restoreCount, 1);
    EXPECT_FALSE(fakes.breaks->ignoring);
    fakes.console->restoreFails = false;
}

TEST_F(CrossPlatformFixture, DelaysWaitOnTheClock)
{
    os->DelayMicroseconds(250);
    os->DelayMicroseconds(0);
    EXPECT_EQ(fakes.clock->now, 250u);
    EXPECT_EQ(fakes.clock->waits, (std::vector<uint64_t>{250}));
}

TEST_F(CrossPlatformFixture, TimeoutCountsDownAndStaysExpired)
{
    EXPECT_EQ(os->GetTimeoutRemaining(), 0u); // none armed

    os->StartTimeout(1000);
    fakes.clock->now += 400;
    EXPECT_EQ(os->GetTimeoutRemaining(), 600u);
    fakes.clock->now += 600;
    EXPECT_EQ(os->GetTimeoutRemaining(), 0u);
    // Expired means disarmed, even if the clock were to read earlier again.
    fakes.clock->now -= 500;
    EXPECT_EQ(os->GetTimeoutRemaining(), 0u);

    // A second start replaces the first.
    os->StartTimeout(5000);
    os->StartTimeout(10);
    EXPECT_EQ(os->GetTimeoutRemaining(), 10u);

    // A deadline past the clock's range is held at its end.
    fakes.clock->now = UINT64_MAX - 5;
    os->StartTimeout(100);
    EXPECT_EQ(os->GetTimeoutRemaining(), 5u);
}

TEST_F(CrossPlatformFixture, KeysWithExtendedCodesAndEndOfInput)
{
    fakes.console->keys = {0, 0x48, 0xE0, 'y'};
    EXPECT_EQ(os->GetKey(), 0x48); // the second code of an extended key
    EXPECT_EQ(os->GetKey(), 0xE0); // only 0 leads
    EXPECT_EQ(os->GetKeyWithEcho(), 'y');
    EXPECT_EQ(os->GetKey(), kConsoleEndOfInput);
    EXPECT_EQ(fakes.console->keysWithoutEcho, 4);
    EXPECT_EQ(fakes.console->keysWithEcho, 1);

    fakes.console->keys = {0}; // lead byte, then end of input
    EXPECT_EQ(os->GetKey(), kConsoleEndOfInput);
}

TEST_F(CrossPlatformFixture, BeepPlaysTheToneWaveformAndSkipsEmptyOnes)
{
    os->Beep(4000, 100);
    os->Beep(4000, 0);
    ASSERT_EQ(fakes.tones->played.size(), 1u);
    EXPECT_EQ(fakes.tones->played[0].size(), 2205u);
    EXPECT_EQ(fakes.tones->played[0][0], 128);
    EXPECT_EQ(fakes.tones->rate, 22050u);
}

TEST_F(CrossPlatformFixture, PowerRebootAndSystemFactsComeFromTheServices)
{
    fakes.power->status = {PowerStatus::kAcOffline, PowerStatus::kBatteryCharging, 36};
    EXPECT_TRUE(os->IsPowerSufficient());
    fakes.power->readable = false;
    EXPECT_FALSE(os->IsPowerSufficient());
    EXPECT_EQ(ICrossPlatform::GetLowPowerMessage(),
              "EEPROM updating prevented due to no AC power detected and battery level below 35%");

    os->Reboot();
    EXPECT_EQ(fakes.system->rebootCount, 1);
    fakes.system->rebootError = "Unable to reboot system.";
    EXPECT_THROW(os->Reboot(), std::runtime_error);

    fakes.system->errorTexts[2] = "No such file or directory";
    EXPECT_EQ(os->GetSystemErrorText(2), "No such file or directory");
    EXPECT_EQ(os->GetSystemErrorText(0), "");
    fakes.system->wow64 = true;
    EXPECT_TRUE(os->IsWow64());
    EXPECT_EQ(os->GetWorkingDirectory(), "/work");
    EXPECT_EQ(os->GetStateDirectory(), "/state");
    EXPECT_FALSE(os->GetKeyboardLight(0));
    EXPECT_EQ(os->GetReservedValue(), 0);
}

TEST_F(CrossPlatformFixture, DisplayDevicesAndDescriptionsFromTheDeviceList)
{
    fakes.devices->AddPciDevice("0000:00:02.0", 0x8086, 0x1111, 0x030000, 0, 2, 0, "Other VGA");
    fakes.devices->AddPciDevice("0000:01:00.0", 0x7E2B, 0x2B80, 0x030200, 1, 0, 0,
                                "Korvan 3D controller");
    const std::vector<DisplayDeviceRecord> records = os->GetDisplayDevices(nullptr);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].deviceId, 0x2B80u);
    EXPECT_EQ(records[0].idText, "PCI\\VEN_7E2B&DEV_2B80&REV_A1");
    EXPECT_EQ(os->GetDeviceDescription(0x2B80, 0x7E2B, nullptr), "Korvan 3D controller");
    EXPECT_EQ(os->GetDeviceDescription(0x1111, 0x8086, nullptr), "Other VGA");

    fakes.devices->listFails = true;
    EXPECT_TRUE(os->GetDisplayDevices(nullptr).empty());
    EXPECT_EQ(os->GetDeviceDescription(0x2B80, 0x7E2B, nullptr), "");
}

TEST(CrossPlatformWithoutServices, AbsentServicesAreSkippedButNoClockIsAnError)
{
    CFakePlatform fakes;
    fakes.Install(PlatformServices{});
    ICrossPlatform* os = GetCrossPlatform();
    EXPECT_EQ(os->GetKey(), kConsoleEndOfInput);
    std::string line = "old";
    EXPECT_FALSE(os->ReadLine(line));
    EXPECT_EQ(line, "");
    os->Beep(4000, 10);
    EXPECT_FALSE(os->IsPowerSufficient());
    EXPECT_THROW(os->Reboot(), std::runtime_error);
    EXPECT_TRUE(os->GetDisplayDevices(nullptr).empty());
    EXPECT_THROW(os->DelayMicroseconds(1), std::logic_error);
}
