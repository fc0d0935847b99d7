// The simulated ZX22 bridge: its window in a GPU's BAR0 and its relocation,
// its EEPROM lines behind the debug switch, and its machine-file section.

#include "sim/SimZX22Bridge.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "sim/MachineFile.h"
#include "sim/SimGpu.h"
#include "sim/SimMachine.h"
#include "testkit/ErrorOf.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

using testkit::ErrorOf;

namespace
{
constexpr uint64_t kGpuBar = 0xF1000000;

// A chip that records the lines it is driven with.
class CRecordingChip : public ISimEepromChip
{
public:
    std::string Name() const override { return "recording"; }
    void SetLines(bool selected, bool clock, bool data) override
    {
        lines.push_back({selected, clock, data});
    }
    bool DataOut() const override { return dataOut; }
    CSimChipStore& Contents() override { return contents; }

    struct Lines
    {
        bool selected;
        bool clock;
        bool data;
        bool operator==(const Lines&) const = default;
    };
    std::vector<Lines> lines;
    bool dataOut = false;
    CSimChipStore contents{0x1000};
};

// ZX22 at 00:01.0 (buses 1-2), a port at 01:00.0, a GPU at 02:00.0 whose
// BAR0 shows the bridge at window 7.
const char* const kZX22Machine = R"({
  "acpi": {"mcfg": [{"base": "0xE0000000", "end_bus": 15}]},
  "pci": [
    {"address": "00:01.0", "vendor": "0x7E2B", "device": 0, "class": "0x060400",
     "revision": "0xA0", "bridge": {"secondary": 1, "subordinate": 2}},
    {"address": "01:00.0", "vendor": "0x1B36", "device": "0x000C", "class": "0x060400",
     "bridge": {"secondary": 2, "subordinate": 2}},
    {"address": "02:00.0", "vendor": "0x7E2B", "device": "0x2204", "class": "0x030000",
     "command": "0x6", "bars": [{"index": 0, "size": "0x1000000", "address": "0xF1000000"}],
     "model": {"kind": "gpu", "name": "gpu0", "device_kind": 6}}
  ],
  "devices": [
    {"kind": "zx22", "name": "zx22", "function": "00:01.0", "gpu": "gpu0", "window": 7,
     "straps": "0x80", "placement": "0x3FFF",
     "eeprom": {"kind": "plain", "size": "0x1000", "fill": "0x5A"}}
  ]
})";

nlohmann::json ZX22Machine()
{
    nlohmann::json description = nlohmann::json::parse(kZX22Machine);
    description["pci"][0]["device"] = GetZX22DeviceIdBase() + 2;
    return description;
}

TEST(SimZX22Bridge, ShowsInItsWindowAndMovesWhenThePlacementIsWritten)
{
    auto machine = LoadMachineJson(ZX22Machine(), ".");
    auto* bridge = dynamic_cast<CSimZX22Bridge*>(machine->FindDevice("zx22"));
    ASSERT_NE(bridge, nullptr);
    const uint32_t ids = static_cast<uint32_t>(GetZX22DeviceIdBase() + 2) << 16 | 0x7E2B;
    const uint64_t window7 = kGpuBar + 0x1C000;
    EXPECT_EQ(machine->ReadMemory(window7, 4), ids);
    EXPECT_EQ(machine->ReadMemory(window7 + 0x18, 4), 0x00020100u);
    EXPECT_EQ(machine->ReadMemory(window7 + 0xB00, 4), 0x80u);
    EXPECT_EQ(machine->ReadMemory(window7 + 0x600, 4), 0xF101FFFFu);
    EXPECT_EQ(machine->ReadMemory(window7 + 0x1000, 4), 0x5A5A5A5Au);
    EXPECT_EQ(machine->ReadMemory(window7 + 0x1FFF, 1), 0x5Au);
    EXPECT_EQ(machine->ReadMemory(kGpuBar + 0x18000, 4), 0u);

    // The identification mirrors configuration space and ignores writes.
    machine->WriteMemory(window7, 4, 0);
    EXPECT_EQ(machine->ReadMemory(window7, 4), ids);

    machine->WriteMemory(window7 + 0x604, 4, 0x18000);
    EXPECT_EQ(bridge->WindowIndex(), 7u);
    machine->WriteMemory(window7 + 0x600, 4, 0xF1018000 | 0x3BFF);
    EXPECT_EQ(bridge->WindowIndex(), 6u);
    EXPECT_EQ(machine->ReadMemory(kGpuBar + 0x18000, 4), ids);
    EXPECT_EQ(machine->ReadMemory(kGpuBar + 0x18604, 4), 0x18000u);
    EXPECT_EQ(machine->ReadMemory(window7, 4), 0u);
}

TEST(SimZX22Bridge, EepromLinesFollowTheControlRegisterOnlyWithTheDebugSwitchOff)
{
    auto machine = MakeMachineWithMcfg();
    CSimPciFunction& function = machine->AddFunction(0, 1, 0);
    function.SetIds(kKorvanVendorId, GetZX22DeviceIdBase(), 0x060400, 0xA0);
    function.MakeBridge(0, 1, 1);
    CSimPciFunction& gpuFunction =
        AddTestFunction(*machine, 1, 0, 0, kKorvanVendorId, 0x2204, kGpuBar, CSimGpu::kBarSize);
    gpuFunction.Store(0x04, 2, 0x6);
    auto gpu = std::make_shared<CSimGpu>("gpu", gpuFunction, SimGpuConfigForKind(6));
    machine->AddDevice(gpu);
    auto bridge = std::make_shared<CSimZX22Bridge>("zx22", function, *gpu, SimZX22Config{});
    auto chip = std::make_shared<CRecordingChip>();
    bridge->AttachChip(chip);
    machine->AddDevice(bridge);
    const uint64_t window = kGpuBar + 0x18000;

    machine->WriteMemory(window + 0xB04, 4, 0x5); // software control, clock high
    EXPECT_TRUE(chip->lines.empty());
    machine->WriteMemory(window + 0x210, 4, 0);
    machine->WriteMemory(window + 0xB04, 4, 0x9); // selected, data high
    machine->WriteMemory(window + 0xB04, 4, 0x7); // deselected, clock high
    EXPECT_EQ(chip->lines,
              (std::vector<CRecordingChip::Lines>{{true, false, true}, {false, true, false}}));
    EXPECT_EQ(machine->ReadMemory(window + 0xB04, 4), 0x7u);
    chip->dataOut = true;
    EXPECT_EQ(machine->ReadMemory(window + 0xB04, 4), 0x17u);
    // A byte through the EEPROM window reaches the chip's contents.
    chip->contents.Fill(0x10, 1, 0xC3);
    EXPECT_EQ(machine->ReadMemory(window + 0x1010, 1), 0xC3u);
}

TEST(SimZX22Bridge, MachineFileMistakesAreNamed)
{
    struct Case
    {
        const char* key;
        nlohmann::json value;
        std::string reason;
    };
    const Case cases[] = {
        {"gpu", "gpu9", "\"gpu\" \"gpu9\" names no GPU model declared before"},
        {"function", "05:00.0", "\"function\" 05:00.0 is not declared"},
        {"function", "zz", "\"function\" must be \"BB:DD.F\""},
        {"window", 0, "\"window\" lies outside the GPU's BAR0"},
        {"window", 0x400, "\"window\" lies outside the GPU's BAR0"},
    };
    for (const Case& c : cases)
    {
        nlohmann::json description = ZX22Machine();
        description["devices"][0][c.key] = c.value;
        EXPECT_EQ(ErrorOf([&] { LoadMachineJson(description, "."); }), c.reason) << c.key;
    }
}
} // namespace
