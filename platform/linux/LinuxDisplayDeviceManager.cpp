#include "core/DisplayDevices.h"
#include "core/TextHelpers.h"
#include "platform/linux/LinuxServices.h"
#include "platform/linux/Sysfs.h"

#include <cerrno>

namespace fs = std::filesystem;

namespace
{
std::string DescribeClass(uint32_t classCode)
{
    switch ((classCode >> 8) & 0xFFFF)
    {
    case 0x0300:
        return "VGA compatible controller";
    case 0x0301:
        return "XGA controller";
    case 0x0302:
        return "3D controller";
    default:
        break;
    }
    if (((classCode >> 16) & 0xFF) == 0x03)
    {
        return "display controller";
    }
    return "PCI device of class " + ToHex((classCode >> 8) & 0xFFFF, 4);
}
} // namespace

std::string DescribePciFunction(uint16_t vendorId, uint16_t deviceId, uint32_t classCode)
{
    const std::string vendor =
        vendorId == kMakerVendorId ? std::string("Korvan") : "PCI vendor " + ToHex(vendorId, 4);
    return vendor + " " + DescribeClass(classCode) + " (device " + ToHex(deviceId, 4) + ")";
}

CLinuxDisplayDeviceManager::CLinuxDisplayDeviceManager(fs::path pciRoot)
    : m_pciRoot(std::move(pciRoot))
{
}

bool CLinuxDisplayDeviceManager::ListDevices(std::vector<DeviceEntry>& devices)
{
    std::vector<SysfsPciFunction> functions;
    int error = 0;
    if (!ListSysfsPciFunctions(m_pciRoot, functions, error))
    {
        return false;
    }
    devices.clear();
    for (const SysfsPciFunction& function : functions)
    {
        DeviceEntry entry;
        entry.instanceId = function.address;
        entry.description =
            DescribePciFunction(function.vendorId, function.deviceId, function.classCode);
        entry.compatibleIds = MakePciCompatibleIds(function.vendorId, function.deviceId,
                                                   function.revision, function.classCode);
        entry.location = MakePciLocationText(function.bus, function.device, function.function);
        devices.push_back(std::move(entry));
    }
    return true;
}

uint32_t CLinuxDisplayDeviceManager::GetDeviceStatus(const std::string& instanceId,
                                                     DeviceStatus& status)
{
    SysfsPciFunction function;
    if (!ReadSysfsPciFunction(m_pciRoot, instanceId, function))
    {
        return ENODEV;
    }
    if (function.driver)
    {
        status = {DeviceStatus::kDriverLoaded | DeviceStatus::kStarted | DeviceStatus::kDisableable,
                  0};
    }
    else if (m_unboundDrivers.count(instanceId) != 0)
    {
        status = {DeviceStatus::kHasProblem | DeviceStatus::kDisableable,
                  DeviceStatus::kProblemDisabled};
    }
    else
    {
        status = {DeviceStatus::kHasProblem, DeviceStatus::kProblemNoDriver};
    }
    return 0;
}

uint32_t CLinuxDisplayDeviceManager::ChangeDeviceState(const std::string& instanceId,
                                                       EDeviceStateChange change, EDeviceStateScope)
{
    // The address names files below the PCI root: only a well-formed one is used.
    SysfsPciFunction function;
    if (!ReadSysfsPciFunction(m_pciRoot, instanceId, function))
    {
        return ENODEV;
    }
    const auto remembered = m_unboundDrivers.find(instanceId);
    if (change == EDeviceStateChange::Disable)
    {
        if (!function.driver)
        {
            return remembered != m_unboundDrivers.end() ? 0 : ENODEV;
        }
        const int error =
            WriteSysfsText(m_pciRoot / "devices" / instanceId / "driver" / "unbind", instanceId);
        if (error == 0)
        {
            m_unboundDrivers[instanceId] = *function.driver;
        }
        return static_cast<uint32_t>(error);
    }
    // Enabling a started device (as the second, configuration-specific request
    // finds it) has nothing left to do.
    if (function.driver)
    {
        if (remembered != m_unboundDrivers.end())
        {
            m_unboundDrivers.erase(remembered);
        }
        return 0;
    }
    if (remembered == m_unboundDrivers.end())
    {
        return ENODEV;
    }
    // The driver stays remembered until the device is seen bound again, so a
    // repeated request binds it to the same driver.
    return static_cast<uint32_t>(
        WriteSysfsText(m_pciRoot / "drivers" / remembered->second / "bind", instanceId));
}
