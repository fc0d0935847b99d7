#include "tests/support/FakePlatform.h"

#include "core/DisplayDevices.h"
#include "core/Singleton.h"

#include <stdexcept>

namespace
{
int PopKey(std::deque<int>& keys)
{
    if (keys.empty())
    {
        return kConsoleEndOfInput;
    }
    const int key = keys.front();
    keys.pop_front();
    return key;
}
} // namespace

int CFakeConsoleInput::ReadKeyWithoutEcho()
{
    ++keysWithoutEcho;
    return PopKey(keys);
}

int CFakeConsoleInput::ReadKeyWithEcho()
{
    ++keysWithEcho;
    return PopKey(keys);
}

bool CFakeConsoleInput::ReadLine(std::string& line)
{
    ++linesRead;
    if (lines.empty())
    {
        return false;
    }
    line = lines.front();
    lines.pop_front();
    return true;
}

void CFakeSystemControl::Reboot()
{
    ++rebootCount;
    if (!rebootError.empty())
    {
        throw std::runtime_error(rebootError);
    }
}

std::string CFakeSystemControl::GetSystemErrorText(uint32_t code)
{
    const auto found = errorTexts.find(code);
    return found == errorTexts.end() ? std::string() : found->second;
}

int32_t CFakeD3ColdControl::EnumerateGpus(std::vector<std::string>& out)
{
    ++enumerations;
    if (enumerateStatus != 0)
    {
        return enumerateStatus;
    }
    out.clear();
    for (const Gpu& gpu : gpus)
    {
        out.push_back(gpu.address);
    }
    return 0;
}

int32_t CFakeD3ColdControl::QueryD3Cold(const std::string& address, uint32_t& value)
{
    for (const Gpu& gpu : gpus)
    {
        if (gpu.address == address)
        {
            value = gpu.allowed ? 1 : 0;
            return gpu.queryStatus;
        }
    }
    return -1;
}

int32_t CFakeD3ColdControl::SetD3Cold(const std::string& address, bool value)
{
    sets.emplace_back(address, value);
    for (Gpu& gpu : gpus)
    {
        if (gpu.address == address)
        {
            if (gpu.setStatus == 0)
            {
                gpu.allowed = value;
            }
            return gpu.setStatus;
        }
    }
    return -1;
}

bool CFakeDisplayDeviceManager::ListDevices(std::vector<DeviceEntry>& out)
{
    if (listFails)
    {
        return false;
    }
    out.clear();
    for (const Device& device : devices)
    {
        out.push_back(device.entry);
    }
    return true;
}

uint32_t CFakeDisplayDeviceManager::GetDeviceStatus(const std::string& instanceId,
                                                    DeviceStatus& status)
{
    for (const Device& device : devices)
    {
        if (device.entry.instanceId == instanceId)
        {
            status = device.status;
            return device.statusError;
        }
    }
    return 2; // no such device
}

uint32_t CFakeDisplayDeviceManager::ChangeDeviceState(const std::string& instanceId,
                                                      EDeviceStateChange change,
                                                      EDeviceStateScope scope)
{
    changes.push_back({instanceId, change, scope});
    for (Device& device : devices)
    {
        if (device.entry.instanceId != instanceId)
        {
            continue;
        }
        if (device.changeError != 0)
        {
            return device.changeError;
        }
        if (change == EDeviceStateChange::Disable)
        {
            device.status = {DeviceStatus::kHasProblem | DeviceStatus::kDisableable,
                             DeviceStatus::kProblemDisabled};
        }
        else if (device.status.problem == DeviceStatus::kProblemDisabled)
        {
            device.status = {DeviceStatus::kDriverLoaded | DeviceStatus::kStarted |
                                 DeviceStatus::kDisableable,
                             0};
        }
        return 0;
    }
    return 2; // no such device
}

CFakeDisplayDeviceManager::Device& CFakeDisplayDeviceManager::AddPciDevice(
    const std::string& instanceId, uint16_t vendorId, uint16_t deviceId, uint32_t classCode,
    uint32_t bus, uint32_t device, uint32_t function, const std::string& description)
{
    Device added;
    added.entry.instanceId = instanceId;
    added.entry.description = description;
    added.entry.compatibleIds = MakePciCompatibleIds(vendorId, deviceId, 0xA1, classCode);
    added.entry.location = MakePciLocationText(bus, device, function);
    devices.push_back(std::move(added));
    return devices.back();
}

CFakePlatform::CFakePlatform()
    : clock(new CFakeClock), console(new CFakeConsoleInput), breaks(new CFakeBreakHandling),
      power(new CFakePowerSource), system(new CFakeSystemControl),
      devices(new CFakeDisplayDeviceManager), d3Cold(new CFakeD3ColdControl),
      tones(new CFakeToneOutput)
{
    ReleaseSingletons();
    Install(Services());
}

CFakePlatform::~CFakePlatform()
{
    ReleaseSingletons();
    InstallPlatformServices(PlatformServices{});
}

void CFakePlatform::Install(const PlatformServices& services)
{
    ReleaseSingletons();
    InstallPlatformServices(services);
}

PlatformServices CFakePlatform::Services() const
{
    PlatformServices services;
    services.clock = clock;
    services.consoleInput = console;
    services.breakHandling = breaks;
    services.powerSource = power;
    services.systemControl = system;
    services.displayDevices = devices;
    services.d3Cold = d3Cold;
    services.toneOutput = tones;
    return services;
}
