#include "core/PowerRule.h"
#include "platform/linux/LinuxServices.h"
#include "tests/platform/SysfsTree.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
struct Supply
{
    const char* name;
    const char* type;
    const char* online;   // nullptr: no file
    const char* capacity; // nullptr: no file
    const char* status;   // nullptr: no file
    const char* scope;    // nullptr: no file
};

struct PowerCase
{
    const char* name;
    std::vector<Supply> supplies;
    bool makeRoot;
    uint8_t ac;
    uint8_t flag;
    uint8_t percent;
    bool sufficient;
};

void AddSupply(const CSysfsTree& tree, const Supply& s)
{
    const auto dir = tree.PowerRoot() / s.name;
    tree.Write(dir / "type", std::string(s.type) + "\n");
    const std::pair<const char*, const char*> files[] = {
        {"online", s.online}, {"capacity", s.capacity}, {"status", s.status}, {"scope", s.scope}};
    for (const auto& [file, value] : files)
    {
        if (value)
        {
            tree.Write(dir / file, std::string(value) + "\n");
        }
    }
}

constexpr uint8_t kOn = PowerStatus::kAcOnline;
constexpr uint8_t kOff = PowerStatus::kAcOffline;
constexpr uint8_t kUnknownAc = PowerStatus::kAcUnknown;
constexpr uint8_t kNoBattery = PowerStatus::kNoSystemBattery;
constexpr uint8_t kUnknownBattery = PowerStatus::kBatteryUnknown;
constexpr uint8_t kCharging = PowerStatus::kBatteryCharging;
constexpr uint8_t kLow = PowerStatus::kBatteryLow;

const Supply kAcOnline{"AC", "Mains", "1", nullptr, nullptr, nullptr};
const Supply kAcOffline{"AC", "Mains", "0", nullptr, nullptr, nullptr};

const PowerCase kCases[] = {
    {"no power_supply folder: a desktop", {}, false, kOn, kNoBattery, 255, true},
    {"empty power_supply folder", {}, true, kOn, kNoBattery, 255, true},
    {"AC online, battery low",
     {kAcOnline, {"BAT0", "Battery", nullptr, "20", "Charging", "System"}},
     true,
     kOn,
     kLow | kCharging,
     20,
     true},
    {"on battery at 35 percent",
     {kAcOffline, {"BAT0", "Battery", nullptr, "35", "Discharging", nullptr}},
     true,
     kOff,
     0,
     35,
     false},
    {"on battery at 36 percent",
     {kAcOffline, {"BAT0", "Battery", nullptr, "36", "Discharging", nullptr}},
     true,
     kOff,
     0,
     36,
     true},
    {"charging at 35 percent without a mains entry",
     {{"BAT0", "Battery", nullptr, "35", "Charging", nullptr}},
     true,
     kUnknownAc,
     kCharging,
     35,
     false},
    {"AC offline, no battery", {kAcOffline}, true, kOff, kNoBattery, 255, false},
    {"battery charge unknown",
     {kAcOffline, {"BAT0", "Battery", nullptr, nullptr, "Discharging", nullptr}},
     true,
     kOff,
     kUnknownBattery,
     255,
     false},
    {"a mouse battery on a desktop",
     {{"hid-mouse", "Battery", nullptr, "5", "Discharging", "Device"}},
     true,
     kOn,
     kNoBattery,
     255,
     true},
    {"two batteries count at their mean charge",
     {kAcOffline,
      {"BAT0", "Battery", nullptr, "30", "Discharging", nullptr},
      {"BAT1", "Battery", nullptr, "80", "Discharging", nullptr}},
     true,
     kOff,
     0,
     55,
     true},
    {"USB-C charger online",
     {{"ucsi", "USB", "1", nullptr, nullptr, nullptr},
      {"BAT0", "Battery", nullptr, "10", "Charging", nullptr}},
     true,
     kOn,
     kLow | kCharging,
     10,
     true},
};
} // namespace

TEST(LinuxPowerSource, SuppliesBecomeTheStatusRecord)
{
    for (const PowerCase& c : kCases)
    {
        CSysfsTree tree;
        if (c.makeRoot)
        {
            std::filesystem::create_directories(tree.PowerRoot());
        }
        for (const Supply& supply : c.supplies)
        {
            AddSupply(tree, supply);
        }
        CRefPtr<IPowerSource> source(new CLinuxPowerSource(tree.PowerRoot()));
        PowerStatus status;
        ASSERT_TRUE(source->ReadPowerStatus(status)) << c.name;
        EXPECT_EQ(status.acLineStatus, c.ac) << c.name;
        EXPECT_EQ(status.batteryFlag, c.flag) << c.name;
        EXPECT_EQ(status.batteryLifePercent, c.percent) << c.name;
        EXPECT_EQ(IsPowerSufficient(source.get()), c.sufficient) << c.name;
    }
}

TEST(LinuxPowerSource, UnreadableFolderIsNoStatus)
{
    CSysfsTree tree;
    // A file where the folder should be cannot be listed.
    tree.Write(tree.PowerRoot(), "not a folder");
    CRefPtr<IPowerSource> source(new CLinuxPowerSource(tree.PowerRoot()));
    PowerStatus status;
    EXPECT_FALSE(source->ReadPowerStatus(status));
    EXPECT_FALSE(IsPowerSufficient(source.get()));
}
