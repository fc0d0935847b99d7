#include "FlasherMachine.h"

#include "core/CrossPlatform.h"
#include "core/TextHelpers.h"
#include "hw/IRomviseDriver.h"
#include "hw/adapter/EnumerateAdapters.h"
#include "sim/MachineFile.h"
#include "sim/SimDisplay.h"

#include <cstdio>

namespace
{
const OptionDescriptor kOptions[] = {
    {"offswdriver", 'S', 0, "", ""}, {"auto", ' ', 0, "", ""},      {"relaxdevid", ' ', 0, "", ""},
    {"altdevid", ' ', 1, "", ""},    {"ifronly", ' ', 0, "", ""},   {"verify", ' ', 0, "", ""},
    {"noretries", ' ', 0, "", ""},   {"nokestrix", ' ', 0, "", ""}, {"mergevarnex", ' ', 0, "", ""},
    {"romout", ' ', 1, "", ""},      {"romin", ' ', 1, "", ""},
};
} // namespace

void SetCommandLine(const std::vector<std::string>& options)
{
    std::vector<std::string> words{"romvise"};
    for (const std::string& option : options)
    {
        words.push_back("--" + option);
    }
    std::vector<char*> argv;
    for (std::string& word : words)
    {
        argv.push_back(word.data());
    }
    ICommandLine::Create(static_cast<int>(std::size(kOptions)), kOptions,
                         static_cast<int>(argv.size()), argv.data());
}

EngineSettings MachineSettings()
{
    EngineSettings settings = EngineSettings::FromCommandLine(*ICommandLine::GetInstance());
    settings.noKestrix = true;
    return settings;
}

std::string FlasherMachineJson(const std::vector<SimGpuSetup>& gpus)
{
    std::string pci;
    for (size_t i = 0; i < gpus.size(); ++i)
    {
        const std::string bus = std::to_string(i + 1);
        char address[32];
        std::snprintf(address, sizeof address, "%02zx:00.0", i + 1);
        char port[32];
        std::snprintf(port, sizeof port, "00:%02zx.0", i + 1);
        const SimGpuSetup& gpu = gpus[i];
        pci +=
            std::string(i == 0 ? "" : ",\n") + R"({"address": ")" + port +
            R"(", "vendor": "0x8086", "device": "0x7A38", "class": "0x060400", "bridge": {"secondary": )" +
            bus + R"(, "subordinate": )" + bus + "}},\n" + R"({"address": ")" + address +
            R"(", "vendor": "0x7E2B", "device": ")" + ToHexString(gpu.deviceId, 1) +
            R"(", "class": "0x030000", "revision": "0xA1", "subsystem": {"vendor": "0x7E2B", "device": "0x0001"}, "bars": [{"index": 0, "size": "0x1000000", "address": ")" +
            ToHexString(0xC0000000u + static_cast<uint32_t>(i) * 0x2000000u, 1) +
            R"("}], "model": {"kind": "gpu", "name": "gpu)" + std::to_string(i) +
            R"(", "device_kind": )" + std::to_string(gpu.deviceKind) + R"(, "straps": ")" +
            ToHexString(gpu.straps, 1) + R"(", "eeprom": {"kind": "spi_flash", "part": ")" +
            gpu.part + R"(", "file": "chip)" + std::to_string(i) + R"(.bin")" +
            (gpu.firmware.empty() ? ""
                                  : R"(, "image": "firmware)" + std::to_string(i) + R"(.rom")") +
            "}}}";
    }
    return R"({"acpi": {"mcfg": [{"base": "0xE0000000", "start_bus": 0, "end_bus": 255}]},
"pci": [)" +
           pci + "]}";
}

CFlasherMachine::CFlasherMachine(const std::vector<SimGpuSetup>& gpus,
                                 const std::vector<std::string>& options)
{
    for (size_t i = 0; i < gpus.size(); ++i)
    {
        if (!gpus[i].firmware.empty())
        {
            folder.WriteBytes("firmware" + std::to_string(i) + ".rom", gpus[i].firmware);
        }
    }
    scope = std::make_unique<CSimHardwareScope>(
        LoadMachineFile(folder.WriteText("machine.json", FlasherMachineJson(gpus))));
    console = InstallTypedConsole();
    SetCommandLine(options);
    log.AddSink(&logText, 1, 5);
    ui = CreateUserInterface(false, false, false, uiOut, uiErr);
    bus = IPCIBus::Create();
    database = GetEEPROMDatabase();
    DisplayAdapterList found;
    EnumerateAdapters(found, bus, CRefPtr<IDisplayAdapterDatabase>(CreateDisplayAdapterDatabase()),
                      {}, {}, &log);
    adapters = found;
    GetCrossPlatform()->SetAdapterCount(static_cast<int32_t>(adapters.size()));
    // The direct EEPROM classes serve every kind here: the microcontroller
    // path is not the subject of these tests.
    flasher = new CFlasherImpl(MachineSettings());
    logText.str("");
}

CFlasherMachine::~CFlasherMachine()
{
    GetCrossPlatform()->SetDisplayDriverHook(nullptr);
    GetCrossPlatform()->SetFlashContext(nullptr, nullptr, nullptr);
    GetCrossPlatform()->SetActiveAdapter(nullptr);
    adapters.clear();
}

CRefPtr<IDisplayAdapter> CFlasherMachine::AdapterWithFlagA(size_t index, uint8_t flagA) const
{
    const uint16_t deviceId = Adapter(index)->GetDeviceID();
    for (AdapterCatalogueRecord record : GetAdapterCatalogueRecords())
    {
        if (record.vendorId == kKorvanVendorId && record.deviceId == deviceId)
        {
            record.flagA = flagA;
            const uint8_t bus = static_cast<uint8_t>(index + 1);
            CRefPtr<IDisplayAdapter> adapter = CreateDisplayAdapter(
                CDisplayAdapterType(record), Adapter(index)->GetSubsystemVendorID(),
                Adapter(index)->GetSubsystemDeviceID(),
                CreatePCIDeviceAccessor(GetRomviseDriver(), 0, bus, 0, 0, -1, 0, 0));
            return adapter;
        }
    }
    throw std::runtime_error("no catalogue entry for the adapter");
}

CSimGpu& CFlasherMachine::Gpu(size_t index) const
{
    return *dynamic_cast<CSimGpu*>(const_cast<CFlasherMachine*>(this)->scope->Machine().FindDevice(
        "gpu" + std::to_string(index)));
}

CSimSpiFlash& CFlasherMachine::Chip(size_t index) const
{
    return *dynamic_cast<CSimSpiFlash*>(Gpu(index).Chip());
}

std::vector<uint8_t> CFlasherMachine::ChipBytes(size_t index) const
{
    CSimChipStore& contents = Chip(index).Contents();
    return contents.Read(0, contents.Size());
}

bool CFlasherMachine::DriverBound(size_t index) const
{
    return GetSimDisplayDevices()->IsDriverBound(
        CSimDisplayDevices::InstanceId(static_cast<uint8_t>(index + 1), 0, 0));
}

CRefPtr<IEEPROM> CFlasherMachine::OpenEEPROM(size_t index) const
{
    return CreateEEPROM(Adapter(index), 3, false, true);
}
