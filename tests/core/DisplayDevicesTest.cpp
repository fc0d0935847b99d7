#include "core/DisplayDevices.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "tests/support/FakePlatform.h"

namespace
{
DeviceEntry Device(std::vector<std::string> ids, std::optional<std::string> description = "Korvan")
{
    DeviceEntry entry;
    entry.instanceId = "dev";
    entry.compatibleIds = std::move(ids);
    entry.description = std::move(description);
    return entry;
}

// A logger whose level-3 text lands in a string.
struct CapturedLog
{
    CapturedLog() { log.AddSink(&text, 1, 5); }
    CLog log;
    std::ostringstream text;
};
} // namespace

TEST(DisplayDevices, CompatibleIdsAndLocationInTheSystemsForm)
{
    EXPECT_EQ(MakePciCompatibleIds(0x7E2B, 0x1234, 0xA1, 0x030200),
              (std::vector<std::string>{"PCI\\VEN_7E2B&DEV_1234&REV_A1", "PCI\\VEN_7E2B&DEV_1234",
                                        "PCI\\VEN_7E2B&CC_030200", "PCI\\VEN_7E2B&CC_0302",
                                        "PCI\\VEN_7E2B", "PCI\\CC_030200", "PCI\\CC_0302"}));
    EXPECT_EQ(MakePciLocationText(128, 31, 7), "PCI bus 128, device 31, function 7");
}

TEST(DisplayDevices, RecordsOnlyTheMakersDisplayDevicesWithADeviceIdBeforeTheClass)
{
    const std::vector<DeviceEntry> devices = {
        // The usual form: named by its first ID.
        Device({"PCI\\VEN_7E2B&DEV_1234&REV_A1", "PCI\\VEN_7E2B&DEV_1234",
                "PCI\\VEN_7E2B&CC_030000", "PCI\\VEN_7E2B"}),
        // Class ID before any device ID: no record.
        Device({"PCI\\VEN_7E2B&CC_030200", "PCI\\VEN_7E2B&DEV_2222"}),
        // Another vendor, though its description names the maker.
        Device({"PCI\\VEN_10DE&DEV_1111", "PCI\\VEN_10DE&CC_030000"}, "Korvan lookalike"),
        // The maker, but not a display class.
        Device({"PCI\\VEN_7E2B&DEV_3333", "PCI\\VEN_7E2B&CC_040300"}),
        // No IDs at all.
        DeviceEntry{"none", "Korvan", std::nullopt, std::nullopt},
        // A 3D controller with a short device ID.
        Device({"PCI\\VEN_7E2B&DEV_AB", "PCI\\VEN_7E2B&CC_030200"}),
    };
    EXPECT_EQ(FindDisplayDevices(devices),
              (std::vector<DisplayDeviceRecord>{{0x7E2B, 0x1234, "PCI\\VEN_7E2B&DEV_1234&REV_A1"},
                                                {0x7E2B, 0xAB, "PCI\\VEN_7E2B&DEV_AB"}}));
}

TEST(DisplayDevices, DescriptionOfFirstDeviceWithTheIdsThatHasOne)
{
    const std::vector<DeviceEntry> devices = {
        Device({"PCI\\VEN_7E2B&DEV_00AB"}, std::nullopt),
        Device({"PCI\\VEN_7E2B&DEV_00AB&REV_01"}, "Korvan first"),
        Device({"PCI\\VEN_7E2B&DEV_00AB"}, "Korvan second"),
        Device({"PCI\\VEN_7E2B&DEV_1234"}, "Korvan other"),
    };
    EXPECT_EQ(FindDeviceDescription(devices, 0xAB, 0x7E2B), "Korvan first");
    EXPECT_EQ(FindDeviceDescription(devices, 0x1234, 0x7E2B), "Korvan other");
    EXPECT_EQ(FindDeviceDescription(devices, 0x5555, 0x7E2B), "");
}

TEST(DisplayDevices, MakerDisplayDeviceNeedsDescriptionAndMakerNameWithOneAdapter)
{
    EXPECT_TRUE(IsMakerDisplayDevice(Device({}, "Korvan KX 9000"), 1));
    EXPECT_FALSE(IsMakerDisplayDevice(Device({}, "Generic display"), 1));
    EXPECT_TRUE(IsMakerDisplayDevice(Device({}, "Generic display"), 2));
    EXPECT_FALSE(IsMakerDisplayDevice(Device({}, std::nullopt), 2));
}

TEST(DisplayDevices, LocationGivesBusAndDevice)
{
    struct Case
    {
        const char* text;
        int32_t bus;
        int32_t device;
    };
    const Case cases[] = {
        {"PCI bus 12, device 3, function 0", 12, 3},
        {"PCI bus 128, device 31, function 7", 128, 31},
        {"PCI bus 1234, device 5", 123, 4}, // at most three digits, then the next digit
        {"no digits", 256, 0},
        {"PCI bus 7", 7, 0},
    };
    for (const Case& c : cases)
    {
        int32_t bus = -1;
        int32_t device = -1;
        ParsePciLocation(c.text, bus, device);
        EXPECT_EQ(bus, c.bus) << c.text;
        EXPECT_EQ(device, c.device) << c.text;
    }
}

TEST(DisplayDevices, LocationMatchIgnoresFunctionAndLogsMissingAdapter)
{
    CapturedLog captured;
    const auto adapter = [] { return std::pair<int32_t, int32_t>{12, 3}; };
    EXPECT_TRUE(MatchesAdapterLocation("PCI bus 12, device 3, function 1", adapter, &captured.log));
    EXPECT_FALSE(
        MatchesAdapterLocation("PCI bus 12, device 4, function 0", adapter, &captured.log));
    EXPECT_EQ(captured.text.str(), "");

    const auto none = []() -> std::pair<int32_t, int32_t>
    { throw std::runtime_error("Error: Display adapter was not initialized."); };
    EXPECT_FALSE(MatchesAdapterLocation("PCI bus 12, device 3, function 0", none, &captured.log));
    EXPECT_EQ(captured.text.str().rfind(" ERROR: Fail to extract the PFA number.", 0), 0u);
}

TEST(DisplayDevices, EnableSendsGlobalThenConfigurationRequestAndLogsFailure)
{
    CRefPtr<CFakeDisplayDeviceManager> manager(new CFakeDisplayDeviceManager);
    manager->AddPciDevice("0000:01:00.0", 0x7E2B, 0x1234, 0x030000, 1, 0, 0, "Korvan");
    CapturedLog captured;
    ASSERT_TRUE(DisableDisplayDevice(*manager, "0000:01:00.0", &captured.log));
    ASSERT_TRUE(EnableDisplayDevice(*manager, "0000:01:00.0", &captured.log));
    ASSERT_EQ(manager->changes.size(), 3u);
    EXPECT_EQ(manager->changes[0].change, EDeviceStateChange::Disable);
    EXPECT_EQ(manager->changes[0].scope, EDeviceStateScope::Global);
    EXPECT_EQ(manager->changes[1].change, EDeviceStateChange::Enable);
    EXPECT_EQ(manager->changes[1].scope, EDeviceStateScope::Global);
    EXPECT_EQ(manager->changes[2].scope, EDeviceStateScope::ConfigurationSpecific);

    manager->devices[0].changeError = 5;
    captured.text.str("");
    EXPECT_FALSE(EnableDisplayDevice(*manager, "0000:01:00.0", &captured.log));
    EXPECT_EQ(manager->changes.size(), 4u); // the second request is not sent
    EXPECT_EQ(captured.text.str(), "\n Warning: Unable to change device state, error code = 5\n");
}
