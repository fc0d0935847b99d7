// The EEPROM maintenance commands run whole on a simulated machine: the
// power and override refusals of every writer, their values read whole
// before any adapter is chosen, the typed confirmation of the tests, and the
// engine operations they reach.

#include "KestrixMachine.h"

#include "sim/SimGpu.h"
#include "sim/SimSpiFlash.h"

#include <gtest/gtest.h>

namespace
{
const RigGpu kMaintGpu{1, 0, 0x0800, RigFirmware()};
const RigGpu kMaintSecondGpu{2, 0, 0x0800, RigFirmware()};

CSimSpiFlash& MaintChipOf(CEngineeringRig& rig, uint8_t bus)
{
    auto* gpu = dynamic_cast<CSimGpu*>(rig.Machine().FindFunction(bus, 0, 0)->Model());
    return *dynamic_cast<CSimSpiFlash*>(gpu->Chip());
}

bool ChipUntouched(CEngineeringRig& rig)
{
    const CSimSpiFlash& chip = MaintChipOf(rig, 1);
    return chip.Erases().empty() && chip.Programs().empty();
}

// Every command that writes to the EEPROM, with values it would accept.
const std::vector<std::vector<std::string>> kEEPROMWriters = {
    {"--erasefull", "--auto", "--noconfirm"},
    {"--delete", "--auto", "--noconfirm"},
    {"--straps=1,2,3,4"},
    {"--guid=0123456789ABCDEF"},
    {"--guidsource=main"},
    {"--tv", "tv.rom"},
    {"--protecton"},
    {"--protectoff"},
    {"--test=1,0"},
    {"--stress"},
    {"--readtest=1,0"},
    {"--presregtune=88=1"},
};
} // namespace

TEST(EEPROMCommands, EveryWriterRefusesLowPowerAndOverridesBeforeTouchingTheAdapter)
{
    struct Refusal
    {
        bool lowPower;
        std::vector<std::string> extra;
        std::string err;
    };
    const std::vector<Refusal> refusals = {
        {true,
         {},
         "\nERROR: EEPROM updating prevented due to no AC power detected and battery level below "
         "35%\n"},
        {false, {"--override=1"}, "\nERROR: EEPROM override not allowed for write operations\n"},
        {false,
         {"--override=2"},
         "\nERROR: Display adapter override not allowed for write operations\n"},
    };
    for (const std::vector<std::string>& writer : kEEPROMWriters)
    {
        for (const Refusal& refusal : refusals)
        {
            SCOPED_TRACE(writer.front() + " " + refusal.err);
            CEngineeringRig rig({kMaintGpu}, refusal.lowPower);
            std::vector<std::string> words = writer;
            words.insert(words.end(), refusal.extra.begin(), refusal.extra.end());
            rig.console->lines = {"YES"};
            EXPECT_EQ(rig.Run(words), 2);
            EXPECT_EQ(rig.err, refusal.err);
            EXPECT_FALSE(Contains(rig.out, "Korvan Avrel2")) << "an adapter was chosen";
            EXPECT_TRUE(ChipUntouched(rig));
        }
    }
}

TEST(EEPROMCommands, ValuesAreReadWholeBeforeAnyAdapterIsChosen)
{
    struct Case
    {
        std::vector<std::string> words;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--straps=1,2,3"}, "Not all four strap values specified"},
        {{"--straps=1,2,3,x"}, "Invalid value \"x\" for --straps."},
        {{"--straps=1,2,3,-4"}, "Invalid value \"-4\" for --straps."},
        {{"--straps=1,2,3,2147483648"}, "Strap values out of range"},
        {{"--straps=1,2,3,4294967296"}, "Strap values out of range"},
        {{"--guid=0123456789ABCDE"}, "GUID must be specified as a full 16 hex digits"},
        {{"--guid=0x0123456789ABCDE"}, "GUID must be specified as a full 16 hex digits"},
        {{"--guid=0123456789ABCDEG"}, "Invalid GUID specified, must be 16 hex digits"},
        {{"--guidsource=Main"}, "Invalid GUID source specified, must be either main or dedicated."},
        {{"--tv"}, "No filename specified."},
        {{"--test"}, "Number of passes must be specified"},
        {{"--test=1"}, "Test area starting offset must be specified"},
        {{"--test=-1,0"}, "Invalid passes, number of passes must be > 0"},
        {{"--test=1x,0"}, "Invalid value \"1x\" for --test."},
        {{"--readtest=1,0x10"}, "Invalid value \"0x10\" for --readtest."},
        {{"--readtest=1,0,4k"}, "Invalid value \"4k\" for --readtest."},
        {{"--presregtune=zz=1"},
         "Invalid input, argument must comply with the <REG>[=<VALUE>] \n"
         "\tor <REG>[<MSB>:<LSB>]=<VALUE> format."},
        {{"--presdatatune=300"},
         "Invalid input, argument must comply with <ID>[:Width][,<Data>]... format."},
        // Tuning values are read before the override is refused.
        {{"--presregtune=zz=1", "--override=1"},
         "Invalid input, argument must comply with the <REG>[=<VALUE>] \n"
         "\tor <REG>[<MSB>:<LSB>]=<VALUE> format."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.words.front());
        // Two adapters and no index: a selection would ask with a menu.
        CEngineeringRig rig({kMaintGpu, kMaintSecondGpu});
        EXPECT_EQ(rig.Run(c.words, "0\r"), 2);
        EXPECT_EQ(rig.err, "\nERROR: " + c.err + "\n");
        EXPECT_FALSE(Contains(rig.out + rig.err, "Select a display adapter")) << rig.err;
        EXPECT_TRUE(ChipUntouched(rig));
    }
}

TEST(EEPROMCommands, GuidsOfSixteenDigitsReachTheAdapter)
{
    for (const char* guid : {"--guid=0123456789abcdef", "--guid=0x0123456789ABCDEF"})
    {
        SCOPED_TRACE(guid);
        CEngineeringRig rig({kMaintGpu});
        EXPECT_EQ(rig.Run({guid}), 2);
        // The rig's firmware has no GUID record: the adapter's answer.
        EXPECT_EQ(rig.err, "\nERROR: Display adapter does not have IEEE 1394 GUID support\n");
    }
}

TEST(EEPROMCommands, TestsAskForTheTypedYesAfterTheirWarnings)
{
    struct Case
    {
        std::vector<std::string> words;
        std::string typed;
        std::vector<std::string> shown;
        std::vector<std::string> notShown;
        std::string err;
    };
    const std::string kRetries = "WARNING: Retries enabled.  Usually \"--noretries\" should be "
                                 "specified when\nperforming EEPROM tests.\n";
    const std::string kShorten = "WARNING: This test can shorten the life of your EEPROM device.\n";
    const std::string kQuestion =
        "\nAre you sure you want to continue?\nType \"YES\" to confirm (all caps):  \n";
    const std::vector<Case> cases = {
        {{"--test=0,0"},
         "yes",
         {"Number of passes specified as zero, test will repeat until EEPROM programming fails.\n",
          kShorten, kRetries, kQuestion},
         {},
         "Flash test aborted"},
        {{"--readtest=0,0", "--noretries"},
         "Yes",
         {"Number of passes specified as zero, test will repeat until EEPROM reading fails.\n",
          "WARNING: This test can make the GPU board unusable to the point where it cannot\n"
          "be recovered.\n",
          kQuestion},
         {kShorten, kRetries},
         "Flash read test aborted"},
        {{"--test=1,0"}, "", {kQuestion}, {"test will repeat"}, "Flash test aborted"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.words.front());
        CEngineeringRig rig({kMaintGpu});
        rig.console->lines = {c.typed};
        EXPECT_EQ(rig.Run(c.words), 2);
        for (const std::string& text : c.shown)
        {
            EXPECT_TRUE(Contains(rig.out, text)) << "missing: " << text << "\n" << rig.out;
        }
        for (const std::string& text : c.notShown)
        {
            EXPECT_FALSE(Contains(rig.out, text)) << text;
        }
        EXPECT_EQ(rig.err, "\nERROR: " + c.err + "\n");
        EXPECT_TRUE(ChipUntouched(rig));
    }
}

TEST(EEPROMCommands, ReadTestRunsAfterTheTypedYes)
{
    CEngineeringRig rig({kMaintGpu});
    rig.console->lines = {"YES"};
    EXPECT_EQ(rig.Run({"--readtest=1,0", "--noretries"}), 0) << rig.err;
}

TEST(EEPROMCommands, EraseAndDeleteWithAutoAndNoConfirmAskNothing)
{
    for (const char* word : {"--erasefull", "--delete"})
    {
        SCOPED_TRACE(word);
        CEngineeringRig rig({kMaintGpu});
        // No key typed: a question would read the end of input and abort.
        EXPECT_EQ(rig.Run({word, "--auto", "--noconfirm"}), 0) << rig.err;
        EXPECT_FALSE(MaintChipOf(rig, 1).Erases().empty());
    }
}

TEST(EEPROMCommands, ProtectOnWinsOverProtectOff)
{
    struct Case
    {
        std::vector<std::string> words;
        bool protectedAfter;
    };
    for (const Case& c : std::vector<Case>{{{"--protecton", "--protectoff"}, true},
                                           {{"--protectoff", "--protecton"}, true},
                                           {{"--protectoff"}, false}})
    {
        SCOPED_TRACE(c.words.front() + std::to_string(c.words.size()));
        CEngineeringRig rig({kMaintGpu});
        MaintChipOf(rig, 1).SetStatus(c.protectedAfter ? 0x00 : 0x1C);
        EXPECT_EQ(rig.Run(c.words), 0) << rig.err;
        EXPECT_EQ((MaintChipOf(rig, 1).Status() & 0x1C) != 0, c.protectedAfter);
    }
}

TEST(EEPROMCommands, PreservationTuningRefusesOlderGenerations)
{
    CEngineeringRig rig({kMaintGpu});
    EXPECT_EQ(rig.Run({"--presregtune=88"}), 2);
    EXPECT_EQ(rig.err, "\nERROR: Preservation tuning is only supported on Dolvik and Estrel GPUs. "
                       "Update aborted.\n");
    EXPECT_TRUE(ChipUntouched(rig));
}

TEST(MicrocodeCommands, PreservationTuningGoesOnForADolvik1)
{
    std::unique_ptr<CEngineeringRig> rig = CEngineeringRig::OnMachine(MakeKestrixMachine({}));
    rig->Run({"--presregtune=88"});
    EXPECT_FALSE(Contains(rig->err, "Preservation tuning is only supported")) << rig->err;
}
