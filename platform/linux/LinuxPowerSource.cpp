#include "platform/linux/LinuxServices.h"
#include "platform/linux/Sysfs.h"

#include <algorithm>
#include <numeric>
#include <system_error>

namespace fs = std::filesystem;

namespace
{
// Battery-flag thresholds of the status record.
constexpr uint32_t kHighAbovePercent = 66;
constexpr uint32_t kLowBelowPercent = 33;
constexpr uint32_t kCriticalBelowPercent = 5;

struct SupplySummary
{
    bool externalSeen = false;   // a mains (or USB) supply
    bool externalOnline = false; // ... that is online
    int batteries = 0;
    std::vector<uint32_t> capacities;
    bool charging = false;
};

void AddSupply(const fs::path& dir, SupplySummary& summary)
{
    // Batteries of mice, keyboards and other peripherals say nothing about
    // the machine's own supply.
    if (ReadSysfsText(dir / "scope").value_or("") == "Device")
    {
        return;
    }
    const std::string type = ReadSysfsText(dir / "type").value_or("");
    if (type == "Mains" || type == "USB")
    {
        summary.externalSeen = true;
        if (ReadSysfsNumber(dir / "online").value_or(0) == 1)
        {
            summary.externalOnline = true;
        }
    }
    else if (type == "Battery")
    {
        ++summary.batteries;
        const auto capacity = ReadSysfsNumber(dir / "capacity");
        if (capacity && *capacity <= 100)
        {
            summary.capacities.push_back(*capacity);
        }
        if (ReadSysfsText(dir / "status").value_or("") == "Charging")
        {
            summary.charging = true;
        }
    }
}

PowerStatus ToStatus(const SupplySummary& summary)
{
    PowerStatus status;
    if (!summary.externalSeen && summary.batteries == 0)
    {
        // A machine without a battery of its own runs on AC.
        status.acLineStatus = PowerStatus::kAcOnline;
        status.batteryFlag = PowerStatus::kNoSystemBattery;
        return status;
    }
    status.acLineStatus = summary.externalOnline ? PowerStatus::kAcOnline
                          : summary.externalSeen ? PowerStatus::kAcOffline
                                                 : PowerStatus::kAcUnknown;
    if (summary.batteries == 0)
    {
        status.batteryFlag = PowerStatus::kNoSystemBattery;
        return status;
    }
    if (summary.capacities.empty())
    {
        status.batteryFlag = PowerStatus::kBatteryUnknown;
        return status;
    }
    // Several batteries count as one of their mean charge.
    const uint32_t percent =
        std::accumulate(summary.capacities.begin(), summary.capacities.end(), 0u) /
        static_cast<uint32_t>(summary.capacities.size());
    uint8_t flag = summary.charging ? PowerStatus::kBatteryCharging : 0;
    if (percent > kHighAbovePercent)
    {
        flag |= PowerStatus::kBatteryHigh;
    }
    if (percent < kLowBelowPercent)
    {
        flag |= PowerStatus::kBatteryLow;
    }
    if (percent < kCriticalBelowPercent)
    {
        flag |= PowerStatus::kBatteryCritical;
    }
    status.batteryFlag = flag;
    status.batteryLifePercent = static_cast<uint8_t>(percent);
    return status;
}
} // namespace

CLinuxPowerSource::CLinuxPowerSource(fs::path root) : m_root(std::move(root)) {}

bool CLinuxPowerSource::ReadPowerStatus(PowerStatus& status)
{
    // A supply list that cannot be read whole is no reading: a missing
    // battery would otherwise pass for a machine on AC.
    std::vector<std::string> supplies;
    std::error_code error;
    if (!ListSysfsDirectory(m_root, supplies, error))
    {
        return false;
    }
    SupplySummary summary;
    for (const std::string& supply : supplies)
    {
        AddSupply(m_root / supply, summary);
    }
    status = ToStatus(summary);
    return true;
}
