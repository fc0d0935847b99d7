#include "core/PowerRule.h"

#include <gtest/gtest.h>

namespace
{
struct PowerCase
{
    const char* name;
    PowerStatus status;
    bool sufficient;
};

constexpr uint8_t kOff = PowerStatus::kAcOffline;
constexpr uint8_t kOn = PowerStatus::kAcOnline;
constexpr uint8_t kUnknown = PowerStatus::kAcUnknown;

const PowerCase kPowerCases[] = {
    {"on AC, whatever the battery", {kOn, PowerStatus::kNoSystemBattery, 0}, true},
    {"on AC with an unknown battery", {kOn, PowerStatus::kBatteryUnknown, 255}, true},
    {"battery at 35 percent", {kOff, 0, 35}, false},
    {"battery at 36 percent", {kOff, 0, 36}, true},
    {"charging at 35 percent", {kOff, PowerStatus::kBatteryCharging, 35}, false},
    {"charging at 36 percent", {kOff, PowerStatus::kBatteryCharging, 36}, true},
    {"high battery", {kOff, PowerStatus::kBatteryHigh, 90}, true},
    {"low battery", {kOff, PowerStatus::kBatteryLow, 20}, false},
    {"known flags, unknown percentage", {kOff, PowerStatus::kBatteryHigh, 255}, true},
    {"critical alone", {kOff, PowerStatus::kBatteryCritical, 90}, false},
    {"no system battery, AC unknown", {kUnknown, PowerStatus::kNoSystemBattery, 255}, false},
    {"battery unknown", {kUnknown, PowerStatus::kBatteryUnknown, 100}, false},
};
} // namespace

TEST(PowerRule, DecidesByAcLineThenBatteryFlagThenCharge)
{
    for (const PowerCase& c : kPowerCases)
    {
        EXPECT_EQ(IsPowerSufficient(c.status), c.sufficient) << c.name;
    }
}

TEST(PowerRule, NoSourceIsNotSufficient)
{
    EXPECT_FALSE(IsPowerSufficient(static_cast<IPowerSource*>(nullptr)));
}
