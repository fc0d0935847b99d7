// Power loss during an update: the process stops right after the k-th program
// or erase operation on the chip, for every k the update performs, on a small
// image.

#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace
{
constexpr int kMostPrograms = 64;
const FirmwareSpec kSmallOld{.length = 0x1000};
const FirmwareSpec kSmallNewer{.version = 0x86041C00, .length = 0x1000};

// Turns the machine's stops off, so that the next run sees the half-written
// chip on a machine that keeps its power.
void PowerBackOn(CProgramFolder& folder)
{
    const std::vector<uint8_t> bytes = folder.ReadFile("machine.json");
    std::string text(bytes.begin(), bytes.end());
    int found = 0;
    for (const std::string key : {"\"stop_after_programs\": ", "\"stop_after_erases\": "})
    {
        const size_t at = text.find(key);
        if (at == std::string::npos)
        {
            continue;
        }
        ++found;
        const size_t end = text.find_first_not_of("0123456789", at + key.size());
        text.replace(at + key.size(), end - at - key.size(), "0");
    }
    ASSERT_GT(found, 0) << text;
    folder.WriteFile("machine.json", std::vector<uint8_t>(text.begin(), text.end()));
}

// Runs the update with the stop after k operations (`stopOption` names which:
// programs or erases); false once the update finished before the k-th.
bool StoppedRunReportsNothing(CProgramFolder& folder, int k,
                              const std::string& stopOption = "--stop-after-programs",
                              const FirmwareSpec& start = kSmallOld)
{
    folder.MakeMachine({MakeFirmware(start)}, stopOption + " " + std::to_string(k));
    const ProgramResult run = folder.Updater("", "y");
    if (run.exitCode == 0)
    {
        return false;
    }
    EXPECT_EQ(run.exitCode, kStoppedExitCode) << run.err;
    EXPECT_EQ(run.out.find("Update successful."), std::string::npos);
    EXPECT_EQ(run.out.find("No more matches found."), std::string::npos);
    return true;
}
} // namespace

TEST(PowerLoss, NoStoppedUpdateReportsSuccess)
{
    struct Stop
    {
        const char* operation;
        const char* option;
    };
    for (const Stop stop : {Stop{"program", "--stop-after-programs"},
                            Stop{"erase", "--stop-after-erases"}})
    {
        CProgramFolder folder;
        ASSERT_EQ(folder.Stamp(MakeFirmware(kSmallNewer)).exitCode, 0);
        int k = 1;
        for (;; ++k)
        {
            SCOPED_TRACE(std::string("stopped after ") + stop.operation + " " + std::to_string(k));
            if (k > kMostPrograms || !StoppedRunReportsNothing(folder, k, stop.option))
            {
                break;
            }
        }
        // The update took k - 1 operations; at least one stop was tried.
        EXPECT_GT(k, 1) << stop.operation;
        EXPECT_LE(k, kMostPrograms) << stop.operation;
    }
}

// A second run after each stop must bring the chip to what an update without
// a stop gives, with the board's data of the firmware the chip held before.
TEST(PowerLoss, RerunAfterEveryStopGivesTheNewFirmware)
{
    const std::vector<uint8_t> boardData = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x11, 0x22, 0x33};
    const FirmwareSpec withBoardBlock{.length = 0x1000, .boardBlock = boardData};
    struct StopCase
    {
        const char* name;
        const char* option;
        FirmwareSpec start;
    };
    for (const StopCase& stop : {StopCase{"program", "--stop-after-programs", kSmallOld},
                                 StopCase{"erase", "--stop-after-erases", kSmallOld},
                                 StopCase{"erase, board block", "--stop-after-erases",
                                          withBoardBlock}})
    {
        SCOPED_TRACE(stop.name);
        CProgramFolder folder;
        ASSERT_EQ(folder.Stamp(MakeFirmware(kSmallNewer)).exitCode, 0);
        folder.MakeMachine({MakeFirmware(stop.start)});
        ASSERT_EQ(folder.Updater("", "y").exitCode, 0);
        const std::vector<uint8_t> expected = folder.Chip(0);
        ASSERT_FALSE(ChipHolds(expected, MakeFirmware(stop.start))) << "the update wrote";
        if (!stop.start.boardBlock.empty())
        {
            ASSERT_NE(std::search(expected.begin(), expected.end(), boardData.begin(),
                                  boardData.end()),
                      expected.end())
                << "the update carries the board's block";
        }

        int k = 1;
        for (; k <= kMostPrograms && StoppedRunReportsNothing(folder, k, stop.option, stop.start);
             ++k)
        {
            SCOPED_TRACE("stopped after " + std::string(stop.option) + " " + std::to_string(k));
            EXPECT_FALSE(folder.ReadFile(kRecordName).empty()) << "the stopped run's record";
            PowerBackOn(folder);
            const ProgramResult rerun = folder.Updater("", "y");
            EXPECT_EQ(rerun.exitCode, 0) << rerun.out << rerun.err;
            EXPECT_NE(rerun.out.find("NOTE: The last update of this display adapter did not "
                                     "finish; it will be updated again from the firmware it held "
                                     "before.\n"),
                      std::string::npos)
                << rerun.out;
            EXPECT_EQ(folder.Chip(0), expected);
            EXPECT_FALSE(std::filesystem::exists(folder.PathOf(kRecordName)));
        }
        EXPECT_GT(k, 1) << "at least one stop was tried";
    }
}

// An erased chip whose record cannot be used: the record is named and kept,
// and the chip is left alone as without a record.
TEST(PowerLoss, ErasedChipWithoutAUsableRecordIsSkipped)
{
    CProgramFolder folder;
    ASSERT_EQ(folder.Stamp(MakeFirmware(kSmallNewer)).exitCode, 0);
    folder.MakeMachine({MakeFirmware(kSmallOld)});
    const std::vector<uint8_t> erased(folder.Chip(0).size(), 0xFF);
    folder.WriteFile("chip0.bin", erased);
    const std::vector<uint8_t> record = {'R', 'V', 'U', 'P', 'D', 'R', 'E', 'C', 1, 0};
    folder.WriteFile(kRecordName, record);

    const ProgramResult run = folder.Updater("", "y");
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_EQ(run.err, "WARNING: The update record " + folder.PathOf(kRecordName) +
                           " cannot be used: it is truncated. It is ignored.\n"
                           "WARNING: EEPROM is erased, unable to check for update.\n");
    EXPECT_EQ(run.out.find("NOTE: The last update"), std::string::npos);
    const std::vector<uint8_t> chip = folder.Chip(0);
    EXPECT_GE(chip.size(), erased.size());
    EXPECT_TRUE(std::all_of(chip.begin(), chip.end(), [](uint8_t b) { return b == 0xFF; }))
        << "the chip stays erased";
    EXPECT_EQ(folder.ReadFile(kRecordName), record);
}
