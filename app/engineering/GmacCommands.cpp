// The GMAC microcontroller commands: programming its application image,
// saving it to a file, showing the version of a file or of the
// microcontroller, and listing the microcontrollers with the adapters they
// belong to. The microcontroller is reached over one of the GPU's I2C ports,
// which is held only while the accessor works and given back, with the
// registers unmapped, however the command ends.
//
// Finding the microcontrollers reads each adapter's firmware with the display
// driver out of the way. The driver is unbound once, at the first adapter
// probed, stays unbound across the others (and across the menu's second
// look), and is bound again once when the command ends, whichever way it
// ends.

#include "app/engineering/EngineeringRun.h"

#include "core/CrossPlatform.h"
#include "flasher/DisplayDriverGuard.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/I2CPortScope.h"

#include <cstdio>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr int32_t kGmacDeviceType = 0x98;

bool IsBridgeKind(IDisplayAdapter& adapter)
{
    const int32_t kind = adapter.GetDevice()->GetDeviceKind();
    return kind == static_cast<int32_t>(kDeviceKindZX22) ||
           kind == static_cast<int32_t>(kDeviceKindPLX8747);
}

// The microcontroller device-table entry of the adapter's firmware, probed
// with the display driver out of the way. The driver stays unbound for the
// next adapter: the command binds it again when it ends.
bool FindGmacEntry(CRefPtr<IDisplayAdapter> adapter, uint8_t& address, uint8_t& port, CLog* log)
{
    CRefPtr<IFlasher> flasher = GetFlasher();
    flasher->DisableDisplayDriver(adapter, log, true);
    bool found = false;
    try
    {
        found = flasher->FindI2CDevice(GetUserInterface(), GetPCIBus(), adapter,
                                       GetEEPROMDatabase(), kGmacDeviceType, address, port, log);
    }
    catch (...)
    {
        flasher->RestoreDisplayDriver(false);
        throw;
    }
    flasher->RestoreDisplayDriver(false);
    return found;
}

// An adapter owning a microcontroller belongs to the microcontroller's
// adapter when both report the same device ID behind the same parent bus, and,
// on a normal board, sit on the same segment and bus.
bool BelongsTo(IDisplayAdapter& owner, IDisplayAdapter& device)
{
    if (owner.GetRegisterDeviceID() != device.GetRegisterDeviceID() ||
        owner.GetParentBusText() != device.GetParentBusText())
    {
        return false;
    }
    CRefPtr<IDevice> ownerDevice = owner.GetDevice();
    CRefPtr<IDevice> gmacDevice = device.GetDevice();
    return !ownerDevice->IsNormalBoard() ||
           (ownerDevice->GetSegment() == gmacDevice->GetSegment() &&
            ownerDevice->GetBus() == gmacDevice->GetBus());
}

bool EngineeringDetail(CRomviseBaseApp& app)
{
    return (app.GetFeatureFlags() & ~1) > 0;
}

std::string FileOf(EngineeringCommand& command, const std::string& word, const char* usage)
{
    const std::string name = command.values.commandLine->GetValue(word, 0, 0);
    if (name.empty())
    {
        throw std::runtime_error("No filename specified.\n  " + std::string(usage) + ": " +
                                 command.app.GetProgramName() + " --" + word + " <filename>\n");
    }
    command.app.CheckFileExtension({CRomviseBaseApp::MakeFileType(0, ".rom")}, name);
    return name;
}

// The chosen adapter's registers stay mapped for the life of the scope.
class CMappedAdapter
{
public:
    explicit CMappedAdapter(CRefPtr<IDisplayAdapter> adapter) : m_adapter(std::move(adapter))
    {
        m_adapter->MapRegisters();
    }
    ~CMappedAdapter()
    {
        try
        {
            m_adapter->UnmapRegisters();
        }
        catch (...)
        {
            // The command's own failure is the one to report.
        }
    }
    CMappedAdapter(const CMappedAdapter&) = delete;
    CMappedAdapter& operator=(const CMappedAdapter&) = delete;

private:
    CRefPtr<IDisplayAdapter> m_adapter;
};

enum class GmacAction
{
    Program,
    Save,
    Query,
};

void RunOnMicrocontroller(EngineeringCommand& command, GmacAction action,
                          const std::string& fileName)
{
    EngineeringValues& values = command.values;
    CLog* log = values.log;
    CDisplayDriverRestoreGuard displayBack(log, DisplayRestore::OnEveryExit);
    if (values.index == -1)
    {
        values.index = -2;
    }
    CRefPtr<IDisplayAdapter> adapter =
        command.app
            .SelectGmacAdapters(values.adapters, values.filters, false, GetPCIBus(), values.index,
                                log)
            .front();
    std::ostringstream description;
    adapter->PrintDescription(description, false, command.app.HasEngineeringFeatures());
    *log << LogLevel(4) << description.str() << LogEndl;
    CMappedAdapter mapped(adapter);
    CRefPtr<IDevice> device = adapter->GetDevice();
    CRefPtr<IGmacAccessor> accessor = adapter->GetGmacAccessor();
    if (!accessor)
    {
        throw std::runtime_error("I2C Device Table does not contain a GMAC entry.");
    }
    if (action == GmacAction::Program)
    {
        accessor->SetOverrideFlags(values.commandLine->IsSet("overridetype") ? kGmacDeviceIdMismatch
                                                                             : 0);
    }
    const uint8_t port = accessor->GetI2CPort();
    char line[64];
    std::snprintf(line, sizeof line, "Using I2C port = %02X, I2C Device Address = %02X", port,
                  accessor->GetSlaveAddress());
    *log << LogLevel(3) << '\n' << line << LogEndl;
    if (!device->HasI2CPort(port))
    {
        throw std::runtime_error("Invalid I2C port for GPU.");
    }
    CI2CPortScope held(*device, port);
    if (!held.IsHeld())
    {
        throw std::runtime_error("This I2C port is in use by another program.");
    }
    const bool detail = EngineeringDetail(command.app);
    switch (action)
    {
    case GmacAction::Program:
        // A microcontroller left without the new image is a failed command,
        // whether the user declined or the programming failed.
        if (!accessor->Flash(fileName, log))
        {
            throw std::runtime_error("GMAC application image not updated.");
        }
        break;
    case GmacAction::Save:
        // The failure's message is the accessor's; the exit code says it.
        if (!accessor->SaveApplicationImage(fileName, log, detail))
        {
            values.result = engineering_exit::kRuntimeError;
        }
        break;
    case GmacAction::Query:
        if (!accessor->DisplayVersion("", log, detail))
        {
            values.result = engineering_exit::kRuntimeError;
        }
        break;
    }
}
} // namespace

DisplayAdapterList CRomviseBaseApp::FindGmacDevices(CRefPtr<IDisplayAdapterDatabase> database,
                                                    bool includeUncatalogued, CLog* log)
{
    DisplayAdapterList candidates;
    GetPCIBus()->FindDevices(candidates, database, includeUncatalogued, log);
    DisplayAdapterList accepted;
    for (const CRefPtr<IDisplayAdapter>& candidate : candidates)
    {
        if (IsBridgeKind(*candidate) || !candidate->IsConfigured())
        {
            continue;
        }
        bool repeated = false;
        for (const CRefPtr<IDisplayAdapter>& earlier : accepted)
        {
            repeated =
                repeated || (earlier->GetRegisterDeviceID() == candidate->GetRegisterDeviceID() &&
                             earlier->GetParentBusText() == candidate->GetParentBusText() &&
                             !candidate->GetDevice()->IsNormalBoard());
        }
        uint8_t address = 0;
        uint8_t port = 0;
        if (!repeated && FindGmacEntry(candidate, address, port, log))
        {
            CRefPtr<IGmacAccessor> accessor = candidate->GetGmacAccessor();
            accessor->SetSlaveAddress(address);
            accessor->SetI2CPort(port);
            accepted.push_back(candidate);
        }
    }
    return accepted;
}

DisplayAdapterList CRomviseBaseApp::FindMcuAdapters(const DisplayAdapterList& adapters, CLog* log)
{
    DisplayAdapterList owners;
    for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        if (IsBridgeKind(*adapter))
        {
            continue;
        }
        uint8_t address = 0;
        uint8_t port = 0;
        if (!adapter->GetDevice()->IsNormalBoard() || FindGmacEntry(adapter, address, port, log))
        {
            owners.push_back(adapter);
        }
    }
    return owners;
}

std::string CRomviseBaseApp::ListGmacDevices(const DisplayAdapterList& devices,
                                             const DisplayAdapterList& owners)
{
    std::ostringstream lines;
    for (size_t k = 0; k < devices.size(); ++k)
    {
        lines << '<' << k << "> " << devices[k]->GetGmacName() << '\n';
        for (const CRefPtr<IDisplayAdapter>& owner : owners)
        {
            if (BelongsTo(*owner, *devices[k]))
            {
                lines << "    |__ ";
                owner->PrintDescription(lines, true, HasEngineeringFeatures());
                lines << '\n';
            }
        }
    }
    return lines.str();
}

void ProgramGmac(EngineeringCommand& command)
{
    const std::string file = FileOf(command, "proggmac", "Flash GMAC MCU Usage");
    RunOnMicrocontroller(command, GmacAction::Program, file);
}

void SaveGmac(EngineeringCommand& command)
{
    const std::string file = FileOf(command, "savegmac", "Save GMAC APP Usage");
    RunOnMicrocontroller(command, GmacAction::Save, file);
}

void QueryGmac(EngineeringCommand& command)
{
    const std::string file = command.values.commandLine->GetValue("querygmac", 0, 0);
    if (file.empty())
    {
        RunOnMicrocontroller(command, GmacAction::Query, "");
        return;
    }
    command.app.CheckFileExtension({CRomviseBaseApp::MakeFileType(0, ".rom")}, file);
    CRefPtr<IGmacAccessor> accessor =
        CreateGmacAccessor(nullptr, nullptr, 0, 0, kGmacI2CPort, kGmacSlaveAddress);
    // A file that cannot be read as an application image.
    if (!accessor->DisplayVersion(file, command.values.log, EngineeringDetail(command.app)))
    {
        command.values.result = engineering_exit::kIoError;
    }
}

void ListGmac(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    CRomviseBaseApp& app = command.app;
    CLog* log = values.log;
    std::optional<CDisplayDriverRestoreGuard> displayBack;
    displayBack.emplace(log, DisplayRestore::OnEveryExit);
    *log << LogLevel(4)
         << "GMAC devices present in Korvan display adapter on the system:" << LogEndl;
    const DisplayAdapterList devices =
        app.FindGmacDevices(values.adapters, values.overrideAdapter, log);
    DisplayAdapterList adapters;
    app.EnumerateAdapters(adapters, GetPCIBus(), values.adapters, values.filters,
                          values.overrideAdapter, true, log, true);
    const DisplayAdapterList owners = app.FindMcuAdapters(adapters, log);
    if (devices.empty())
    {
        *log << LogLevel(4) << "I2C Device Table does not contain a GMAC entry." << LogEndl;
    }
    *log << LogLevel(4) << app.ListGmacDevices(devices, owners) << std::flush;
    displayBack.reset();
    *log << LogLevel(4) << '\n' << "Completed list of GMAC MCU device(s) successfully." << LogEndl;
}
