// romvise as a process running the adapter maintenance commands: erasing the
// EEPROM and its refusals, the power and override refusals of every writer,
// values refused before any adapter is chosen, the typed confirmation of the
// EEPROM tests, preservation tuning on an older GPU, the Kestrix microcode
// commands, and the GMAC commands with and without a board microcontroller.

#include "ProgramRun.h"

#include "testkit/machine/AdapterMachine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace
{
enum class MaintMachine
{
    Standard,   // one GPU 0800 on AC power
    TwoGpus,    // two GPUs 0800 on AC power: choosing one would ask
    LowBattery, // two GPUs 0800 on a battery charged 20 percent
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
    std::string arguments;
    std::string keys;
    int exitCode;
    std::vector<std::string> shown;
    std::vector<std::string> notShown = {};
    MaintChipAfter chip = MaintChipAfter::AsMade;
};

const std::string kLowPower = "ERROR: EEPROM updating prevented due to no AC power detected and "
                              "battery level below 35%";
// What a run shows when it goes on to choose among several adapters.
const std::vector<std::string> kNoAdapterChosen = {"Select a display adapter",
                                                   "Select a GMAC device"};

nlohmann::json KestrixMachine()
{
    nlohmann::json ecid = nlohmann::json::array();
    for (int i = 1; i <= 32; ++i)
    {
        ecid.push_back(i);
    }
    return Dolvik1Machine(
        nlohmann::json::object(),
        {{{"kind", "kestrix"}, {"gpu", "dolvik1"}, {"pending_polls", 3}, {"ecid", ecid}}});
}

std::vector<uint8_t> FirmwareOf(MaintMachine machine)
{
    return MakeFirmware(machine == MaintMachine::Kestrix ? FirmwareSpec{.deviceId = kDolvik1Id}
                                                         : FirmwareSpec{});
}

void PrepareMaintMachine(CProgramFolder& folder, MaintMachine machine,
                         const std::vector<uint8_t>& firmware)
{
    switch (machine)
    {
    case MaintMachine::Standard:
        folder.MakeMachine({firmware});
        break;
    case MaintMachine::TwoGpus:
        folder.MakeMachine({firmware, firmware});
        break;
    case MaintMachine::LowBattery:
        folder.MakeMachine({firmware, firmware}, "--battery 20");
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

void ExpectMaintenanceRun(const MaintenanceRow& row)
{
    SCOPED_TRACE(row.arguments);
    CProgramFolder folder;
    const std::vector<uint8_t> made = FirmwareOf(row.machine);
    PrepareMaintMachine(folder, row.machine, made);
    folder.WriteFile("app.rom", MakeMcuFirmware(0x7E2B, 0x0800, 3000));
    const ProgramResult run = folder.Romvise(row.arguments, row.keys);
    const std::string all = run.out + run.err;
    EXPECT_EQ(run.exitCode, row.exitCode) << all;
    ExpectTexts(all, row.shown, row.notShown);
    if (row.chip == MaintChipAfter::AsMade)
    {
        EXPECT_TRUE(ChipHolds(folder.Chip(0), made));
    }
    if (row.chip == MaintChipAfter::Erased)
    {
        EXPECT_TRUE(ChipHolds(folder.Chip(0), {}));
    }
}

void ExpectMaintenanceRuns(const std::vector<MaintenanceRow>& rows)
{
    for (const MaintenanceRow& row : rows)
    {
        ExpectMaintenanceRun(row);
    }
}

// A refusal on two adapters, found before either is chosen: exit 2 and
// the chip as made.
MaintenanceRow RefusedBeforeChoosing(MaintMachine machine, const std::string& arguments,
                                     const std::string& shownError)
{
    return {machine, arguments, "", 2, {shownError}, kNoAdapterChosen};
}

// Every command that writes to an adapter, with values it would accept.
const std::vector<std::string> kWriters = {
    "--proggmac=app.rom", "--erasefull",  "--delete",
    "--protecton",        "--protectoff", "--straps=1,2,3,4",
    "--test=1,0",         "--stress",     "--guid=0123456789ABCDEF",
    "--guidsource=main",  "--tv tv.rom",  "--readtest=1,0",
    "--presregtune=88=1",
};
} // namespace

TEST(MaintenanceRun, EraseAndItsRefusals)
{
    ExpectMaintenanceRuns({
        {MaintMachine::Standard,
         "--erasefull --auto --noconfirm",
         "",
         0,
         {"EEPROM erase completed."},
         {},
         MaintChipAfter::Erased},
        {MaintMachine::Standard, "--erasefull", "n", 2, {"ERROR: Erase aborted"}},
        {MaintMachine::Standard,
         "--erasefull --override=1",
         "",
         2,
         {"ERROR: EEPROM override not allowed for write operations"}},
        {MaintMachine::LowBattery, "--erasefull --auto --noconfirm", "", 2, {kLowPower}},
        {MaintMachine::LowBattery,
         "--erasefull --auto --noconfirm --nopowerchk --index=0",
         "",
         0,
         {"EEPROM erase completed."},
         {"ERROR"},
         MaintChipAfter::Erased},
    });
}

TEST(MaintenanceRun, WritersRefuseLowPowerBeforeChoosingAnAdapter)
{
    std::vector<MaintenanceRow> rows;
    for (const std::string& writer : kWriters)
    {
        rows.push_back(RefusedBeforeChoosing(MaintMachine::LowBattery, writer, kLowPower));
    }
    ExpectMaintenanceRuns(rows);
}

TEST(MaintenanceRun, WritersRefuseTheOverrides)
{
    std::vector<MaintenanceRow> rows;
    for (const std::string& writer : kWriters)
    {
        rows.push_back(
            RefusedBeforeChoosing(MaintMachine::TwoGpus, writer + " --override=1",
                                  "ERROR: EEPROM override not allowed for write operations"));
        rows.push_back(RefusedBeforeChoosing(
            MaintMachine::TwoGpus, writer + " --override=2",
            "ERROR: Display adapter override not allowed for write operations"));
    }
    ExpectMaintenanceRuns(rows);
}

TEST(MaintenanceRun, ValuesAreReadWholeBeforeChoosingAnAdapter)
{
    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"--straps=1,2,3", "Not all four strap values specified"},
        {"--straps=1,2,3,x", "Invalid value \"x\" for --straps."},
        {"--straps=1,2,0x10,4", "Invalid value \"0x10\" for --straps."},
        {"--straps=1,2,3,4294967296", "Strap values out of range"},
        {"--straps=1,2,3,99999999999999999999", "Strap values out of range"},
        {"--straps=1,2,3,2147483648", "Strap values out of range"},
        {"--test=5x,0", "Invalid value \"5x\" for --test."},
        {"--test=-1,0", "Invalid passes, number of passes must be > 0"},
        {"--test=-x,0", "Invalid value \"-x\" for --test."},
        {"--readtest=1,0x20", "Invalid value \"0x20\" for --readtest."},
        {"--readtest=1,0,12z", "Invalid value \"12z\" for --readtest."},
        {"--guidsource=Main", "Invalid GUID source specified, must be either main or dedicated."},
    };
    std::vector<MaintenanceRow> rows;
    for (const auto& [arguments, error] : refusals)
    {
        rows.push_back(RefusedBeforeChoosing(MaintMachine::TwoGpus, arguments, "ERROR: " + error));
    }
    // Passes of zero are announced before the missing offset is refused.
    rows.push_back({MaintMachine::TwoGpus,
                    "--test=0",
                    "",
                    2,
                    {"Number of passes specified as zero, test will repeat until EEPROM "
                     "programming fails.\n",
                     "ERROR: Test area starting offset must be specified"},
                    kNoAdapterChosen});
    ExpectMaintenanceRuns(rows);
}

TEST(MaintenanceRun, EEPROMTestsAskForYesAndTuningNeedsANewerGpu)
{
    ExpectMaintenanceRuns({
        {MaintMachine::Standard,
         "--test=0,0",
         "yes\n",
         2,
         {"WARNING: This test can shorten the life of your EEPROM device.",
          "ERROR: Flash test aborted"}},
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
          "aborted."}},
    });
}

TEST(MaintenanceRun, KestrixCommands)
{
    ExpectMaintenanceRuns({
        {MaintMachine::Kestrix,
         "--ecid",
         "",
         0,
         {"ECID ID( SHA2 Hash ):\n"
          "0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20\n"}},
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
    });
}

TEST(MaintenanceRun, GmacCommandsWithoutAMicrocontroller)
{
    ExpectMaintenanceRuns({
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
          "Completed list of GMAC MCU device(s) successfully."}},
    });
}

TEST(MaintenanceRun, ApplicationProgrammedByOneRunIsSavedByTheNext)
{
    CProgramFolder folder;
    folder.WriteFile("chip0.bin",
                     MakeFirmware({.deviceId = kDolvik1Id, .i2cDevices = {kGmacEntry}}));
    folder.WriteFile("mcu.rom", MakeMcuFirmware(0x7E2B, kDolvik1Id, 3000));
    const std::vector<uint8_t> update =
        MakeMcuFirmware(0x7E2B, kDolvik1Id, 3000, "KRVN", "S100", "B1", "08");
    folder.WriteFile("app2.rom", update);
    folder.UseMachine(McuMachine("mcu.rom"));

    // Reading the firmware loads the Kestrix microcode (without its console:
    // no --wiuconsole); then the question.
    const ProgramResult programmed = folder.Romvise("--proggmac=app2.rom", "y");
    ASSERT_EQ(programmed.exitCode, 0) << programmed.out << programmed.err;
    const ProgramResult saved = folder.Romvise("--savegmac=back.rom");
    ASSERT_EQ(saved.exitCode, 0) << saved.out << saved.err;
    std::vector<uint8_t> back = folder.ReadFile("back.rom");
    ASSERT_GE(back.size(), update.size());
    back.resize(update.size());
    EXPECT_EQ(back, update);
}

// Every GMAC command gives the display back however it ends, with one
// unbind and one bind however many adapters it probes; the exit code says a
// failure of the microcontroller (2) apart from a file that cannot be read
// or written (3).
TEST(MaintenanceRun, GmacCommandsGiveTheDisplayBackOnce)
{
    struct Case
    {
        const char* name;
        bool withMicrocontroller; // else a GPU whose firmware lists none
        nlohmann::json mcuKeys;
        const char* arguments;
        const char* keys;
        int exitCode;
        std::vector<std::string> shown;
    };
    const nlohmann::json none = nlohmann::json::object();
    const std::string noEntry = "ERROR: No Korvan display adapters found or I2C Device Table "
                                "does not contain a GMAC entry.";
    const std::vector<Case> cases = {
        {"list", true, none, "--listgmac", "", 0, {"<0> "}},
        {"list without an entry", false, none, "--listgmac", "", 0,
         {"I2C Device Table does not contain a GMAC entry."}},
        {"query", true, none, "--querygmac", "", 0,
         {"Version display completed successfully."}},
        {"query of an absent microcontroller", true, {{"absent", true}}, "--querygmac", "",
         2, {"Version display completed with failure."}},
        {"query without an entry", false, none, "--querygmac", "", 2, {noEntry}},
        {"save", true, none, "--savegmac=back.rom", "", 0,
         {"Successfully saved application image to back.rom."}},
        {"save refused by the microcontroller", true, {{"refuses_read_page", true}},
         "--savegmac=back.rom", "", 2, {"Failed to save application image."}},
        {"save into a folder", true, none, "--savegmac=folder.rom", "", 3,
         {"Failed to save application image.",
          "I/O ERROR: Cannot create file: folder.rom (not a regular file)"}},
        {"save without an entry", false, none, "--savegmac=back.rom", "", 2, {noEntry}},
        {"program", true, none, "--proggmac=app2.rom", "y", 0, {}},
        {"program declined", true, none, "--proggmac=app2.rom", "n", 2,
         {"ERROR: GMAC application image not updated."}},
        {"program failing", true, {{"stuck_busy", true}}, "--proggmac=app2.rom", "y", 2,
         {"ERROR: GMAC application image not updated."}},
        {"program without an entry", false, none, "--proggmac=app2.rom", "", 2, {noEntry}},
    };
    // One unbind and one bind (enabling a device records both of its
    // scopes).
    const std::string givenBack = "unbind 0000:01:00.0\nbind 0000:01:00.0\nbind 0000:01:00.0\n"
                                  "end 0000:01:00.0 bound\n";
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        folder.WriteFile("mcu.rom", MakeMcuFirmware(0x7E2B, kDolvik1Id, 3000));
        folder.WriteFile("app2.rom",
                         MakeMcuFirmware(0x7E2B, kDolvik1Id, 3000, "KRVN", "S100", "B1", "08"));
        std::filesystem::create_directory(folder.PathOf("folder.rom"));
        if (c.withMicrocontroller)
        {
            folder.WriteFile("chip0.bin",
                             MakeFirmware({.deviceId = kDolvik1Id, .i2cDevices = {kGmacEntry}}));
            folder.UseMachine(McuMachine("mcu.rom", c.mcuKeys));
        }
        else
        {
            folder.MakeMachine({MakeFirmware()});
        }
        const ProgramResult run = folder.Romvise(c.arguments, c.keys);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        ExpectTexts(run.out + run.err, c.shown, {});
        const std::vector<uint8_t> record = folder.ReadFile("display.txt");
        EXPECT_EQ(std::string(record.begin(), record.end()), givenBack);
        if (c.exitCode != 0)
        {
            EXPECT_FALSE(std::filesystem::is_regular_file(folder.PathOf("back.rom")));
        }
    }
}

// A file the microcontroller cannot be shown from is the file's failure.
TEST(MaintenanceRun, QueryOfAFileThatCannotBeReadEndsWithThree)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware()});
    const ProgramResult run = folder.Romvise("--querygmac=missing.rom");
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    ExpectTexts(run.out + run.err,
                {"Couldn't open missing.rom", "Version display completed with failure."}, {});
}

TEST(MaintenanceRun, FailedStressIterationEndsTheRunWithItsStatus)
{
    CProgramFolder folder;
    // The test writes 0x00 to the first byte of the sector; bit 0 stays set.
    folder.MakeMachine({MakeFirmware()}, "--fault stuck-bits=1F000:01:01");
    // Sector test of one 4 KiB sector (31) for one loop, erase limit 30 s.
    const ProgramResult run = folder.Romvise("--stress", "2\n31\n1\n30000\ny\n");
    EXPECT_EQ(run.exitCode, 13) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "ERROR: EEPROM programming failed")) << run.err;
    const std::vector<uint8_t> rows = folder.ReadFile("Stress-Testing-Outcome.csv");
    EXPECT_TRUE(Contains(std::string(rows.begin(), rows.end()), ", FAIL\n"));
    EXPECT_FALSE(folder.ReadFile("Stress-Testing-Backup.rom").empty());
}

TEST(MaintenanceRun, LogNamesTheCommand)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--protectoff --protecton", "Command: protecton\n"},
        {"--protectoff", "Command: protectoff\n"},
        {"--stress", "Command: EEPROM Stress-testing \n"},
        {"--presdatatune=1", "Command: presregtune\n"},
        {"--proggmac=app.rom", "Command: proggmac\n"},
        {"--ecid", "Command: Display the SHA2 hash of the RAW ECID of the GPU.\n"},
    };
    for (const auto& [arguments, line] : cases)
    {
        SCOPED_TRACE(arguments);
        CProgramFolder folder;
        // On battery the writers stop right after the line.
        folder.MakeMachine({MakeFirmware()}, "--battery 20");
        folder.Romvise("--log=run.log " + arguments);
        const std::vector<uint8_t> logged = folder.ReadFile("run.log");
        EXPECT_TRUE(Contains(std::string(logged.begin(), logged.end()), line));
    }
}
