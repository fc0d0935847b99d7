// Power loss during an update: the process stops right after the k-th program
// or erase operation on the chip, for every k the update performs, on a small
// image.

#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
constexpr int kStoppedExitCode = 86; // the simulated chip's power-loss stop
constexpr int kMostPrograms = 64;
const FirmwareSpec kSmallOld{.length = 0x1000};
const FirmwareSpec kSmallNewer{.version = 0x86041C00, .length = 0x1000};

// Turns the machine's stop off, so that the next run sees the half-written
// chip on a machine that keeps its power.
void PowerBackOn(CProgramFolder& folder)
{
    const std::vector<uint8_t> bytes = folder.ReadFile("machine.json");
    std::string text(bytes.begin(), bytes.end());
    const std::string key = "\"stop_after_programs\": ";
    const size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos);
    const size_t end = text.find_first_not_of("0123456789", at + key.size());
    text.replace(at + key.size(), end - at - key.size(), "0");
    folder.WriteFile("machine.json", std::vector<uint8_t>(text.begin(), text.end()));
}

// Runs the update with the stop after k operations (`stopOption` names which:
// programs or erases); false once the update finished before the k-th.
bool StoppedRunReportsNothing(CProgramFolder& folder, int k,
                              const std::string& stopOption = "--stop-after-programs")
{
    folder.MakeMachine({MakeFirmware(kSmallOld)}, stopOption + " " + std::to_string(k));
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

// A second run after each stop must bring the chip to the new firmware. Today
// a stop inside the first erase block leaves a head that the compatibility
// check cannot read ("Board is incompatible with firmware version ..."), so a
// single-image package cannot recover it; the engine must keep the first
// block valid until the rest is written before this can pass.
TEST(PowerLoss, DISABLED_RerunAfterEveryStopGivesTheNewFirmware)
{
    CProgramFolder folder;
    const std::vector<uint8_t> expected = MakeFirmware(kSmallNewer);
    ASSERT_EQ(folder.Stamp(expected).exitCode, 0);
    for (int k = 1; k <= kMostPrograms && StoppedRunReportsNothing(folder, k); ++k)
    {
        SCOPED_TRACE("stopped after program " + std::to_string(k));
        PowerBackOn(folder);
        const ProgramResult rerun = folder.Updater("", "y");
        EXPECT_EQ(rerun.exitCode, 0) << rerun.out << rerun.err;
        EXPECT_TRUE(ChipHolds(folder.Chip(0), expected));
    }
}
