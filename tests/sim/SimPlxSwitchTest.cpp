// The simulated PLX switch: its EEPROM controller (busy polls, write enable,
// protection, the configuration-space path) and its machine-file section.

#include "hw/catalogue/AdapterCatalogue.h"
#include "sim/MachineFile.h"
#include "sim/SimMachine.h"
#include "sim/SimPlxSwitch.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using testkit::ErrorOf;

namespace
{
constexpr uint64_t kPlxBar = 0xD0000000;
constexpr uint32_t kStart = 1u << 18;

class SimPlxSwitchTest : public ::testing::Test
{
protected:
    CSimPlxSwitch& Add(const SimPlxConfig& config)
    {
        CSimPciFunction& function = machine->AddFunction(0, 1, 0);
        function.SetIds(kPlxVendorId, 0x8747, 0x060400, config.revision);
        function.MakeBridge(0, 1, 1);
        function.Store(0x04, 2, 0x6);
        function.SetBar(0, SimBar{0x20000, ESimBarKind::Memory32, false, kPlxBar});
        auto model = std::make_shared<CSimPlxSwitch>("plx", function, config);
        machine->AddDevice(model);
        return *model;
    }

    uint32_t Control() { return machine->ReadMemory(kPlxBar + 0x260, 4); }
    void Command(uint32_t command, uint32_t index)
    {
        machine->WriteMemory(kPlxBar + 0x260, 4, (index & 0x1FFF) | command << 13 | kStart);
    }
    // Polls until idle; the number of polls that still read busy.
    unsigned Settle()
    {
        unsigned busy = 0;
        while ((Control() & kStart) != 0 && busy < 100)
        {
            ++busy;
        }
        return busy;
    }

    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
};

TEST_F(SimPlxSwitchTest, StaysBusyForTheSetNumberOfPollsAndDropsCommandsMeanwhile)
{
    SimPlxConfig config;
    config.busyPolls = 3;
    CSimPlxSwitch& plx = Add(config);
    const std::array<uint8_t, 4> bytes{0x11, 0x22, 0x33, 0x44};
    plx.Eeprom().Write(8, bytes);

    Command(3, 2);
    Command(3, 0); // dropped: the controller is busy
    EXPECT_EQ(Settle(), 3u);
    EXPECT_EQ(machine->ReadMemory(kPlxBar + 0x264, 4), 0x44332211u);
    EXPECT_EQ(machine->Counters().Get("plx commands while busy"), 1u);
    EXPECT_EQ(machine->Counters().Get("plx eeprom reads"), 1u);
}

TEST_F(SimPlxSwitchTest, WritesNeedWriteEnableAndRespectBlockProtection)
{
    SimPlxConfig config;
    config.busyPolls = 0;
    CSimPlxSwitch& plx = Add(config);
    const uint64_t data = kPlxBar + 0x264;

    machine->WriteMemory(data, 4, 0xDEADBEEF);
    Command(2, 1); // no write enable: ignored
    EXPECT_EQ(plx.Eeprom().Read(4, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    Command(6, 0);
    EXPECT_EQ(plx.Status(), 0x02);
    Command(2, 1);
    EXPECT_EQ(plx.Eeprom().Read(4, 4), (std::vector<uint8_t>{0xEF, 0xBE, 0xAD, 0xDE}));
    EXPECT_EQ(plx.Status(), 0x00);

    // Protecting the upper quarter refuses dword 0x300 and keeps dword 1.
    machine->WriteMemory(data, 4, 0x04);
    Command(6, 0);
    Command(1, 0);
    Command(5, 0);
    EXPECT_EQ(Control() >> 24, 0x04u);
    machine->WriteMemory(data, 4, 0x12345678);
    Command(6, 0);
    Command(2, 0x300);
    EXPECT_EQ(plx.Eeprom().Read(0xC00, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    Command(6, 0);
    Command(2, 0x2FF);
    EXPECT_EQ(plx.Eeprom().Read(0xBFC, 4), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
}

TEST_F(SimPlxSwitchTest, ConfigurationSpacePathOpensWithBit16OnLaterRevisions)
{
    struct Case
    {
        uint8_t revision;
        bool opens;
    };
    for (const Case c : {Case{0xC9, false}, Case{0xCA, true}})
    {
        machine = MakeMachineWithMcfg();
        SimPlxConfig config;
        config.revision = c.revision;
        config.busyPolls = 0;
        CSimPlxSwitch& plx = Add(config);
        const std::array<uint8_t, 4> bytes{1, 2, 3, 4};
        plx.Eeprom().Write(0, bytes);
        EXPECT_EQ(machine->ReadConfig(0, 1, 0, 0xB7C, 4), c.revision);

        machine->WriteConfig(0, 1, 0, 0x260, 4, 3 << 13 | kStart);
        EXPECT_EQ(machine->ReadConfig(0, 1, 0, 0x264, 4), 0u) << int{c.revision};
        machine->WriteMemory(kPlxBar + 0x760, 4, 1u << 16);
        EXPECT_EQ(plx.IsConfigPathOpen(), c.opens);
        machine->WriteConfig(0, 1, 0, 0x260, 4, 3 << 13 | kStart);
        EXPECT_EQ(machine->ReadConfig(0, 1, 0, 0x264, 4), c.opens ? 0x04030201u : 0u)
            << int{c.revision};
    }
}

TEST(SimPlxSwitchFile, EepromContentsComeFromTheFileAndGoBackToIt)
{
    const testkit::CScratchDirectory directory{"romvise-plx"};
    directory.WriteText("plx.bin", std::string("\x01\x02\x03\x04", 4));
    const nlohmann::json description = nlohmann::json::parse(R"({
      "pci": [{"address": "00:01.0", "vendor": "0x10B5", "device": "0x8747",
               "class": "0x060400", "revision": "0xCA", "command": "0x6",
               "bridge": {"secondary": 1, "subordinate": 1},
               "bars": [{"index": 0, "size": "0x20000", "address": "0xD0000000"}],
               "model": {"kind": "plx8747", "name": "plx", "busy_polls": 0,
                         "eeprom": {"size": "0x1000", "file": "plx.eeprom",
                                    "image": "plx.bin"}}}]
    })");
    {
        auto machine = LoadMachineJson(description, directory);
        EXPECT_EQ(machine->ReadConfig(0, 1, 0, 0xB7C, 4), 0xCAu);
        machine->WriteMemory(kPlxBar + 0x260, 4, 3 << 13 | kStart);
        EXPECT_EQ(machine->ReadMemory(kPlxBar + 0x264, 4), 0x04030201u);
        machine->WriteMemory(kPlxBar + 0x264, 4, 0xA1B2C3D4);
        machine->WriteMemory(kPlxBar + 0x260, 4, 0x00A4C000);
        machine->WriteMemory(kPlxBar + 0x260, 4, 2 << 13 | kStart | 1);
    }
    std::ifstream file(directory / "plx.eeprom", std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(file),
                              std::istreambuf_iterator<char>()};
    ASSERT_EQ(written.size(), 0x1000u);
    EXPECT_EQ(written.substr(0, 8), std::string("\x01\x02\x03\x04\xD4\xC3\xB2\xA1", 8));

    nlohmann::json wrong = description;
    wrong["pci"][0]["model"]["eeprom"] = {{"size", 6}};
    EXPECT_EQ(ErrorOf([&] { LoadMachineJson(wrong, directory); }),
              "the PLX switch's \"eeprom\" holds whole dwords, at most 64 KiB");
}
} // namespace
