// Machine files: a described machine becomes the program's hardware, and its
// functions are read through the driver, the ACPI tables and the PCI
// accessor exactly as on a real machine.

#include "sim/MachineFile.h"
#include "core/Exceptions.h"
#include "core/Singleton.h"
#include "core/platform/PlatformServices.h"
#include "hw/IAcpiTableAccessor.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/IRomviseDriver.h"
#include "platform/linux/LinuxDriverTransport.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimDisplay.h"
#include "sim/SimMachine.h"
#include "sim/SimPlatform.h"
#include "sim/SimulatedMachine.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace
{
const char* const kMachine = R"({
  "access_cost_ns": 100,
  "acpi": {"revision": 0, "rsdp": "0xE1235", "mcfg": [{"base": "0xE0000000", "end_bus": 15}]},
  "pci": [
    {"address": "00:00.0", "vendor": "0x8086", "device": "0x0001", "class": "0x060000"},
    {"address": "00:01.0", "vendor": "0x10B5", "device": "0x8747", "class": "0x060400",
     "bridge": {"secondary": 1, "subordinate": 3}},
    {"address": "01:08.0", "vendor": "0x10B5", "device": "0x8747", "class": "0x060400",
     "bridge": {"secondary": 2, "subordinate": 2}, "port": 8},
    {"address": "01:10.0", "vendor": "0x10B5", "device": "0x8747", "class": "0x060400",
     "bridge": {"secondary": 3, "subordinate": 3}, "port": 16},
    {"address": "02:00.0", "vendor": "0x10DE", "device": "0x2204", "class": "0x030000",
     "bars": [{"index": 0, "size": "0x1000000", "address": "0xF0000000"}],
     "model": {"kind": "registers", "name": "gpu-a", "values": {"0x0": "0x2204A100"}}},
    {"address": "03:00.0", "vendor": "0x10DE", "device": "0x2206", "class": "0x030000",
     "bars": [{"index": 0, "size": "0x1000000", "address": "0xF2000000"}],
     "model": {"kind": "registers", "name": "gpu-b", "values": {"0x0": "0x2206B100"}}},
    {"address": "03:00.1", "vendor": "0x10DE", "device": "0x1AEF", "class": "0x040300",
     "bars": [{"index": 0, "size": "0x4000", "address": "0xF3000000"}]}
  ]
})";

class MachineFileTest : public ::testing::Test
{
protected:
    ~MachineFileTest() override
    {
        ReleaseSingletons();
        InstallDriverTransport(nullptr);
        unsetenv("ROMVISE_MACHINE");
    }

    std::string Write(const std::string& name, const std::string& text)
    {
        return directory.WriteText(name, text);
    }

    const testkit::CScratchDirectory directory{"romvise-machine"};
};

TEST_F(MachineFileTest, EveryFunctionBehindTheBridgesIsReadAsOnARealMachine)
{
    setenv("ROMVISE_MACHINE", Write("board.json", kMachine).c_str(), 1);
    ASSERT_EQ(InstallMachineFromEnvironment(), EMachineSelection::Simulated);
    ASSERT_TRUE(GetAcpiTableAccessor()->IsMcfgPresent());

    struct Expected
    {
        uint8_t bus, device, function;
        uint32_t ids;
        uint32_t bar0;
        std::optional<uint32_t> register0;
    };
    const Expected functions[] = {
        {0, 0, 0, 0x00018086, 0, std::nullopt},
        {0, 1, 0, 0x874710B5, 0, std::nullopt},
        {1, 8, 0, 0x874710B5, 0, std::nullopt},
        {1, 16, 0, 0x874710B5, 0, std::nullopt},
        {2, 0, 0, 0x220410DE, 0xF0000000, 0x2204A100},
        {3, 0, 0, 0x220610DE, 0xF2000000, 0x2206B100},
        {3, 0, 1, 0x1AEF10DE, 0xF3000000, 0xFFFFFFFF}, // no model answers
    };
    for (const Expected& f : functions)
    {
        CRefPtr<IPCIDeviceAccessor> pci =
            CreatePCIDeviceAccessor(GetRomviseDriver(), 0, f.bus, f.device, f.function, -1, 0, 0);
        EXPECT_EQ(pci->ReadConfig32(0), f.ids) << int(f.bus) << ":" << int(f.device);
        EXPECT_EQ(pci->ReadExtConfig16(2), f.ids >> 16) << int(f.bus) << ":" << int(f.device);
        EXPECT_EQ(pci->ReadConfig32(0x10), f.bar0) << int(f.bus) << ":" << int(f.device);
        if (f.register0)
        {
            EXPECT_EQ(pci->Read32(0), *f.register0) << int(f.bus) << ":" << int(f.device);
        }
    }
    CRefPtr<IPCIDeviceAccessor> bridge =
        CreatePCIDeviceAccessor(GetRomviseDriver(), 0, 1, 16, 0, -1, 0, 0);
    EXPECT_EQ(bridge->ReadExtConfig8(0x40 + 0x0F), 16) << "port number in link capabilities";
    EXPECT_GT(GetClock().NowMicroseconds(), 0u) << "register accesses take virtual time";
}

TEST_F(MachineFileTest, WithoutTheVariableTheLinuxTransportIsChosen)
{
    unsetenv("ROMVISE_MACHINE");
    EXPECT_EQ(InstallMachineFromEnvironment(), EMachineSelection::Linux);
    EXPECT_NE(dynamic_cast<CLinuxDriverTransport*>(GetDriverTransport().get()), nullptr);
}

TEST_F(MachineFileTest, PowerAndRebootBelongToTheMachine)
{
    std::shared_ptr<CSimMachine> machine =
        LoadMachineFile(Write("laptop.json", R"({"power": {"ac": false, "battery_percent": 30}})"));
    PlatformServices before = GetPlatformServices();
    InstallSimulatedMachine(machine);
    PlatformServices& services = GetPlatformServices();
    PowerStatus status;
    ASSERT_TRUE(services.powerSource->ReadPowerStatus(status));
    EXPECT_EQ(status.acLineStatus, PowerStatus::kAcOffline);
    EXPECT_EQ(status.batteryLifePercent, 30);
    EXPECT_EQ(status.batteryFlag, PowerStatus::kBatteryLow);
    services.systemControl->Reboot();
    EXPECT_EQ(machine->RebootCount(), 1u);
    EXPECT_FALSE(services.systemControl->IsWow64());
    // The machine's own display devices, never the real machine's.
    EXPECT_NE(GetSimDisplayDevices(), nullptr);
    EXPECT_NE(services.d3Cold, nullptr);
    InstallPlatformServices(before);

    const PowerStatus desktop = LoadMachineFile(Write("desktop.json", "{}"))->Power();
    EXPECT_EQ(desktop.acLineStatus, PowerStatus::kAcOnline);
    EXPECT_EQ(desktop.batteryFlag, PowerStatus::kNoSystemBattery);
    EXPECT_EQ(BatteryFlagFor(90, true), PowerStatus::kBatteryHigh | PowerStatus::kBatteryCharging);
    EXPECT_EQ(BatteryFlagFor(4, false), PowerStatus::kBatteryLow | PowerStatus::kBatteryCritical);
}

// A later process sees the reboots of earlier ones through the record file.
TEST_F(MachineFileTest, RebootsAreKeptInTheMachinesRecordFile)
{
    const std::string path = Write("machine.json", R"({"reboots_file": "reboots.txt"})");
    for (uint32_t run = 1; run <= 2; ++run)
    {
        std::shared_ptr<CSimMachine> machine = LoadMachineFile(path);
        EXPECT_EQ(machine->RebootCount(), run - 1);
        CreateSimSystemControl(machine)->Reboot();
        EXPECT_EQ(machine->RebootCount(), run);
        std::ifstream record(directory / "reboots.txt");
        const std::string text(std::istreambuf_iterator<char>(record), {});
        EXPECT_EQ(text, std::to_string(run) + "\n");
    }
    directory.WriteText("reboots.txt", "twice");
    EXPECT_THROW(LoadMachineFile(path), user_error);
}

// The programs keep their state (the update records) beside the machine
// file, so each machine's folder holds its own; a machine made in memory
// keeps none.
TEST_F(MachineFileTest, StateIsKeptInTheMachinesFolder)
{
    std::shared_ptr<CSimMachine> machine = LoadMachineFile(Write("machine.json", "{}"));
    EXPECT_EQ(CreateSimSystemControl(machine)->GetStateDirectory(), directory.Path().string());
    EXPECT_EQ(CreateSimSystemControl(std::make_shared<CSimMachine>())->GetStateDirectory(), "");
}

TEST_F(MachineFileTest, MistakesAreReportedWithTheFileName)
{
    struct Case
    {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        {R"({"pci": [{"address": "00:20.0", "vendor": 1, "device": 2}]})",
         "bad PCI address \"00:20.0\""},
        {R"({"pci": [{"address": "00:01.0", "device": 2}]})", "missing \"vendor\""},
        {R"({"pci": [{"address": "00:01.0", "vendor": "0x1X", "device": 2}]})",
         "vendor is not a number: \"0x1X\""},
        {R"({"display_file": 7})", "\"display_file\" must be a file name"},
        {R"({"pci": [{"address": "00:01.0", "vendor": 1, "device": 2,
              "bars": [{"index": 0, "size": 3000}]}]})",
         "PCI function 00:01.0 BAR0: size 0xbb8 is not a power of two of at least 16 bytes"},
        {R"({"pci": [{"address": "00:01.0", "vendor": 1, "device": 2,
              "bars": [{"index": 3, "size": 8, "address": "0xF0000000"}]}]})",
         "PCI function 00:01.0 BAR3: size 0x8 is not a power of two of at least 16 bytes"},
        {R"({"pci": [{"address": "02:1f.7", "vendor": 1, "device": 2,
              "bars": [{"index": 2, "size": "0x4000", "address": "0xF0001000"}]}]})",
         "PCI function 02:1F.7 BAR2: address 0xf0001000 is not aligned to its size 0x4000"},
        {R"({"pci": [{"address": "00:01.0", "vendor": 1, "device": 2,
              "bars": [{"index": 1, "size": "0x1000", "address": "0x100000000"}]}]})",
         "PCI function 00:01.0 BAR1: a 32-bit memory BAR must lie below 4 GiB (address "
         "0x100000000, size 0x1000)"},
        {R"({"pci": [{"address": "00:01.0", "vendor": 1, "device": 2,
              "bars": [{"index": 0, "size": "0x10", "type": "io", "address": "0xE008"}]}]})",
         "PCI function 00:01.0 BAR0: address 0xe008 is not aligned to its size 0x10"},
        {R"({"devices": [{"kind": "flux-capacitor"}]})",
         "unknown device model kind \"flux-capacitor\""},
        {R"({"devices": [{"kind": "registers"}]})",
         "a \"registers\" model belongs inside a PCI function"},
        {R"({"acpi": {"rsdp": "0xFFFF0"}})", "rsdp is out of range: 1048560"},
        {R"({"certificate_root": "root.salted"})", "\"certificate_root\" must be an object"},
        {R"({"certificate_root": {"container": "root.salted"}})",
         "\"certificate_root\" needs \"pass_phrase\" as a file name"},
    };
    for (const Case& c : cases)
    {
        const std::string path = Write("bad.json", c.text);
        try
        {
            LoadMachineFile(path);
            ADD_FAILURE() << "loaded: " << c.text;
        }
        catch (const std::runtime_error& error)
        {
            EXPECT_EQ(std::string(error.what()), "Machine file " + path + ": " + c.reason);
        }
    }
    EXPECT_THROW(LoadMachineFile(Write("bad.json", "{ not json")), std::runtime_error);
    EXPECT_THROW(LoadMachineFile((directory / "absent.json").string()), std::runtime_error);
}

// The root a machine trusts in place of the built-in one comes from the
// files its machine file names, and from nowhere else.
TEST_F(MachineFileTest, TheMachineFileNamesTheRootItsImagesAreSignedUnder)
{
    const std::vector<uint8_t> container = {'S', 'a', 'l', 't', 'e', 'd', '_', '_', 1, 2};
    const std::vector<uint8_t> passPhrase = {7, 8, 9};
    directory.WriteBytes("root.salted", container);
    directory.WriteBytes("root.pass", passPhrase);
    const std::shared_ptr<CSimMachine> named = LoadMachineFile(Write(
        "named.json",
        R"({"certificate_root": {"container": "root.salted", "pass_phrase": "root.pass"}})"));
    ASSERT_TRUE(named->TrustedRoot());
    EXPECT_EQ(named->TrustedRoot()->container, container);
    EXPECT_EQ(named->TrustedRoot()->passPhrase, passPhrase);
    EXPECT_FALSE(LoadMachineFile(Write("plain.json", "{}"))->TrustedRoot());

    // The programs ask the platform: the named root on that machine, the
    // built-in one on a machine naming none and on Linux.
    const PlatformServices before = GetPlatformServices();
    InstallSimulatedMachine(named);
    EXPECT_EQ(GetTrustedRoot().container, container);
    EXPECT_EQ(GetTrustedRoot().passPhrase, passPhrase);
    InstallSimulatedMachine(LoadMachineFile(Write("plain.json", "{}")));
    const std::vector<uint8_t> builtIn(BuiltInRootContainer().begin(), BuiltInRootContainer().end());
    EXPECT_EQ(GetTrustedRoot().container, builtIn);
    InstallPlatformServices(MakeLinuxPlatformServices());
    EXPECT_EQ(GetTrustedRoot().container, builtIn);
    InstallPlatformServices(before);

    const std::string absent = Write(
        "absent.json",
        R"({"certificate_root": {"container": "none.salted", "pass_phrase": "root.pass"}})");
    EXPECT_EQ(testkit::ErrorOf([&] { LoadMachineFile(absent); }),
              "Machine file " + absent + ": cannot open \"container\" " +
                  (directory.Path() / "none.salted").string());
}

TEST_F(MachineFileTest, SoundBarsLoad)
{
    const std::string path = Write("bars.json", R"({"pci": [
        {"address": "00:01.0", "vendor": 1, "device": 2,
         "bars": [{"index": 0, "size": "0x100000", "address": "0xFFF00000"},
                  {"index": 2, "size": "0x10000000", "type": "mem64",
                   "address": "0x2F0000000"},
                  {"index": 4, "size": "0x10", "type": "io", "address": "0xE010"},
                  {"index": 5, "size": "0x1000"}]}]})");
    const std::shared_ptr<CSimMachine> machine = LoadMachineFile(path);
    CSimPciFunction* function = machine->FindFunction(0, 1, 0);
    ASSERT_NE(function, nullptr);
    EXPECT_EQ(function->BarAddress(0), 0xFFF00000u);
    EXPECT_EQ(function->BarAddress(2), 0x2F0000000u);
    EXPECT_EQ(function->Bar(5).size, 0x1000u);
}

// A model kind of its own, as a later device model joins: registered with a
// reader that takes its section, attaches to its function and resolves its
// files next to the machine file.
class CScratchModel : public ISimDevice
{
public:
    CScratchModel(CSimPciFunction& function, std::string file)
        : m_function(function), file(std::move(file))
    {
    }
    std::string Name() const override { return "scratch"; }
    void Attach(CSimMachine&) override { m_function.AttachModel(this); }
    std::optional<uint32_t> ReadConfig(CSimPciFunction&, uint32_t offset, unsigned) override
    {
        return offset == 0x40 ? std::optional<uint32_t>(++reads) : std::nullopt;
    }

    CSimPciFunction& m_function;
    std::string file;
    uint32_t reads = 0;
};

TEST_F(MachineFileTest, ModelKindsJoinThroughTheRegistry)
{
    CSimModelRegistry registry;
    registry.Register("scratch",
                      [](const nlohmann::json& section, SimLoadContext& context)
                      {
                          return std::make_shared<CScratchModel>(
                              *context.function, context.ResolvePath(section.at("file")));
                      });
    const std::string path = Write("scratch.json", R"({"pci": [{"address": "00:03.0",
        "vendor": 1, "device": 2, "model": {"kind": "scratch", "file": "chip.bin"}}]})");
    std::shared_ptr<CSimMachine> machine = LoadMachineFile(path, registry);
    auto* model = dynamic_cast<CScratchModel*>(machine->FindDevice("scratch"));
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->file, (directory / "chip.bin").string());
    EXPECT_EQ(machine->ReadConfig(0, 3, 0, 0x40, 4), 1u);
    EXPECT_EQ(machine->ReadConfig(0, 3, 0, 0x40, 4), 2u);
    EXPECT_EQ(machine->ReadConfig(0, 3, 0, 0x00, 4), 0x00020001u);
}
} // namespace
