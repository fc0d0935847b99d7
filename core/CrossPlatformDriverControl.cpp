// Display-driver control of the operating-system layer: the adapter and flash
// context, disabling the maker's display devices around a flash (the active
// adapter's own device last) with their D3-cold capability turned off, and
// enabling again exactly the devices this layer disabled.

#include "core/CommandLine.h"
#include "core/CrossPlatformImpl.h"
#include "core/D3Cold.h"
#include "core/DeviceKindTraits.h"
#include "core/Exceptions.h"
#include "core/TextHelpers.h"

#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{
bool IsOptionSet(const char* name)
{
    try
    {
        return ICommandLine::GetInstance()->IsSet(name);
    }
    catch (const std::runtime_error&)
    {
        return false;
    }
}

bool ContainsId(const DeviceEntry& device, const std::string& idText)
{
    if (!device.compatibleIds)
    {
        return false;
    }
    for (const std::string& id : *device.compatibleIds)
    {
        if (id.find(idText) != std::string::npos)
        {
            return true;
        }
    }
    return false;
}

bool IsMakerDisplayEntry(const DeviceEntry& device)
{
    return device.compatibleIds && HasMakerDisplayClassId(*device.compatibleIds) &&
           device.location.has_value();
}

// Runs one step of the display-driver restore. The restore is what callers
// rely on just before they report an error, so a failing step is logged and
// the steps after it still run.
template <class Step> void RunRestoreStep(CLog& log, Step step)
{
    try
    {
        step();
    }
    catch (const std::exception& error)
    {
        log << LogLevel(4) << error.what() << LogEndl;
    }
}

void ReportNotReenabled(const std::string& instanceId)
{
    std::ostringstream message;
    message << "Failed to re-enable display device " << instanceId
            << "; enable it again or restart the machine.";
    LogMessage(message, 4, true);
}
} // namespace

void CCrossPlatformImpl::SetActiveAdapter(CRefPtr<IAdapterContext> adapter)
{
    m_activeAdapter = std::move(adapter);
}

CRefPtr<IAdapterContext> CCrossPlatformImpl::GetActiveAdapter()
{
    return m_activeAdapter;
}

void CCrossPlatformImpl::SetPrimaryAdapter(CRefPtr<IAdapterContext> adapter)
{
    m_primaryAdapter = std::move(adapter);
}

CRefPtr<IAdapterContext> CCrossPlatformImpl::GetPrimaryAdapter()
{
    return m_primaryAdapter;
}

void CCrossPlatformImpl::SetAdapterCount(int32_t count)
{
    m_adapterCount = count;
}

bool CCrossPlatformImpl::IsActiveAdapterManaged()
{
    return m_activeAdapter && TraitsOfDeviceKind(m_activeAdapter->GetDeviceKind()).driverManaged;
}

int32_t CCrossPlatformImpl::GetActiveAdapterBus()
{
    if (!m_activeAdapter)
    {
        throw std::runtime_error("Error: Display adapter was not initialized.");
    }
    return m_activeAdapter->GetBusNumber();
}

int32_t CCrossPlatformImpl::GetActiveAdapterDevice()
{
    if (!m_activeAdapter)
    {
        throw std::runtime_error("Error: Display adapter was not initialized.");
    }
    return m_activeAdapter->GetDeviceNumber();
}

void CCrossPlatformImpl::SetFlashContext(CRefPtr<IReferenceCount> loader,
                                         CRefPtr<IReferenceCount> eeprom,
                                         CRefPtr<IReferenceCount> eepromDatabase)
{
    m_flashLoader = std::move(loader);
    m_flashEeprom = std::move(eeprom);
    m_flashEepromDatabase = std::move(eepromDatabase);
}

IReferenceCount* CCrossPlatformImpl::GetFlashLoader()
{
    return m_flashLoader ? m_flashLoader.get() : m_releasingLoader;
}

void CCrossPlatformImpl::ReleaseFlashLoader()
{
    // The loader is released, not destroyed: whoever else holds it keeps it.
    // When this was the last reference, its clean-up asks whether it is still
    // the registered loader before it closes the microcontroller's session, so
    // it stays registered until the release returns.
    m_releasingLoader = m_flashLoader.get();
    m_flashLoader = nullptr;
    m_releasingLoader = nullptr;
}

CRefPtr<IReferenceCount> CCrossPlatformImpl::GetFlashEEPROM()
{
    return m_flashEeprom;
}

CRefPtr<IReferenceCount> CCrossPlatformImpl::GetFlashEEPROMDatabase()
{
    return m_flashEepromDatabase;
}

void CCrossPlatformImpl::SetDisplayDriverHook(CRefPtr<IDisplayDriverHook> hook)
{
    m_hook = std::move(hook);
}

bool CCrossPlatformImpl::IsDisplayDriverDisabled()
{
    return !m_toggledDevices.empty();
}

bool CCrossPlatformImpl::IsPrimaryAdapterReady()
{
    if (!m_primaryAdapter)
    {
        throw std::runtime_error("Error: Primary display adapter was not initialized.");
    }
    return m_primaryAdapter->IsDisplayAttached();
}

void CCrossPlatformImpl::DisableD3Cold(CLog& log)
{
    if (m_d3ColdDisabled)
    {
        return;
    }
    log << "Disable D3 cold capability before unloading driver..." << LogEndl;
    if (SetD3ColdCapability(m_services.d3Cold.get(), true, &log) == kD3ColdSet)
    {
        m_d3ColdDisabled = true;
    }
}

void CCrossPlatformImpl::RestoreD3Cold(CLog& log)
{
    if (!m_d3ColdDisabled)
    {
        return;
    }
    log << "Restore D3 cold capability after KR driver restoration..." << LogEndl;
    for (int attempt = 0; attempt < kD3ColdRestoreAttempts; ++attempt)
    {
        const int32_t result = SetD3ColdCapability(m_services.d3Cold.get(), false, &log);
        if (result == kD3ColdSet)
        {
            m_d3ColdDisabled = false;
            log << "Restore D3 cold capability after "
                << FormatNumber(static_cast<uint32_t>(attempt + 1), 2) << " try." << LogEndl;
            return;
        }
        if (result != kD3ColdNoEnumeration)
        {
            log << "KR driver doesn't support the function to set D3 cold capability." << LogEndl;
            return;
        }
        DelayMicroseconds(kD3ColdRetryMicroseconds);
        log << "#" << FormatNumber(static_cast<uint32_t>(attempt), 2)
            << ": Retry to restore D3 cold capability..." << LogEndl;
    }
}

bool CCrossPlatformImpl::ShowMonitorWarningIfDue(CLog&)
{
    if (IsOptionSet("auto") || m_adapterCount <= 1 || IsDisplayDriverDisabled() ||
        IsPrimaryAdapterReady())
    {
        return true;
    }
    std::cout << "\n  Warning: Primary display adapter must plug-in a monitor to avoid black"
              << std::endl
              << "\t   screen when disabling Korvn display driver." << std::endl
              << "\n Please press 'y' to continue: " << std::flush;
    const int key = GetAnswerKey(false);
    std::cout << std::endl;
    return key == 'y' || key == 'Y';
}

bool CCrossPlatformImpl::DisableIfStarted(const DeviceEntry& device, uint32_t waitMicroseconds,
                                          CLog& log)
{
    DeviceStatus status;
    const uint32_t error = m_services.displayDevices->GetDeviceStatus(device.instanceId, status);
    if (error != 0)
    {
        log << "CM_Get_DevNode_Status(), Error code = " << error << LogEndl;
        return false;
    }
    const bool hasProblem = (status.status & DeviceStatus::kHasProblem) != 0;
    if (hasProblem && status.problem != DeviceStatus::kProblemDisabled && status.problem != 67)
    {
        log << "Disabling driver: Device Driver Status code = " << status.problem << LogEndl;
        return false;
    }
    const uint32_t running =
        DeviceStatus::kStarted | DeviceStatus::kDriverLoaded | DeviceStatus::kDisableable;
    if ((status.status & running) != running || !IsMakerDisplayDevice(device, m_adapterCount))
    {
        return false;
    }
    if (IsWow64())
    {
        throw std::runtime_error(" The flasher cannot automatic disable the KR driver on Windows "
                                 "x64,\n\tplease use the flasher 64-bit version instead.\n");
    }
    DisableD3Cold(log);
    if (!DisableDisplayDevice(*m_services.displayDevices, device.instanceId, &log))
    {
        return false;
    }
    DelayMicroseconds(waitMicroseconds);
    return true;
}

bool CCrossPlatformImpl::DisableDevices(CLog& log)
{
    std::vector<DeviceEntry> devices;
    if (!m_services.displayDevices || !m_services.displayDevices->ListDevices(devices))
    {
        return false;
    }
    // The active adapter's own device goes last, after every other one.
    std::vector<const DeviceEntry*> order;
    const DeviceEntry* active = nullptr;
    for (const DeviceEntry& device : devices)
    {
        if (!IsMakerDisplayEntry(device))
        {
            continue;
        }
        if (!active &&
            MatchesAdapterLocation(
                *device.location,
                [this] { return std::make_pair(GetActiveAdapterBus(), GetActiveAdapterDevice()); },
                &log))
        {
            active = &device;
            continue;
        }
        order.push_back(&device);
    }
    if (active)
    {
        order.push_back(active);
    }
    for (const DeviceEntry* device : order)
    {
        if (DisableIfStarted(*device, kToggleWaitMicroseconds, log))
        {
            m_toggledDevices.insert(device->instanceId);
        }
    }
    return true;
}

bool CCrossPlatformImpl::EnableRemembered(std::set<std::string>& disabled,
                                          uint32_t waitMicroseconds, CLog& log)
{
    std::vector<DeviceEntry> devices;
    if (!m_services.displayDevices || !m_services.displayDevices->ListDevices(devices))
    {
        for (const std::string& instanceId : disabled)
        {
            ReportNotReenabled(instanceId);
        }
        return false;
    }
    std::set<std::string> stillDisabled;
    for (const DeviceEntry& device : devices)
    {
        if (disabled.count(device.instanceId) == 0)
        {
            continue;
        }
        DeviceStatus status;
        const uint32_t error =
            m_services.displayDevices->GetDeviceStatus(device.instanceId, status);
        if (error != 0)
        {
            log << "CM_Get_DevNode_Status(), Error code = " << error << LogEndl;
            stillDisabled.insert(device.instanceId);
            continue;
        }
        if (status.problem != DeviceStatus::kProblemDisabled)
        {
            continue; // enabled by someone else meanwhile
        }
        DelayMicroseconds(waitMicroseconds);
        if (!EnableDisplayDevice(*m_services.displayDevices, device.instanceId, &log))
        {
            stillDisabled.insert(device.instanceId);
        }
    }
    // A remembered device the list no longer shows cannot be enabled either.
    for (const std::string& instanceId : disabled)
    {
        bool listed = false;
        for (const DeviceEntry& device : devices)
        {
            listed = listed || device.instanceId == instanceId;
        }
        if (!listed)
        {
            stillDisabled.insert(instanceId);
        }
    }
    for (const std::string& instanceId : stillDisabled)
    {
        ReportNotReenabled(instanceId);
    }
    disabled = std::move(stillDisabled);
    return true;
}

bool CCrossPlatformImpl::EnableDevices(CLog& log)
{
    if (!EnableRemembered(m_toggledDevices, kToggleWaitMicroseconds, log))
    {
        return false;
    }
    if (m_toggledDevices.empty())
    {
        SetFlashContext(nullptr, nullptr, nullptr);
    }
    RestoreD3Cold(log);
    return true;
}

bool CCrossPlatformImpl::ToggleDisplayDriver(CLog* log)
{
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    out.SetLevel(3);
    out << LogEndl;
    if (IsDisplayDriverDisabled())
    {
        return EnableDevices(out);
    }
    if (!ShowMonitorWarningIfDue(out))
    {
        throw user_abort_error("User aborted");
    }
    return DisableDevices(out);
}

void CCrossPlatformImpl::RestoreDisplayDriver(CLog* log)
{
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    if (IsActiveAdapterManaged())
    {
        if (m_hook)
        {
            // The display comes back even when the firmware's application
            // cannot be started.
            RunRestoreStep(out,
                           [&] {
                               m_hook->LoadPreOSApp(m_activeAdapter, m_flashEeprom,
                                                    m_flashEepromDatabase, log);
                           });
        }
        ReleaseFlashLoader();
        SetActiveAdapter(nullptr);
    }
    // What this layer unbound is bound again also when no adapter is active
    // any more: a run that probes several adapters keeps the driver unbound
    // from the first to the last and lets go of each adapter after its
    // probe, and the screen must not stay dark for that.
    if (IsDisplayDriverDisabled() && !IsOptionSet("offswdriver"))
    {
        out.SetLevel(3);
        out << LogEndl << "Restore the KR driver state automatically, and a reboot is required."
            << LogEndl;
        RunRestoreStep(out,
                       [&]
                       {
                           ToggleDisplayDriver(&out);
                           if (m_hook)
                           {
                               m_hook->ResetDriverState();
                           }
                       });
    }
    RunRestoreStep(out, [&] { EnableDeviceDriver(&out); });
    // D3 cold was turned off before the first device was disabled, also when
    // that device then refused; once nothing this layer disabled is left
    // disabled, it goes back on.
    if (!IsDisplayDriverDisabled() && m_disabledDevices.empty())
    {
        RunRestoreStep(out, [&] { RestoreD3Cold(out); });
    }
}

bool CCrossPlatformImpl::DisableDeviceDriver(const std::string& idText, CLog* log)
{
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    out.SetLevel(3);
    std::vector<DeviceEntry> devices;
    if (!m_services.displayDevices || !m_services.displayDevices->ListDevices(devices))
    {
        return false;
    }
    for (const DeviceEntry& device : devices)
    {
        if (ContainsId(device, idText) && DisableIfStarted(device, kDeviceWaitMicroseconds, out))
        {
            m_disabledDevices.insert(device.instanceId);
        }
    }
    return true;
}

void CCrossPlatformImpl::EnableDeviceDriver(CLog* log)
{
    if (m_disabledDevices.empty())
    {
        return;
    }
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    out.SetLevel(3);
    if (EnableRemembered(m_disabledDevices, kDeviceWaitMicroseconds, out))
    {
        RestoreD3Cold(out);
    }
}
