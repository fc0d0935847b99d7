// The EEPROM stress test on the simulated machine: a passing run writes the
// firmware back and deletes its backup, a restore that cannot be proven keeps
// the backup, an earlier backup file is never overwritten, and the refused
// questionnaires write nothing.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "core/CrossPlatform.h"
#include "core/Singleton.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

namespace
{
std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The outcome rows with each measured time (a number between ", " and ",")
// written as "T".
std::string WithoutTimes(const std::string& rows)
{
    std::string out;
    for (size_t i = 0; i < rows.size(); ++i)
    {
        size_t end = i;
        while (end < rows.size() && std::isdigit(static_cast<unsigned char>(rows[end])))
        {
            ++end;
        }
        if (end > i && i >= 2 && rows.compare(i - 2, 2, ", ") == 0 && end < rows.size() &&
            rows[end] == ',')
        {
            out += 'T';
            i = end - 1;
            continue;
        }
        out += rows[i];
    }
    return out;
}

int32_t RunStress(CFlasherMachine& rig, std::vector<std::string> answers)
{
    rig.console->lines.assign(answers.begin(), answers.end());
    rig.flasher->SetStressTestFolder(rig.folder.Path());
    return rig.flasher->StressTest(rig.ui, rig.bus, rig.Adapter(0), nullptr, nullptr, rig.database,
                                   &rig.log);
}
} // namespace

TEST(FlasherStressTest, APassingRunRestoresTheFirmwareAndKeepsAnEarlierBackup)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    const std::filesystem::path earlier = rig.folder.Path() / "Stress-Testing-Backup.rom";
    rig.folder.WriteText("Stress-Testing-Backup.rom", "an earlier run's firmware");

    EXPECT_EQ(RunStress(rig, {"2", "31", "2", "30000", "y"}), 0);
    EXPECT_EQ(rig.ChipBytes(0), before);
    EXPECT_EQ(ReadText(earlier), "an earlier run's firmware");
    EXPECT_FALSE(std::filesystem::exists(rig.folder.Path() / "Stress-Testing-Backup-1.rom"));
    const std::string rows = ReadText(rig.folder.Path() / "Stress-Testing-Outcome.csv");
    EXPECT_EQ(WithoutTimes(rows),
              "Iteration, Start Offset (0x), Data Range (0x), Erase Time (s), Write Time (s), "
              "Pass/Fail\n"
              "N = 1, 0001F000h, 00001000h, T, T, PASS\n"
              "N = 2, 0001F000h, 00001000h, T, T, PASS\n");
    const std::string shown = rig.Shown();
    EXPECT_NE(shown.find("Q: Which sector do you want to start to test (0-127 in decimal) ?"),
              std::string::npos);
    EXPECT_NE(shown.find("  - Offset Start in bytes : 0x1F000\n"), std::string::npos);
    EXPECT_NE(shown.find("STRESS-TESTING PASS"), std::string::npos);
}

TEST(FlasherStressTest, ARestoreThatCannotBeProvenKeepsTheBackup)
{
    // Bit 7 of a zero byte of the firmware stays set once the chip is erased:
    // the erase-only run passes, the firmware written back does not.
    std::vector<uint8_t> firmware = MakeFirmware();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    const uint32_t at = 0x8000;
    ASSERT_EQ(rig.ChipBytes(0)[at] & 0x80, 0);
    rig.Chip(0).Faults().stuckBits[at] = {0x80, 0x80};
    const std::vector<uint8_t> before = rig.ChipBytes(0);

    EXPECT_EQ(RunStress(rig, {"5", "1", "30000", "y"}), 12);
    const std::filesystem::path backup = rig.folder.Path() / "Stress-Testing-Backup.rom";
    ASSERT_TRUE(std::filesystem::exists(backup));
    const std::string saved = ReadText(backup);
    EXPECT_EQ(std::vector<uint8_t>(saved.begin(), saved.end()), before);
    EXPECT_NE(rig.Shown().find("Restoring original ROM image now."), std::string::npos);
    EXPECT_EQ(rig.Shown().find("STRESS-TESTING PASS"), std::string::npos);
    EXPECT_NE(rig.Logged().find("ERROR: Restoring the original ROM image failed; the backup stays in"),
              std::string::npos);
    EXPECT_NE(WithoutTimes(ReadText(rig.folder.Path() / "Stress-Testing-Outcome.csv"))
                  .find("N = 1, 00000000h, 00080000h, T, , PASS\n"),
              std::string::npos);
}

TEST(FlasherStressTest, RefusedQuestionnairesWriteNothing)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> answers;
    };
    const Case cases[] = {
        {"three invalid answers", {"0", "6", "x"}},
        {"a confirmation other than y", {"2", "128", "127", "1", "30", "Y"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        const std::vector<uint8_t> before = rig.ChipBytes(0);
        EXPECT_EQ(RunStress(rig, c.answers), 13);
        EXPECT_EQ(rig.ChipBytes(0), before);
        EXPECT_TRUE(rig.Chip(0).Erases().empty());
        EXPECT_TRUE(std::filesystem::exists(rig.folder.Path() / "Stress-Testing-Backup.rom"));
    }
}

TEST(FlasherStressTest, AnEraseSlowerThanTheLimitFailsTheIterationOnTheMachineClock)
{
    // The simulated chip takes 45 ms of machine time for a 4 KiB sector.
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    EXPECT_EQ(RunStress(rig, {"2", "31", "3", "30", "y"}), 11);
    EXPECT_EQ(rig.Chip(0).Erases().size(), 1u) << "the first iteration ends the test";
    EXPECT_TRUE(std::filesystem::exists(rig.folder.Path() / "Stress-Testing-Backup.rom"));
    const std::string rows = ReadText(rig.folder.Path() / "Stress-Testing-Outcome.csv");
    EXPECT_EQ(rows.substr(rows.find('\n') + 1), "N = 1, 0001F000h, 00001000h,  , , FAIL\n");
}

TEST(FlasherStressTest, AFailureAfterTheDriverIsDisabledGivesTheDisplayBack)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    ICrossPlatform* os = GetCrossPlatform();
    os->SetDisplayDriverHook(CreateDisplayDriverHook(rig.flasher.get()));
    rig.console->keys = {'y'};
    rig.flasher->SetStressTestFolder(rig.folder.Path() / "missing" / "folder");
    EXPECT_ANY_THROW(rig.flasher->StressTest(rig.ui, rig.bus, rig.Adapter(0), nullptr, nullptr,
                                             rig.database, &rig.log));
    EXPECT_FALSE(os->IsDisplayDriverDisabled());
}
