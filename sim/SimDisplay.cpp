#include "sim/SimDisplay.h"

#include "core/DisplayDevices.h"
#include "core/TextHelpers.h"
#include "core/platform/PlatformServices.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "sim/SimMachine.h"

#include "core/Exceptions.h"

#include <cerrno>
#include <cstdio>
#include <fstream>

namespace
{
constexpr uint32_t kDisplayClass = 0x030000;

std::string DescriptionOf(uint16_t vendorId, uint16_t deviceId)
{
    for (const AdapterCatalogueRecord& record : GetAdapterCatalogueRecords())
    {
        if (record.vendorId == vendorId && record.deviceId == deviceId)
        {
            return record.name;
        }
    }
    return vendorId == kMakerVendorId ? "Korvan Display Adapter" : "PCI Device";
}

DeviceEntry MakeEntry(uint8_t bus, uint8_t device, uint8_t function, uint16_t vendorId,
                      uint16_t deviceId, uint32_t classCode, uint8_t revision)
{
    DeviceEntry entry;
    entry.instanceId = CSimDisplayDevices::InstanceId(bus, device, function);
    entry.description = DescriptionOf(vendorId, deviceId);
    entry.compatibleIds = MakePciCompatibleIds(vendorId, deviceId, revision, classCode);
    entry.location = MakePciLocationText(bus, device, function);
    return entry;
}
} // namespace

CSimDisplayDevices::CSimDisplayDevices(std::shared_ptr<CSimMachine> machine)
    : m_machine(std::move(machine))
{
}

CSimDisplayDevices::~CSimDisplayDevices()
{
    // A record that cannot be written at the end of the process loses its
    // end lines; the process must still end normally.
    try
    {
        for (const auto& [instanceId, state] : m_states)
        {
            if (state.hasDriver)
            {
                Record("end " + instanceId + (state.bound ? " bound" : " unbound"));
            }
        }
    }
    catch (const std::exception&)
    {
    }
}

void CSimDisplayDevices::Record(const std::string& line) const
{
    const std::string& path = m_machine->DisplayRecordFile();
    if (path.empty())
    {
        return;
    }
    std::ofstream file(path, std::ios::app);
    file << line << '\n';
    if (!file)
    {
        throw io_error("Cannot write display record " + path);
    }
}

std::string CSimDisplayDevices::InstanceId(uint8_t bus, uint8_t device, uint8_t function)
{
    char text[16];
    std::snprintf(text, sizeof text, "0000:%02x:%02x.%x", bus, device, function);
    return text;
}

CSimDisplayDevices::State& CSimDisplayDevices::StateOf(const std::string& instanceId,
                                                       bool makerDisplay)
{
    auto found = m_states.find(instanceId);
    if (found == m_states.end())
    {
        State state;
        state.hasDriver = makerDisplay;
        state.bound = makerDisplay;
        found = m_states.emplace(instanceId, state).first;
    }
    return found->second;
}

std::vector<CSimDisplayDevices::Listed> CSimDisplayDevices::Enumerate()
{
    std::vector<Listed> listed;
    for (const auto& function : m_machine->Functions())
    {
        if (!m_machine->FindReachableFunction(function->Bus(), function->Device(),
                                              function->Function()))
        {
            continue;
        }
        const uint16_t vendorId = static_cast<uint16_t>(function->Stored(0, 2));
        const uint16_t deviceId = static_cast<uint16_t>(function->Stored(2, 2));
        const uint32_t classCode = function->Stored(8, 4) >> 8;
        const uint8_t revision = static_cast<uint8_t>(function->Stored(8, 1));
        Listed item;
        item.entry = MakeEntry(function->Bus(), function->Device(), function->Function(), vendorId,
                               deviceId, classCode, revision);
        item.makerDisplay = IsMakerDisplayFunction(vendorId, classCode);
        listed.push_back(std::move(item));
    }
    for (const Hidden& hidden : m_hidden)
    {
        Listed item;
        item.entry = MakeEntry(hidden.bus, hidden.device, hidden.function, kMakerVendorId,
                               hidden.deviceId, kDisplayClass, 0xA1);
        item.makerDisplay = true;
        listed.push_back(std::move(item));
    }
    for (Listed& item : listed)
    {
        StateOf(item.entry.instanceId, item.makerDisplay);
    }
    return listed;
}

bool CSimDisplayDevices::ListDevices(std::vector<DeviceEntry>& devices)
{
    if (m_listFails)
    {
        return false;
    }
    devices.clear();
    for (Listed& item : Enumerate())
    {
        devices.push_back(std::move(item.entry));
    }
    return true;
}

uint32_t CSimDisplayDevices::GetDeviceStatus(const std::string& instanceId, DeviceStatus& status)
{
    Enumerate();
    const auto found = m_states.find(instanceId);
    if (found == m_states.end())
    {
        return ENODEV;
    }
    const State& state = found->second;
    if (state.bound)
    {
        status = {DeviceStatus::kDriverLoaded | DeviceStatus::kStarted | DeviceStatus::kDisableable,
                  0};
    }
    else if (state.hasDriver)
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

uint32_t CSimDisplayDevices::ChangeDeviceState(const std::string& instanceId,
                                               EDeviceStateChange change, EDeviceStateScope)
{
    Enumerate();
    const auto found = m_states.find(instanceId);
    if (found == m_states.end() || !found->second.hasDriver)
    {
        return ENODEV;
    }
    const bool enable = change == EDeviceStateChange::Enable;
    m_changes.push_back(std::string(enable ? "enable " : "disable ") + instanceId);
    found->second.bound = enable;
    Record((enable ? "bind " : "unbind ") + instanceId);
    if (!enable)
    {
        for (auto hidden = m_hidden.begin(); hidden != m_hidden.end(); ++hidden)
        {
            if (InstanceId(hidden->bus, hidden->device, hidden->function) == instanceId &&
                hidden->appear)
            {
                const std::function<void()> appear = std::move(hidden->appear);
                m_hidden.erase(hidden);
                appear();
                break;
            }
        }
    }
    return 0;
}

int32_t CSimDisplayDevices::EnumerateGpus(std::vector<std::string>& gpus)
{
    gpus.clear();
    for (const Listed& item : Enumerate())
    {
        if (item.makerDisplay)
        {
            gpus.push_back(item.entry.instanceId);
        }
    }
    return 0;
}

int32_t CSimDisplayDevices::QueryD3Cold(const std::string& gpu, uint32_t& allowed)
{
    const auto found = m_states.find(gpu);
    if (found == m_states.end())
    {
        return ENODEV;
    }
    allowed = found->second.d3ColdAllowed ? 1 : 0;
    return 0;
}

int32_t CSimDisplayDevices::SetD3Cold(const std::string& gpu, bool allowed)
{
    const auto found = m_states.find(gpu);
    if (found == m_states.end())
    {
        return ENODEV;
    }
    found->second.d3ColdAllowed = allowed;
    return 0;
}

bool CSimDisplayDevices::IsDriverBound(const std::string& instanceId)
{
    Enumerate();
    const auto found = m_states.find(instanceId);
    return found != m_states.end() && found->second.bound;
}

void CSimDisplayDevices::SetDriverBound(const std::string& instanceId, bool bound)
{
    Enumerate();
    State& state = m_states[instanceId];
    state.hasDriver = state.hasDriver || bound;
    state.bound = bound;
}

bool CSimDisplayDevices::IsD3ColdAllowed(const std::string& instanceId)
{
    Enumerate();
    const auto found = m_states.find(instanceId);
    return found != m_states.end() && found->second.d3ColdAllowed;
}

void CSimDisplayDevices::AddHiddenGpu(uint8_t bus, uint8_t device, uint8_t function,
                                      uint16_t deviceId, std::function<void()> appear)
{
    m_hidden.push_back({bus, device, function, deviceId, std::move(appear)});
}

CSimDisplayDevices* GetSimDisplayDevices()
{
    return dynamic_cast<CSimDisplayDevices*>(GetPlatformServices().displayDevices.get());
}
