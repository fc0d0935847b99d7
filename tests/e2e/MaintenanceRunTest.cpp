// romvise as a process running the adapter maintenance commands: erasing the
// EEPROM and its refusals, values refused before any adapter is chosen, the
// typed confirmation of the EEPROM tests, preservation tuning on an older
// GPU, the Kestrix microcode commands and the GMAC commands that need no
// microcontroller.

#include "ProgramRun.h"

#include "testkit/machine/AdapterMachine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
enum class MaintMachine
{
    Standard,   // one GPU 0800 on AC power
    LowBattery, // the same on a battery charged 20 percent
    Kestrix,    // one kind-12 GPU with its Kestrix engines and ECID
    None,       // no GPU at all
};

enum class MaintChipAfter
{
    AsMade,
    Erased,
    Any,
};

struct MaintenanceRow
{
    MaintMachine machine;
    const char* arguments;
    const char* keys;
    int exitCode;
    std::vector<std::string> shown;
    std::vector<std::string> notShown;
    MaintChipAfter chip = MaintChipAfter::AsMade;
};

nlohmann::json KestrixMachine()
{
    nlohmann::json ecid = nlohmann::json::array();
    for (int i = 1; i <= 32; ++i)
    {
        ecid.push_back(i);
    }
    return {
        {"acpi", {{"mcfg", {{{"base", "0xE0000000"}, {"start_bus", 0}, {"end_bus", 255}}}}}},
        {"pci",
         {{{"address", "00:01.0"},
           {"vendor", "0x8086"},
           {"device", "0x7A38"},
           {"class", "0x060400"},
           {"bridge", {{"secondary", 1}, {"subordinate", 1}}}},
          {{"address", "01:00.0"},
           {"vendor", "0x7E2B"},
           {"device", "0x0C00"},
           {"class", "0x030000"},
           {"revision", "0xA1"},
           {"subsystem", {{"vendor", "0x7E2B"}, {"device", "0x0C10"}}},
           {"bars", {{{"index", 0}, {"size", "0x1000000"}, {"address", "0xC0000000"}}}},
           {"model",
            {{"kind", "gpu"},
             {"name", "dolvik1"},
             {"device_kind", 12},
             {"eeprom", {{"kind", "spi_flash"}, {"part", "C2/2013"}, {"file", "chip0.bin"}}}}}}}},
        {"devices",
         {{{"kind", "kestrix"}, {"gpu", "dolvik1"}, {"pending_polls", 3}, {"ecid", ecid}}}},
    };
}

void PrepareMaintMachine(CProgramFolder& folder, MaintMachine machine, const std::vector<uint8_t>& firmware)
{
    switch (machine)
    {
    case MaintMachine::Standard:
        folder.MakeMachine({firmware});
        break;
    case MaintMachine::LowBattery:
        folder.MakeMachine({firmware}, "--battery 20");
        break;
    case MaintMachine::Kestrix:
        folder.WriteFile("chip0.bin", firmware);
        folder.UseMachine(KestrixMachine());
        break;
    case MaintMachine::None:
        folder.MakeMachine({});
        break;
    }
}
} // namespace

TEST(MaintenanceRun, CommandTable)
{
    const std::vector<uint8_t> firmware = MakeFirmware();
    const std::vector<uint8_t> kestrixFirmware = MakeFirmware({.deviceId = 0x0C00});
    const std::string kLowPower = "ERROR: EEPROM updating prevented due to no AC power detected "
                                  "and battery level below 35%";
    const std::vector<MaintenanceRow> rows = {
        {MaintMachine::Standard,
         "--erasefull --auto --noconfirm",
         "",
         0,
         {"EEPROM erase completed."},
         {},
         MaintChipAfter::Erased},
        {MaintMachine::Standard, "--erasefull", "n", 2, {"ERROR: Erase aborted"}, {}},
        {MaintMachine::Standard,
         "--erasefull --override=1",
         "",
         2,
         {"ERROR: EEPROM override not allowed for write operations"},
         {}},
        {MaintMachine::LowBattery, "--erasefull --auto --noconfirm", "", 2, {kLowPower}, {}},
        {MaintMachine::LowBattery, "--protectoff", "", 2, {kLowPower}, {}},
        {MaintMachine::Standard,
         "--straps=1,2,3",
         "",
         2,
         {"ERROR: Not all four strap values specified"},
         {}},
        {MaintMachine::Standard,
         "--straps=1,2,3,x",
         "",
         2,
         {"ERROR: Invalid value \"x\" for --straps."},
         {}},
        {MaintMachine::Standard,
         "--guidsource=Main",
         "",
         2,
         {"ERROR: Invalid GUID source specified, must be either main or dedicated."},
         {}},
        {MaintMachine::Standard,
         "--test=0,0",
         "yes\n",
         2,
         {"WARNING: This test can shorten the life of your EEPROM device.",
          "ERROR: Flash test aborted"},
         {}},
        {MaintMachine::Standard,
         "--readtest=1,0",
         "YES\n",
         0,
         {"WARNING: This test is only meant for use", "WARNING: This test can completely erase",
          "WARNING: This test can make the GPU board unusable"},
         {"shorten the life", "ERROR"},
         MaintChipAfter::Any},
        {MaintMachine::Standard,
         "--presregtune=88=1",
         "",
         2,
         {"ERROR: Preservation tuning is only supported on Dolvik and Estrel GPUs. Update "
          "aborted."},
         {}},
        {MaintMachine::Kestrix,
         "--ecid",
         "",
         0,
         {"ECID ID( SHA2 Hash ):\n"
          "0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20\n"},
         {}},
        {MaintMachine::Kestrix,
         "--loadkestrix",
         "",
         2,
         {"ERROR: loadkestrix command failed,  you must specify a Kestrix uCode image, using "
          "\"pmu\" or \"krdec\" "},
         {},
         MaintChipAfter::Any},
        {MaintMachine::Kestrix,
         "--loadkestrix --pmu=none.bin",
         "",
         2,
         {"ERROR: PMU:  KESTRIX_IMAGE_FILE_NOT_FOUND"},
         {},
         MaintChipAfter::Any},
        {MaintMachine::None,
         "--querygmac=app.rom",
         "",
         0,
         {"KRVN.S100.B1.07"},
         {"ERROR"},
         MaintChipAfter::Any},
        {MaintMachine::None,
         "--proggmac",
         "",
         2,
         {"ERROR: No filename specified.\n  Flash GMAC MCU Usage: romvise_eng --proggmac "
          "<filename>\n"},
         {},
         MaintChipAfter::Any},
        {MaintMachine::Standard,
         "--listgmac",
         "",
         0,
         {"I2C Device Table does not contain a GMAC entry.",
          "Completed list of GMAC MCU device(s) successfully."},
         {}},
    };
    for (const MaintenanceRow& row : rows)
    {
        SCOPED_TRACE(row.arguments);
        CProgramFolder folder;
        const std::vector<uint8_t>& made =
            row.machine == MaintMachine::Kestrix ? kestrixFirmware : firmware;
        PrepareMaintMachine(folder, row.machine, made);
        folder.WriteFile("app.rom", MakeMcuFirmware(0x7E2B, 0x0800, 3000));
        const ProgramResult run = folder.Romvise(row.arguments, row.keys);
        const std::string all = run.out + run.err;
        EXPECT_EQ(run.exitCode, row.exitCode) << all;
        for (const std::string& text : row.shown)
        {
            EXPECT_TRUE(Contains(all, text)) << "missing: " << text << "\n" << all;
        }
        for (const std::string& text : row.notShown)
        {
            EXPECT_FALSE(Contains(all, text)) << "unexpected: " << text;
        }
        if (row.chip == MaintChipAfter::AsMade)
        {
            EXPECT_TRUE(ChipHolds(folder.Chip(0), made));
        }
        if (row.chip == MaintChipAfter::Erased)
        {
            EXPECT_TRUE(ChipHolds(folder.Chip(0), {}));
        }
    }
}
