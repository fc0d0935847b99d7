#include "core/DisplayDevices.h"

#include "core/TextHelpers.h"

#include <cctype>
#include <cerrno>
#include <stdexcept>

namespace
{
constexpr uint32_t kDisplayBaseClass = 0x03;

bool Contains(const std::string& text, const char* fragment)
{
    return text.find(fragment) != std::string::npos;
}

bool ContainsMakerDisplayClass(const std::string& id)
{
    return Contains(id, kMaker3DControllerId) || Contains(id, kMakerVgaControllerId);
}

void SetLogLevel(CLog* log, int level)
{
    if (log)
    {
        log->SetLevel(level);
    }
}
} // namespace

bool IsMakerDisplayFunction(uint16_t vendorId, uint32_t classCode)
{
    return vendorId == kMakerVendorId && ((classCode >> 16) & 0xFF) == kDisplayBaseClass;
}

std::vector<std::string> MakePciCompatibleIds(uint16_t vendorId, uint16_t deviceId,
                                              uint8_t revision, uint32_t classCode)
{
    const std::string vendor = "PCI\\VEN_" + ToHex(vendorId, 4);
    const std::string device = vendor + "&DEV_" + ToHex(deviceId, 4);
    const std::string fullClass = ToHex(classCode & 0xFFFFFF, 6);
    const std::string baseAndSubClass = fullClass.substr(0, 4);
    return {
        device + "&REV_" + ToHex(revision, 2), device, vendor + "&CC_" + fullClass,
        vendor + "&CC_" + baseAndSubClass,     vendor, "PCI\\CC_" + fullClass,
        "PCI\\CC_" + baseAndSubClass,
    };
}

std::string MakePciLocationText(uint32_t bus, uint32_t device, uint32_t function)
{
    return "PCI bus " + std::to_string(bus) + ", device " + std::to_string(device) + ", function " +
           std::to_string(function);
}

bool HasMakerDisplayClassId(const std::vector<std::string>& compatibleIds)
{
    for (const std::string& id : compatibleIds)
    {
        if (ContainsMakerDisplayClass(id))
        {
            return true;
        }
    }
    return false;
}

bool MakeDisplayDeviceRecord(const std::vector<std::string>& compatibleIds,
                             DisplayDeviceRecord& record)
{
    const std::string* deviceIdText = nullptr;
    bool classFound = false;
    for (const std::string& id : compatibleIds)
    {
        if (!deviceIdText && Contains(id, kMakerDeviceIdPrefix))
        {
            deviceIdText = &id;
        }
        if (ContainsMakerDisplayClass(id))
        {
            classFound = true;
            break;
        }
    }
    if (!classFound || !deviceIdText)
    {
        return false;
    }
    const size_t dev = deviceIdText->find("DEV_");
    if (dev == std::string::npos || dev + 4 >= deviceIdText->size())
    {
        return false;
    }
    // Four characters after "DEV_"; a shorter or malformed ID gives the hex
    // digits that are there.
    const std::string digits = deviceIdText->substr(dev + 4, 4);
    size_t valid = 0;
    while (valid < digits.size() && std::isxdigit(static_cast<unsigned char>(digits[valid])))
    {
        ++valid;
    }
    const uint32_t deviceId =
        valid == 0 ? 0 : static_cast<uint32_t>(std::stoul(digits.substr(0, valid), nullptr, 16));
    record.vendorId = kMakerVendorId;
    record.deviceId = deviceId;
    record.idText = *deviceIdText;
    return true;
}

std::vector<DisplayDeviceRecord> FindDisplayDevices(const std::vector<DeviceEntry>& devices)
{
    std::vector<DisplayDeviceRecord> records;
    for (const DeviceEntry& device : devices)
    {
        DisplayDeviceRecord record;
        if (device.compatibleIds && MakeDisplayDeviceRecord(*device.compatibleIds, record))
        {
            records.push_back(std::move(record));
        }
    }
    return records;
}

std::string FindDeviceDescription(const std::vector<DeviceEntry>& devices, uint16_t deviceId,
                                  uint16_t vendorId)
{
    const std::string pattern = "VEN_" + ToHex(vendorId, 4) + "&DEV_" + ToHex(deviceId, 4);
    for (const DeviceEntry& device : devices)
    {
        if (!device.compatibleIds || !device.description)
        {
            continue;
        }
        for (const std::string& id : *device.compatibleIds)
        {
            if (Contains(id, pattern.c_str()))
            {
                return *device.description;
            }
        }
    }
    return {};
}

bool IsMakerDisplayDevice(const DeviceEntry& device, int32_t adapterCount)
{
    if (!device.description)
    {
        return false;
    }
    return adapterCount > 1 || Contains(*device.description, "Korvan");
}

void ParsePciLocation(const std::string& text, int32_t& bus, int32_t& device)
{
    bus = 256;
    device = 0;
    size_t i = 0;
    const auto readNumber = [&](size_t maxDigits)
    {
        int32_t value = 0;
        for (size_t n = 0;
             n < maxDigits && i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
             ++n, ++i)
        {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const auto skipToDigit = [&]
    {
        while (i < text.size() && !std::isdigit(static_cast<unsigned char>(text[i])))
        {
            ++i;
        }
        return i < text.size();
    };
    if (!skipToDigit())
    {
        return;
    }
    bus = readNumber(3);
    if (!skipToDigit())
    {
        return;
    }
    device = readNumber(2);
}

bool MatchesAdapterLocation(const std::string& location,
                            const std::function<std::pair<int32_t, int32_t>()>& adapterBusDevice,
                            CLog* log)
{
    int32_t bus = 0;
    int32_t device = 0;
    ParsePciLocation(location, bus, device);
    try
    {
        const auto [adapterBus, adapterDevice] = adapterBusDevice();
        return bus == adapterBus && device == adapterDevice;
    }
    catch (const std::runtime_error&)
    {
        if (log)
        {
            *log << " ERROR: Fail to extract the PFA number." << errno << LogEndl;
        }
        return false;
    }
}

bool ChangeDeviceState(IDisplayDeviceManager& manager, const std::string& instanceId,
                       EDeviceStateChange change, EDeviceStateScope scope, CLog* log)
{
    SetLogLevel(log, 3);
    if (log)
    {
        *log << LogEndl;
    }
    const uint32_t error = manager.ChangeDeviceState(instanceId, change, scope);
    if (error != 0)
    {
        if (log)
        {
            *log << " Warning: Unable to change device state, error code = " << error << LogEndl;
        }
        return false;
    }
    return true;
}

bool EnableDisplayDevice(IDisplayDeviceManager& manager, const std::string& instanceId, CLog* log)
{
    return ChangeDeviceState(manager, instanceId, EDeviceStateChange::Enable,
                             EDeviceStateScope::Global, log) &&
           ChangeDeviceState(manager, instanceId, EDeviceStateChange::Enable,
                             EDeviceStateScope::ConfigurationSpecific, log);
}

bool DisableDisplayDevice(IDisplayDeviceManager& manager, const std::string& instanceId, CLog* log)
{
    return ChangeDeviceState(manager, instanceId, EDeviceStateChange::Disable,
                             EDeviceStateScope::Global, log);
}
