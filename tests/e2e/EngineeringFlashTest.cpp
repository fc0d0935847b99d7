// romvise flashing, saving, comparing and verifying as a process on a machine
// of two adapters that hold the same firmware: what it shows, how it ends and
// what each chip holds afterwards; and a flash stopped by a power loss,
// finished by running it again.

#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
enum class ChipAfter
{
    AsMade,
    Newer,
    OtherBoard, // the image made for board 0202
    Unknown,    // partly written: not looked at
};

struct FlashRow
{
    const char* arguments;
    const char* keys;
    int exitCode;
    std::vector<std::string> shown;    // each in standard output or error
    std::vector<std::string> notShown; // none of these anywhere
    ChipAfter first = ChipAfter::AsMade;
    ChipAfter second = ChipAfter::AsMade;
    const char* machineOptions = "";
};

const FirmwareSpec kOtherBoard{.boardId = 0x0202};
const FirmwareSpec kOtherDevice{.deviceId = 0x0801, .version = 0x86041C00};
const char* const kMatching = "Checking for matches between display adapter(s) and image(s)...";
const char* const kReboot = "A reboot is required for the update to take effect.";
} // namespace

TEST(EngineeringFlash, CommandTable)
{
    const std::vector<FlashRow> rows = {
        {"n.rom",
         "yys",
         0,
         {kMatching, "Match found.\n", "No more matches found.",
          "Results:", "Firmware update process is completed."},
         {},
         ChipAfter::Newer},
        {"--index=1 n.rom",
         "yy",
         0,
         {"Press 'y' to confirm (any other key to abort):  ", kReboot},
         {"Results:"},
         ChipAfter::AsMade,
         ChipAfter::Newer},
        {"--index=0 n.rom", "yn", 2, {"Results:", "ERROR: Update aborted"}, {kReboot}},
        {"--index=0 b.rom", "y", 2, {"ERROR: Board ID mismatch"}, {}},
        {"--index=0 --overrideboard b.rom",
         "yyes\n",
         2,
         {"*** WARNING: Overriding the Board ID can be very dangerous. ***",
          "ERROR: Update aborted"},
         {}},
        {"--index=0 --overrideboard b.rom",
         "yYES\ny",
         0,
         {"*** WARNING: Overriding the Board ID can be very dangerous. ***", kReboot},
         {},
         ChipAfter::OtherBoard},
        {"--index=0 --upgradeonly a.rom",
         "y",
         2,
         {"ERROR: Only firmware upgrades are allowed with the '--upgradeonly' option."},
         {}},
        {"o.rom", "y", 1, {"No matches found.", "Nothing changed!"}, {"Match found."}},
        {"--override=1 n.rom",
         "",
         2,
         {"ERROR: EEPROM override not allowed for write operations"},
         {kMatching}},
        {"n.rom",
         "",
         2,
         {"ERROR: EEPROM updating prevented due to no AC power detected and battery level below "
          "35%"},
         {kMatching},
         ChipAfter::AsMade,
         ChipAfter::AsMade,
         "--battery 20"},
        {"n.bin", "", 2, {"ERROR: Filename must have a valid extension. [ .krr .rom ]"}, {}},
        {"--index=0 --compare a.rom", "y", 0, {}, {"Mismatch at offset"}},
        {"--index=0 --compare n.rom", "y", 2, {"Mismatch at offset 0x"}, {}},
        {"--index=0 --verify n.rom", "y", 2, {"Mismatch at offset 0x"}, {}},
        {"--ifronly", "", 2, {"No filename specified.\n Flash IFR Usage: "}, {}},
        // A programming that failed once it began claims nothing about the chip.
        {"--index=0 n.rom",
         "yy",
         2,
         {"Results:", "ERROR: "},
         {"Nothing changed!", kReboot},
         ChipAfter::Unknown,
         ChipAfter::AsMade,
         "--fault stuck-bits=401:FF:00"},
    };
    const std::vector<uint8_t> asMade = MakeFirmware(kOld);
    const std::vector<uint8_t> newer = MakeFirmware(kNewer);
    const std::vector<uint8_t> otherBoard = MakeFirmware(kOtherBoard);
    for (const FlashRow& row : rows)
    {
        SCOPED_TRACE(std::string(row.arguments) + " keys " + row.keys);
        CProgramFolder folder;
        folder.MakeMachine({asMade, asMade}, row.machineOptions);
        folder.WriteFile("n.rom", newer);
        folder.WriteFile("n.bin", newer);
        folder.WriteFile("a.rom", asMade);
        folder.WriteFile("b.rom", otherBoard);
        folder.WriteFile("o.rom", MakeFirmware(kOtherDevice));
        const ProgramResult run = folder.Romvise(row.arguments, row.keys);
        const std::string all = run.out + run.err;
        EXPECT_EQ(run.exitCode, row.exitCode) << all;
        ExpectTexts(all, row.shown, row.notShown);
        const auto expected = [&](ChipAfter after)
        {
            return after == ChipAfter::Newer        ? newer
                   : after == ChipAfter::OtherBoard ? otherBoard
                                                    : asMade;
        };
        if (row.first != ChipAfter::Unknown)
        {
            EXPECT_TRUE(ChipHolds(folder.Chip(0), expected(row.first)));
        }
        EXPECT_TRUE(ChipHolds(folder.Chip(1), expected(row.second)));
    }
}

// A second save into the same name replaces the file whole.
TEST(EngineeringFlash, SavedFirmwareVerifiesAndASecondSaveReplacesIt)
{
    CProgramFolder folder;
    const std::vector<uint8_t> asMade = MakeFirmware(kOld);
    const std::vector<uint8_t> newer = MakeFirmware(kNewer);
    folder.MakeMachine({asMade, newer});
    ProgramResult run = folder.Romvise("--index=0 --save s.rom", "y");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(folder.ReadFile("s.rom") == asMade);
    run = folder.Romvise("--index=0 --verify s.rom", "y");
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    run = folder.Romvise("--index=1 --save s.rom", "y");
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(folder.ReadFile("s.rom") == newer);
}

TEST(EngineeringFlash, FlashStoppedByPowerLossIsFinishedByRunningItAgain)
{
    const std::vector<uint8_t> asMade = MakeFirmware({.length = 0x1000});
    const std::vector<uint8_t> newer = MakeFirmware({.version = 0x86041C00, .length = 0x1000});
    for (const std::string stop : {"--stop-after-programs", "--stop-after-erases"})
    {
        for (int k = 1;; ++k)
        {
            SCOPED_TRACE(stop + " " + std::to_string(k));
            CProgramFolder folder;
            folder.WriteFile("n.rom", newer);
            folder.MakeMachine({asMade}, stop + " " + std::to_string(k));
            ProgramResult run = folder.Romvise("n.rom", "y");
            if (run.exitCode == 0)
            {
                ASSERT_GT(k, 1) << "the flash stopped at no operation";
                break; // the flash finished before the k-th operation
            }
            ASSERT_EQ(run.exitCode, kStoppedExitCode) << run.out << run.err;
            EXPECT_FALSE(Contains(run.out, "A reboot is required")) << run.out;
            PowerBackOn(folder);
            run = folder.Romvise("n.rom", "y");
            EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
            EXPECT_TRUE(ChipHolds(folder.Chip(0), newer));
        }
    }
}
