#include "core/PowerRule.h"

bool IsPowerSufficient(const PowerStatus& status)
{
    if (status.acLineStatus == PowerStatus::kAcOnline)
    {
        return true;
    }
    const uint8_t flag = status.batteryFlag;
    if (flag == PowerStatus::kBatteryUnknown || flag == PowerStatus::kNoSystemBattery)
    {
        return false;
    }
    constexpr uint8_t kChargeKnownBits =
        PowerStatus::kBatteryHigh | PowerStatus::kBatteryLow | PowerStatus::kBatteryCharging;
    if (flag == 0 || (flag & kChargeKnownBits) != 0)
    {
        // An unknown percentage (255) counts as above the minimum.
        return status.batteryLifePercent > kMinimumBatteryPercent;
    }
    // Critical alone, or any other combination.
    return false;
}

bool IsPowerSufficient(IPowerSource* source)
{
    PowerStatus status;
    if (!source || !source->ReadPowerStatus(status))
    {
        return false;
    }
    return IsPowerSufficient(status);
}
