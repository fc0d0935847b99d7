#pragma once
// The operating system's list of present devices, with the properties the
// display-driver control reads, each device's driver status, and the requests
// that disable and enable a device's driver.

#include "core/RefCount.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One present device. A property the device does not have is empty.
struct DeviceEntry
{
    // Names the device in the manager's calls (on Linux the PCI address).
    std::string instanceId;
    std::optional<std::string> description;
    // Most specific first, as "PCI\VEN_7E2B&DEV_1234&REV_A1".
    std::optional<std::vector<std::string>> compatibleIds;
    // "PCI bus 1, device 0, function 0".
    std::optional<std::string> location;
};

struct DeviceStatus
{
    static constexpr uint32_t kDriverLoaded = 0x2;
    static constexpr uint32_t kStarted = 0x8;
    static constexpr uint32_t kHasProblem = 0x400;
    static constexpr uint32_t kDisableable = 0x2000;
    // Problem codes.
    static constexpr uint32_t kProblemDisabled = 22;
    static constexpr uint32_t kProblemNoDriver = 28;

    uint32_t status = 0;
    uint32_t problem = 0;
};

enum class EDeviceStateChange : uint32_t
{
    Enable = 1,
    Disable = 2,
};

enum class EDeviceStateScope : uint32_t
{
    Global = 1,
    ConfigurationSpecific = 2,
};

class IDisplayDeviceManager : public IReferenceCount
{
public:
    // Every present device in the system's order. False when the list cannot
    // be made.
    virtual bool ListDevices(std::vector<DeviceEntry>& devices) = 0;
    // 0 with the status, or the system's error code.
    virtual uint32_t GetDeviceStatus(const std::string& instanceId, DeviceStatus& status) = 0;
    // 0 when the change took effect, or the system's error code.
    virtual uint32_t ChangeDeviceState(const std::string& instanceId, EDeviceStateChange change,
                                       EDeviceStateScope scope) = 0;
};
