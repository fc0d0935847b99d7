// Power loss during an update: the process stops right after the k-th program
// or erase operation on the chip, for every k the update performs, on small
// images; the re-run, and the records it refuses.

#include "ProgramRun.h"
#include "testkit/image/KrromWriter.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace
{
constexpr int kMostPrograms = 64;
const FirmwareSpec kSmallOld{.length = 0x1000};
const FirmwareSpec kSmallNewer{.version = 0x86041C00, .length = 0x1000};
// An image that ends inside the chip's second 4 KiB erase block, over one that
// fills that block: the block's last bytes must survive the update.
const FirmwareSpec kTwoBlocksOld{.length = 0x2000};
constexpr int kProgramsPerBlock = 16; // 256-byte pages
const FirmwareSpec kMidBlockNewer{.version = 0x86041C00, .length = 0x1200};

// Runs the update with the stop after k operations (`stopOption` names which:
// programs or erases); false once the update finished before the k-th.
bool StoppedRunReportsNothing(CProgramFolder& folder, int k,
                              const std::string& stopOption = "--stop-after-programs",
                              const std::vector<uint8_t>& start = MakeFirmware(kSmallOld))
{
    folder.MakeMachine({start}, stopOption + " " + std::to_string(k));
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
// a stop gives, every byte of the part, with the board's data of the firmware
// the chip held before.
TEST(PowerLoss, RerunAfterEveryStopGivesTheNewFirmware)
{
    const std::vector<uint8_t> boardData = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x11, 0x22, 0x33};
    const FirmwareSpec withBoardBlock{.length = 0x1000, .boardBlock = boardData};
    struct StopCase
    {
        const char* name;
        const char* option;
        FirmwareSpec start;
        FirmwareSpec package = kSmallNewer;
        // The stops before this one are those of the first block, which the
        // cases before already sweep.
        int firstStop = 1;
    };
    for (const StopCase& stop :
         {StopCase{"program", "--stop-after-programs", kSmallOld},
          StopCase{"erase", "--stop-after-erases", kSmallOld},
          StopCase{"erase, board block", "--stop-after-erases", withBoardBlock},
          StopCase{"program, image ends mid-block", "--stop-after-programs", kTwoBlocksOld,
                   kMidBlockNewer, kProgramsPerBlock},
          StopCase{"erase, image ends mid-block", "--stop-after-erases", kTwoBlocksOld,
                   kMidBlockNewer}})
    {
        SCOPED_TRACE(stop.name);
        CProgramFolder folder;
        ASSERT_EQ(folder.Stamp(MakeFirmware(stop.package)).exitCode, 0);
        const std::vector<uint8_t> start = MakeFirmware(stop.start);
        folder.MakeMachine({start});
        ASSERT_EQ(folder.Updater("", "y").exitCode, 0);
        const std::vector<uint8_t> expected = folder.Chip(0);
        ASSERT_FALSE(ChipHolds(expected, start)) << "the update wrote";
        if (!stop.start.boardBlock.empty())
        {
            ASSERT_NE(std::search(expected.begin(), expected.end(), boardData.begin(),
                                  boardData.end()),
                      expected.end())
                << "the update carries the board's block";
        }
        if (stop.package.length < stop.start.length)
        {
            ASSERT_TRUE(std::equal(start.begin() + stop.package.length, start.end(),
                                   expected.begin() + stop.package.length))
                << "the old firmware's bytes after the new image stay";
        }

        int k = stop.firstStop;
        for (; k <= kMostPrograms && StoppedRunReportsNothing(folder, k, stop.option, start);
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
            EXPECT_TRUE(folder.Chip(0) == expected);
            EXPECT_FALSE(std::filesystem::exists(folder.PathOf(kRecordName)));
        }
        EXPECT_GT(k, stop.firstStop) << "at least one stop was tried";
    }
}

// A chip whose record cannot be used, or whose record does not explain what
// the chip holds (the board was swapped after the stop): the adapter is not
// updated, the run fails, and chip and record stay as they were.
TEST(PowerLoss, AnAdapterWhoseRecordCannotBeUsedIsNotUpdated)
{
    const std::vector<uint8_t> otherBoard = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x44, 0x55, 0x66};
    struct Case
    {
        const char* name;
        // Leaves the machine's chip and record as the case needs them.
        void (*prepare)(CProgramFolder& folder, const std::vector<uint8_t>& otherBoard);
        std::string reason;
    };
    const Case cases[] = {
        {"erased chip, record cut short",
         [](CProgramFolder& folder, const std::vector<uint8_t>&)
         {
             folder.MakeMachine({MakeFirmware(kSmallOld)});
             folder.WriteFile("chip0.bin", std::vector<uint8_t>(folder.Chip(0).size(), 0xFF));
             folder.WriteFile(kRecordName, {'R', 'V', 'U', 'P', 'D', 'R', 'E', 'C', 1, 0});
         },
         "it is truncated"},
        {"half-written chip, record damaged",
         [](CProgramFolder& folder, const std::vector<uint8_t>&)
         {
             ASSERT_TRUE(StoppedRunReportsNothing(folder, 2));
             PowerBackOn(folder);
             std::vector<uint8_t> record = folder.ReadFile(kRecordName);
             record.back() ^= 0x01;
             folder.WriteFile(kRecordName, record);
         },
         "its checksum does not match"},
        {"another board put in after the stop",
         [](CProgramFolder& folder, const std::vector<uint8_t>& otherBoard)
         {
             ASSERT_TRUE(StoppedRunReportsNothing(
                 folder, 2, "--stop-after-programs",
                 MakeFirmware({.length = 0x1000, .boardBlock = otherBoard})));
             const std::vector<uint8_t> record = folder.ReadFile(kRecordName);
             folder.MakeMachine({MakeFirmware(kSmallOld)});
             folder.WriteFile(kRecordName, record);
         },
         "it does not match this adapter's EEPROM"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        ASSERT_EQ(folder.Stamp(MakeFirmware(kSmallNewer)).exitCode, 0);
        c.prepare(folder, otherBoard);
        const std::vector<uint8_t> chip = folder.Chip(0);
        const std::vector<uint8_t> record = folder.ReadFile(kRecordName);

        const ProgramResult run = folder.Updater("", "y");
        EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
        EXPECT_EQ(run.err.substr(0, run.err.find("Please note")),
                  "\nERROR: The update record " + folder.PathOf(kRecordName) +
                      " cannot be used: " + c.reason +
                      ". The display adapter is not updated; the record is kept.\n");
        EXPECT_EQ(run.out.find("Update successful."), std::string::npos);
        EXPECT_TRUE(ChipHolds(folder.Chip(0), chip));
        EXPECT_TRUE(folder.ReadFile(kRecordName) == record);
    }
}

// An update a pack with selection criteria began on an erased chip, of a
// board that reports no subsystem of its own (only an erased chip's board may
// be updated so): the saved content is erased too, and the re-run finishes
// the update as the first run would have.
TEST(PowerLoss, RerunFinishesAnUpdateBegunOnAnErasedChip)
{
    CProgramFolder folder;
    const std::vector<uint8_t> pack =
        testkit::CKrromWriter().SelectionType(1).Full(MakeFirmware(kSmallNewer), "A").Build();
    ASSERT_EQ(folder.Stamp(pack).exitCode, 0);
    auto erasedBoard = [&](const std::string& options)
    {
        folder.MakeMachine({MakeFirmware(kSmallOld)}, options);
        folder.WriteFile("chip0.bin", std::vector<uint8_t>(0x1000, 0xFF));
        const std::vector<uint8_t> bytes = folder.ReadFile("machine.json");
        std::string text(bytes.begin(), bytes.end());
        const std::string subsystem = "\"device\": \"0x0001\"";
        ASSERT_NE(text.find(subsystem), std::string::npos) << text;
        text.replace(text.find(subsystem), subsystem.size(), "\"device\": \"0x0000\"");
        folder.WriteFile("machine.json", std::vector<uint8_t>(text.begin(), text.end()));
    };
    erasedBoard("");
    ASSERT_EQ(folder.Updater("", "y").exitCode, 0) << "the pack updates an erased chip";
    const std::vector<uint8_t> expected = folder.Chip(0);

    erasedBoard("--stop-after-programs 2");
    ASSERT_EQ(folder.Updater("", "y").exitCode, kStoppedExitCode);
    PowerBackOn(folder);
    const ProgramResult rerun = folder.Updater("", "y");
    EXPECT_EQ(rerun.exitCode, 0) << rerun.out << rerun.err;
    EXPECT_FALSE(rerun.out.find("Board is incompatible") != std::string::npos) << rerun.out;
    EXPECT_TRUE(folder.Chip(0) == expected);
    EXPECT_FALSE(std::filesystem::exists(folder.PathOf(kRecordName)));
}

// Every writer of both programs, stopped at each erase and each program of
// its run and then run again (or followed by the other program's command):
// the finishing run never reports success while the chip lacks the board's
// data, and leaves the chip byte for byte as an unstopped run of the
// finishing command on the firmware the chip held before.
namespace
{
// Every kind of board data in small blocks: the straps and the GUID in the
// head, the board's 0x85 block, both Varnex stores.
std::vector<uint8_t> BoardFirmware()
{
    return MakeFirmware(
        {.length = 0x1000,
         .boardBlock = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x11, 0x22, 0x33},
         .varnexStore = testkit::CVarnexStoreBuilder()
                            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
                            .Obd("900-10800-0000-A01", "Board Of The Adapter", "SN-ADAPTER-42")
                            .Bbo(7, 2, 0xBEEF)
                            .BuildRaw(),
         .varnexBackup = testkit::CVarnexStoreBuilder()
                             .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
                             .Obd("900-10800-0000-A01", "Board Of The Adapter", "SN-ADAPTER-42")
                             .BuildRaw(),
         .guid = 0x0123456789ABCDEFull});
}

struct Command
{
    const char* name;
    bool updater; // romuvise with the stamped package; otherwise romvise
    std::string arguments;
    std::string keys;
};

const Command kPackagedUpdate{"romuvise", true, "", "y"};
const Command kStraps{"straps", false, "--straps=1,2,3,4", ""};
const Command kDelete{"delete", false, "--delete --auto --noconfirm", ""};
const Command kVarnexWrite{"wrbbo", false, "--wrbbo id=7.2 value=1 --force", ""};

ProgramResult Run(const CProgramFolder& folder, const Command& command)
{
    return command.updater ? folder.Updater(command.arguments, command.keys)
                           : folder.Romvise(command.arguments, command.keys);
}

bool ReportsSuccess(const ProgramResult& run)
{
    return Contains(run.out, "successful") || Contains(run.out, "completed");
}

// A folder with a machine starting from `start`, and the package stamped
// when romuvise runs in it.
void PrepareFolder(CProgramFolder& folder, const std::vector<uint8_t>& start, bool packaged,
                   const std::string& options = "")
{
    if (packaged)
    {
        ASSERT_EQ(folder.Stamp(MakeFirmware({.version = 0x86041C00, .length = 0x1000})).exitCode,
                  0);
    }
    folder.MakeMachine({start}, options);
}

// The chip an unstopped run of `command` leaves from `start`.
std::vector<uint8_t> ChipAfter(const Command& command, const std::vector<uint8_t>& start)
{
    CProgramFolder folder;
    PrepareFolder(folder, start, command.updater);
    const ProgramResult run = Run(folder, command);
    EXPECT_EQ(run.exitCode, 0) << command.name << run.out << run.err;
    return folder.Chip(0);
}

// Whether this stop is swept: every stop with ROMVISE_FULL_POWER_SWEEP set
// (scripts/power-sweep); otherwise, to keep CI short, every erase (each
// starts a block that holds board data here) and the first programs of a
// block and every `stride`-th after them.
bool Swept(const char* option, int k, int stride)
{
    return std::getenv("ROMVISE_FULL_POWER_SWEEP") != nullptr ||
           std::string(option) == "--stop-after-erases" || k <= 2 || k % stride == 1;
}

// Stops `writer` after each of its erases and programs, then runs
// `finisher`; returns the number of stops tried.
int SweepStops(const Command& writer, const Command& finisher, const std::vector<uint8_t>& start,
               int stride)
{
    const std::vector<uint8_t> expected = ChipAfter(finisher, start);
    EXPECT_FALSE(expected == start) << finisher.name << " wrote";
    int tried = 0;
    for (const char* option : {"--stop-after-erases", "--stop-after-programs"})
    {
        for (int k = 1; k <= kMostPrograms; ++k)
        {
            if (!Swept(option, k, stride))
            {
                continue;
            }
            SCOPED_TRACE(std::string(writer.name) + " stopped " + option + " " +
                         std::to_string(k) + ", then " + finisher.name);
            CProgramFolder folder;
            PrepareFolder(folder, start, writer.updater || finisher.updater,
                          std::string(option) + " " + std::to_string(k));
            const ProgramResult stopped = Run(folder, writer);
            if (stopped.exitCode == 0)
            {
                break; // the writer needs fewer than k of these
            }
            ++tried;
            EXPECT_EQ(stopped.exitCode, kStoppedExitCode) << stopped.out << stopped.err;
            EXPECT_FALSE(ReportsSuccess(stopped)) << stopped.out;
            PowerBackOn(folder);
            const ProgramResult rerun = Run(folder, finisher);
            const std::vector<uint8_t> chip = folder.Chip(0);
            if (rerun.exitCode != 0)
            {
                // A refusal keeps the record and reports no success.
                EXPECT_FALSE(ReportsSuccess(rerun)) << rerun.out;
                EXPECT_TRUE(std::filesystem::exists(folder.PathOf(kRecordName)));
                ADD_FAILURE() << "the finishing run refused: " << rerun.out << rerun.err;
                continue;
            }
            EXPECT_TRUE(chip == expected) << rerun.out << rerun.err;
            EXPECT_FALSE(std::filesystem::exists(folder.PathOf(kRecordName)));
        }
    }
    return tried;
}
} // namespace

TEST(PowerLossSweep, EachRomviseWriterFinishesItsOwnStoppedRun)
{
    const std::vector<uint8_t> start = BoardFirmware();
    for (const Command& writer : {kDelete, kStraps, kVarnexWrite})
    {
        EXPECT_GT(SweepStops(writer, writer, start, 8), 1) << writer.name;
    }
}

TEST(PowerLossSweep, EachProgramMeetsTheOthersStoppedRun)
{
    const std::vector<uint8_t> start = BoardFirmware();
    for (const Command& writer : {kDelete, kStraps, kVarnexWrite})
    {
        EXPECT_GT(SweepStops(kPackagedUpdate, writer, start, 16), 1) << writer.name;
        EXPECT_GT(SweepStops(writer, kPackagedUpdate, start, 16), 1) << writer.name;
    }
}
