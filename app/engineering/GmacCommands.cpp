// The GMAC microcontroller commands: programming its application image,
// saving it to a file, showing the version of a file or of the
// microcontroller, and listing the microcontrollers with the adapters they
// belong to. The microcontroller is reached over one of the GPU's I2C ports,
// which is held only while the accessor works and given back, with the
// registers unmapped, however the command ends.

#include "app/engineering/EngineeringCommands.h"

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

static void ProgramGmac(EngineeringCommand& command)
{
    const std::string file = FileOf(command, "proggmac", "Flash GMAC MCU Usage");
    RunOnMicrocontroller(command, GmacAction::Program, file);
}

static void SaveGmac(EngineeringCommand& command)
{
    const std::string file = FileOf(command, "savegmac", "Save GMAC APP Usage");
    RunOnMicrocontroller(command, GmacAction::Save, file);
}

static void QueryGmac(EngineeringCommand& command)
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

static void ListGmac(EngineeringCommand& command)
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

CommandFamily GmacCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"proggmac", 1, "<file>", "Program the GMAC microcontroller's application.", 20},
        {"savegmac", 1, "<file>", "Save the GMAC microcontroller's application.", 30},
        {"querygmac", 1, "[file]", "Show the GMAC firmware version of a file or the adapter.", 40},
        {"listgmac", 0, "", "List the GMAC microcontrollers and their adapters.", 100},
    };
    static const ChainRow kChain[] = {
        {{"proggmac"}, 2, {LogCommand, PowerCheck, RefuseOverride, IndexOnly}, "", ProgramGmac},
        {{"savegmac"}, 3, {LogCommand, IndexOnly}, "", SaveGmac},
        {{"querygmac"}, 4, {LogCommand, IndexOnly}, "", QueryGmac},
        {{"listgmac"}, 10, {LogCommand}, "", ListGmac},
    };
    static const UsageRow kUsage[] = {
        {1, 160, "Display MCU version:", " [options] --querygmac"},
        {1, 170, "Update MCU firmware:", " [options] --proggmac"},
        {1, 180, "Save MCU firmware to file:", " [options] --savegmac"},
        {1, 190, "List MCUs:", " [options] --listgmac"},
    };
    return {kWords, kChain, kUsage};
}
