// romvise --updateuefi as a process on machines of one or two adapters that
// carry a UEFI driver: what it shows, how it ends and which chips hold the
// new driver afterwards; and an update stopped by a power loss, finished by
// running it again.

#include "ProgramRun.h"

#include "image/IROMImage.h"
#include "testkit/image/UefiBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace
{
using testkit::CGpuImageBuilder;
using testkit::EfiPosition;

// A core version whose firmware takes a new driver.
constexpr uint32_t kUpdatableVersion = 0x80011000;
const char* const kNewDriverVersion = "2.0 (03.04.2026 @ 00042 )";

// A signed driver; noise that does not compress makes it larger.
std::vector<uint8_t> Driver(const std::string& version, size_t noiseBytes = 0)
{
    std::mt19937 random(1);
    std::vector<uint8_t> noise(noiseBytes);
    for (uint8_t& byte : noise)
    {
        byte = static_cast<uint8_t>(random());
    }
    return testkit::CUefiDriverBuilder()
        .BuildInfo(testkit::UefiBuildRecord(
            {{"VER", version}, {"DAT", "03.04.2026"}, {"CHG", "00042"}, {"VAR", "0204"}}))
        .Extra(noise)
        .Certificate(2, testkit::SignedDataFor("Korvan Test Signer"))
        .Build();
}

// Firmware that takes a new driver: an x86 block and the old driver.
std::vector<uint8_t> Updatable()
{
    return testkit::UefiGpuImage(EfiPosition::Public, Driver("1.0"))
        .Version(kUpdatableVersion, 1)
        .Build();
}

// Firmware of a core that takes no new driver.
std::vector<uint8_t> OfOtherCore()
{
    return testkit::UefiGpuImage(EfiPosition::Public, Driver("1.0")).Build();
}

// Firmware that passes the check but that the merge refuses: a block stands
// between the x86 block and the driver.
std::vector<uint8_t> DriverOutOfPlace()
{
    return CGpuImageBuilder()
        .Block(CGpuImageBuilder::kX86, 0x1000)
        .Version(kUpdatableVersion, 1)
        .Block(CGpuImageBuilder::kX86Extension, 0x200)
        .Block(CGpuImageBuilder::kEfi, 0x200)
        .Payload(testkit::EfiPayload(Driver("1.0")))
        .Build();
}

// The file: the new driver's EFI block alone, as a UEFI option ROM holds it;
// larger than the old driver's.
std::vector<uint8_t> UefiFile()
{
    return CGpuImageBuilder()
        .Block(CGpuImageBuilder::kEfi, 0x200)
        .Payload(testkit::EfiPayload(Driver("2.0", 0x1000)))
        .Build();
}

std::string DriverVersionOf(const std::vector<uint8_t>& chip)
{
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(chip.data(), static_cast<uint32_t>(chip.size()));
    return image->GetUEFIVersion();
}

enum class DriverAfter
{
    AsMade,
    NewDriver,
    Unknown, // partly written: not looked at
};

struct UefiRow
{
    const char* name;
    std::vector<std::vector<uint8_t>> firmware; // one per GPU
    const char* arguments;
    const char* keys;
    int exitCode;
    std::vector<std::string> shown;
    std::vector<std::string> notShown;
    std::vector<DriverAfter> chips;
    const char* machineOptions = "";
    // The first adapter's update record stays after the run.
    bool recordKept = false;
    // In the log file run.log (the row's arguments name it).
    std::vector<std::string> logged = {};
};

// Rows of the results table: matched and flashed marks, then the name.
const char* const kRow0Flashed = "  <00>     *       *     Korvan Avrel2 800";
const char* const kRow0Matched = "  <00>     *             Korvan Avrel2 800";
const char* const kRow1Flashed = "  <01>     *       *     Korvan Avrel2 800";
const char* const kRow1Unmatched = "  <01>                   Korvan Avrel2 800";
const char* const kUefiPrompt =
    "Do not power down your PC while the EEPROM is being updated, or the EEPROM will be "
    "corrupted.\n\nPress 'y' to confirm ('s' to skip, any other key to abort):  \n";
const char* const kNotFlashed = "Error: Incompatible ROM and EFI image. Did not flash.";
const char* const kUnsupportedCard = "This graphics card does not support this firmware update.";
const char* const kCompleted = "Firmware update process is completed.";
} // namespace

TEST(EngineeringUefi, UpdateTable)
{
    using enum DriverAfter;
    const std::vector<uint8_t> updatable = Updatable();
    // A stuck byte past the old driver, where the new, larger one is written:
    // the programming fails once it has begun.
    std::ostringstream stuckInNewDriver;
    stuckInNewDriver << "--fault stuck-bits=" << std::hex << updatable.size() + 0x100 << ":FF:00";
    const std::string stuckOption = stuckInNewDriver.str();
    const std::vector<UefiRow> rows = {
        {"both adapters take the driver",
         {updatable, updatable},
         "--log=run.log --updateuefi d.efirom",
         "yyy",
         0,
         {"Adapter: Korvan Avrel2 800\n\n", "Match found:", kUefiPrompt, kRow0Flashed,
          kRow1Flashed, kCompleted},
         // The versions go to the log only.
         {kNotFlashed, "Current      - Version: ", "Replace with - UEFI Version: "},
         {NewDriver, NewDriver},
         "",
         false,
         {"Current      - Version: ", "Replace with - UEFI Version: 2.0 (03.04.2026 @ 00042 )"}},
        {"a skipped adapter is matched, not flashed",
         {updatable, updatable},
         "--updateuefi d.efirom",
         "ysy",
         0,
         {kRow0Matched, kRow1Flashed, kCompleted},
         {},
         {AsMade, NewDriver}},
        {"the second adapter's firmware takes no driver: the command ends",
         {updatable, OfOtherCore()},
         "--updateuefi d.efirom",
         "yy",
         2,
         {"Cannot update UEFI: Cannot update: Image is not a Vove80 or Vezo70. [ Read as Core00]",
          kRow0Flashed, kRow1Unmatched, "\nERROR: Unsupported UEFI file.\n"},
         {},
         {NewDriver, AsMade}},
        {"a refusal before writing passes on to the next adapter",
         {DriverOutOfPlace(), updatable},
         "--updateuefi d.efirom",
         // The refusal gives the display driver back: the next adapter asks
         // for it again.
         "yyyy",
         0,
         {kNotFlashed, kRow0Matched, kRow1Flashed, kCompleted},
         {"ERROR: "},
         {AsMade, NewDriver}},
        {"a failure once programming began ends with the table and no claim",
         {updatable},
         "--updateuefi d.efirom",
         "y",
         2,
         {kRow0Matched, "\nERROR: Mismatch in 256 byte page-mode programming\n"},
         {kNotFlashed, "Nothing changed!", kCompleted},
         {Unknown},
         stuckOption.c_str(),
         true},
        {"no adapter can be updated",
         {std::vector<uint8_t>(0x1000, 0xFF)},
         "--updateuefi d.efirom",
         "",
         1,
         {kUnsupportedCard, "Nothing changed!"},
         {"Results:"},
         {AsMade}},
        {"low power is refused before any adapter",
         {updatable},
         "--updateuefi d.efirom",
         "",
         2,
         {"\nERROR: EEPROM updating prevented due to no AC power detected and battery level "
          "below 35%\n"},
         {"Adapter: "},
         {AsMade},
         "--battery 20"},
        {"an override is refused before any adapter",
         {updatable},
         "--override=1 --updateuefi d.efirom",
         "",
         2,
         {"\nERROR: EEPROM override not allowed for write operations\n"},
         {"Adapter: "},
         {AsMade}},
        {"no file",
         {updatable},
         "--updateuefi",
         "",
         2,
         {"\nERROR: No filename specified.\n    Usage: romvise_eng --updateuefi <filename>\n"},
         {"Adapter: "},
         {AsMade}},
        {"a file of another type",
         {updatable},
         "--updateuefi d.rom",
         "",
         2,
         {"\nERROR: Filename must have a valid extension. [ .efirom .efr ]\n"},
         {"Adapter: "},
         {AsMade}},
    };
    const std::vector<uint8_t> uefiFile = UefiFile();
    for (const UefiRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        CProgramFolder folder;
        folder.MakeMachine(row.firmware, row.machineOptions);
        folder.WriteFile("d.efirom", uefiFile);
        folder.WriteFile("d.rom", uefiFile);
        const ProgramResult run = folder.Romvise(row.arguments, row.keys);
        const std::string all = run.out + run.err;
        EXPECT_EQ(run.exitCode, row.exitCode) << all;
        ExpectTexts(all, row.shown, row.notShown);
        const std::vector<uint8_t> log = folder.ReadFile("run.log");
        ExpectTexts(std::string(log.begin(), log.end()), row.logged, {});
        EXPECT_EQ(std::filesystem::exists(folder.PathOf(kRecordName)), row.recordKept);
        for (size_t i = 0; i < row.chips.size(); ++i)
        {
            SCOPED_TRACE("chip " + std::to_string(i));
            const std::vector<uint8_t> chip = folder.Chip(i);
            if (row.chips[i] == NewDriver)
            {
                EXPECT_EQ(DriverVersionOf(chip), kNewDriverVersion);
            }
            else if (row.chips[i] == AsMade)
            {
                EXPECT_TRUE(ChipHolds(chip, row.firmware[i]));
            }
        }
    }
}

namespace
{
// Runs the update from `uefiFile` on one GPU that starts with `firmware`,
// with the machine's `options`.
ProgramResult UpdateOneGpu(CProgramFolder& folder, const std::vector<uint8_t>& uefiFile,
                           const std::vector<uint8_t>& firmware, const std::string& options = "")
{
    folder.MakeMachine({firmware}, options);
    folder.WriteFile("d.efirom", uefiFile);
    return folder.Romvise("--updateuefi d.efirom", "y");
}
} // namespace

// Stopped after any of its programs or erases of the chip, the update is
// finished by running it again: the driver goes into the firmware the chip
// held before, and the chip ends byte for byte as an update never stopped
// leaves it.
TEST(EngineeringUefi, UpdateStoppedByPowerLossIsFinishedByRunningItAgain)
{
    // Each file made signs with a fresh key: one file serves every run.
    const std::vector<uint8_t> uefiFile = UefiFile();
    const std::vector<uint8_t> updatable = Updatable();
    std::vector<uint8_t> expected;
    {
        CProgramFolder folder;
        const ProgramResult run = UpdateOneGpu(folder, uefiFile, updatable);
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        expected = folder.Chip(0);
        ASSERT_EQ(DriverVersionOf(expected), kNewDriverVersion);
    }
    for (const std::string stop : {"--stop-after-programs", "--stop-after-erases"})
    {
        for (int k = 1;; ++k)
        {
            SCOPED_TRACE(stop + " " + std::to_string(k));
            CProgramFolder folder;
            ProgramResult run =
                UpdateOneGpu(folder, uefiFile, updatable, stop + " " + std::to_string(k));
            if (run.exitCode == 0)
            {
                ASSERT_GT(k, 1) << "the update stopped at no operation";
                break; // the update finished before the k-th operation
            }
            ASSERT_EQ(run.exitCode, kStoppedExitCode) << run.out << run.err;
            EXPECT_FALSE(Contains(run.out, kCompleted)) << run.out;
            EXPECT_TRUE(std::filesystem::exists(folder.PathOf(kRecordName)))
                << "the stopped run's record";
            PowerBackOn(folder);
            run = folder.Romvise("--updateuefi d.efirom", "y");
            EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
            EXPECT_TRUE(Contains(run.out, "NOTE: The last update of this display adapter did not "
                                          "finish; it will be updated again from the firmware it "
                                          "held before.\n"))
                << run.out;
            EXPECT_TRUE(folder.Chip(0) == expected);
            EXPECT_FALSE(std::filesystem::exists(folder.PathOf(kRecordName)));
        }
    }
}

// A record that does not explain what the chip holds (another firmware put in
// after the stop) is refused as the flash refuses it: the chip and the record
// stay as they were.
TEST(EngineeringUefi, ARecordThatDoesNotExplainTheChipIsRefused)
{
    CProgramFolder folder;
    ASSERT_EQ(UpdateOneGpu(folder, UefiFile(), Updatable(), "--stop-after-programs 2").exitCode,
              kStoppedExitCode);
    const std::vector<uint8_t> record = folder.ReadFile(kRecordName);
    const std::vector<uint8_t> other = testkit::UefiGpuImage(EfiPosition::Public, Driver("1.5"))
                                           .Version(kUpdatableVersion, 1)
                                           .Build();
    folder.MakeMachine({other});
    folder.WriteFile(kRecordName, record);

    const ProgramResult run = folder.Romvise("--updateuefi d.efirom", "y");
    EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "\nERROR: The update record " + folder.PathOf(kRecordName) +
                                      " cannot be used: it does not match this adapter's EEPROM. "
                                      "The display adapter is not updated; the record is kept.\n"))
        << run.err;
    EXPECT_FALSE(Contains(run.out, kCompleted)) << run.out;
    EXPECT_TRUE(ChipHolds(folder.Chip(0), other));
    EXPECT_TRUE(folder.ReadFile(kRecordName) == record);
}
