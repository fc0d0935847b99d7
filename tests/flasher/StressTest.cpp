// The EEPROM stress test on the simulated machine: a passing run writes the
// firmware back and deletes its backup, a restore that cannot be proven keeps
// the backup, an earlier backup file is never overwritten, and the refused
// questionnaires write nothing.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "testkit/CapturedOutput.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>

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
    EXPECT_NE(
        rig.Logged().find("ERROR: Restoring the original ROM image failed; the backup stays in"),
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
        const char* error;
        const char* retry;
    };
    const Case cases[] = {
        {"three invalid answers",
         {"0", "6", "x"},
         "ERROR: User aborted due to invalid inputs.\n",
         "That's not a number between 1 and 5, type it again.\n"},
        // The part has 128 sectors: 127 is the last one, 128 is asked again.
        {"a confirmation other than y",
         {"2", "128", "127", "1", "30", "Y"},
         "ERROR:  User aborted\n",
         "That's not a number between 0 and 127, type it again.\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        const std::vector<uint8_t> before = rig.ChipBytes(0);
        testkit::CCapturedOutput errors(std::cerr);
        EXPECT_EQ(RunStress(rig, c.answers), 13);
        EXPECT_EQ(errors.Text(), c.error);
        EXPECT_NE(rig.Shown().find(c.retry), std::string::npos);
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

TEST(FlasherStressTest, TheOutcomeTableIsNeverWrittenThroughALink)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.folder.WriteText("elsewhere.txt", "another file");
    std::filesystem::create_symlink(rig.folder.Path() / "elsewhere.txt",
                                    rig.folder.Path() / "Stress-Testing-Outcome.csv");
    EXPECT_EQ(RunStress(rig, {"2", "31", "2", "30000", "y"}), 0);
    EXPECT_EQ(ReadText(rig.folder.Path() / "elsewhere.txt"), "another file");
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

TEST(FlasherStressTest, AnEraseOnlyRunFindsAByteThatDoesNotErase)
{
    // Bit 7 of a byte past the firmware's chain stays clear: the erased part
    // must read back as 0xFF everywhere, chain or no chain.
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.Chip(0).Faults().stuckBits[0x40000] = {0x80, 0x00};
    testkit::CCapturedOutput errors(std::cerr);
    EXPECT_EQ(RunStress(rig, {"5", "1", "30000", "y"}), 12);
    EXPECT_EQ(errors.Text(),
              "Mismatch at offset 0x00040000 - Expected value: 0xFF - Read back: 0x7F");
    EXPECT_EQ(
        WithoutTimes(ReadText(rig.folder.Path() / "Stress-Testing-Outcome.csv"))
            .substr(std::string("Iteration, Start Offset (0x), Data Range (0x), Erase Time (s), "
                                "Write Time (s), Pass/Fail\n")
                        .size()),
        "N = 1, 00000000h, 00080000h, T, , FAIL\n");
    EXPECT_TRUE(std::filesystem::exists(rig.folder.Path() / "Stress-Testing-Backup.rom"));
    EXPECT_EQ(rig.Shown().find("STRESS-TESTING PASS"), std::string::npos);
}

TEST(FlasherStressTest, AFailingEraseOrProgramEndsTheRowAndKeepsTheBackup)
{
    struct Case
    {
        const char* name;
        std::function<void(CSimSpiFlash&)> fault;
        const char* row;
        const char* error;
    };
    const Case cases[] = {
        {"the erase never completes", [](CSimSpiFlash& chip) { chip.Faults().neverReady = true; },
         "N = 1, 0001F000h, 00001000h,  , , FAIL\n",
         "ERROR: EEPROM erase failed atCFlasherImpl::StressTest\n"},
        // The test writes 0x00 to the first byte of the sector; bit 0 stays set.
        {"a programmed byte reads back otherwise",
         [](CSimSpiFlash& chip) {
             chip.Faults().stuckBits[0x1F000] = {0x01, 0x01};
         },
         "N = 1, 0001F000h, 00001000h, T,  , FAIL\n",
         "ERROR: EEPROM programming failed atCFlasherImpl::StressTest\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        c.fault(rig.Chip(0));
        testkit::CCapturedOutput errors(std::cerr);
        EXPECT_EQ(RunStress(rig, {"2", "31", "1", "30000", "y"}), 13);
        EXPECT_EQ(errors.Text(), c.error);
        const std::string rows = ReadText(rig.folder.Path() / "Stress-Testing-Outcome.csv");
        EXPECT_EQ(WithoutTimes(rows.substr(rows.find('\n') + 1)), c.row);
        EXPECT_NE(rig.Logged().find(c.error), std::string::npos);
        EXPECT_TRUE(std::filesystem::exists(rig.folder.Path() / "Stress-Testing-Backup.rom"));
    }
}

TEST(FlasherStressTest, AnEraseTakingExactlyTheLimitPasses)
{
    // The machine's clock makes every run take the same time: measure the
    // sector erase once, then set the limit to it and to a millisecond less.
    auto eraseMs = [](const std::string& rows)
    {
        const std::string row = rows.substr(rows.find('\n') + 1);
        const size_t start = row.find("00001000h, ") + 11;
        return std::stoi(row.substr(start, row.find(',', start) - start));
    };
    int measured = 0;
    {
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        ASSERT_EQ(RunStress(rig, {"2", "31", "1", "30000", "y"}), 0);
        measured = eraseMs(ReadText(rig.folder.Path() / "Stress-Testing-Outcome.csv"));
        ASSERT_GT(measured, 1);
    }
    {
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        EXPECT_EQ(RunStress(rig, {"2", "31", "1", std::to_string(measured), "y"}), 0);
    }
    {
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        testkit::CCapturedOutput errors(std::cerr);
        EXPECT_EQ(RunStress(rig, {"2", "31", "1", std::to_string(measured - 1), "y"}), 11);
        EXPECT_EQ(errors.Text(),
                  "ERROR: Erase time took longer than expected.1CFlasherImpl::StressTest\n");
    }
}

TEST(FlasherStressTest, ARandomBlockIsCutAtTheEndOfThePart)
{
    // All 128 sectors asked for from a random start: the block keeps only the
    // sectors from the start to the end of the part. The answer "n" ends the
    // test after the summary, before anything is written.
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    EXPECT_EQ(RunStress(rig, {"3", "128", "1", "30", "n"}), 13);
    const std::string shown = rig.Shown();
    auto field = [&](const std::string& label)
    {
        const size_t at = shown.find(label);
        EXPECT_NE(at, std::string::npos) << label;
        return at == std::string::npos ? 0u : std::stoul(shown.substr(at + label.size()));
    };
    const unsigned long start = field("  - Sector Offset Start   : ");
    const unsigned long count = field("  - Sector count(s)       : ");
    EXPECT_EQ(start + count, 128u);
    char length[64];
    std::snprintf(length, sizeof length, "  - Length in bytes       : 0x%04lX\n", count * 4096);
    EXPECT_NE(shown.find(length), std::string::npos) << shown;
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "Enforce boundary alignment: Sector Count = %02lu, Length in bytes = %lu\n",
                  count, count * 4096);
    EXPECT_EQ(shown.find(expected) != std::string::npos, start != 0) << shown;
    EXPECT_EQ(rig.Logged().find(expected) != std::string::npos, start != 0);
    EXPECT_TRUE(rig.Chip(0).Erases().empty());
}
