// romuvise's backup and restore files as processes on simulated machines:
// a restore only onto the board the file was saved from, a backup after an
// update that did not finish, backup files created anew and never left half
// written, and machines made afresh without the records of earlier runs.

#include "ProgramRun.h"

#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace
{
std::vector<uint8_t> StoreWithSerial(const std::string& serial)
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Obd("900-10800-0000-A01", "Board Of The Adapter", serial)
        .BuildRaw();
}

std::vector<uint8_t> WithTrailer(std::vector<uint8_t> firmware, const std::vector<uint8_t>& package)
{
    const std::vector<uint8_t> trailer = TrailerOf(package);
    firmware.insert(firmware.end(), trailer.begin(), trailer.end());
    return firmware;
}
} // namespace

// The backup is taken from one board; then the board in the slot is another
// of the same model (boards swapped between slots), or the same one.
TEST(BackupRun, RestoreOnlyOntoTheBoardTheFileWasSavedFrom)
{
    struct Case
    {
        const char* name;
        FirmwareSpec saved;
        FirmwareSpec inSlot;
        // Empty when the restore goes ahead.
        std::string refused;
    };
    const std::vector<uint8_t> boardA = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x11, 0x22, 0x33};
    const std::vector<uint8_t> boardB = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x44, 0x55, 0x66};
    const std::vector<Case> cases = {
        {"another board's 0x85 block", {.boardBlock = boardA}, {.boardBlock = boardB},
         "0x85 block"},
        {"another board's GUID", {.guid = 0x0011223344556677}, {.guid = 0x0011223344556688},
         "IEEE 1394 GUID"},
        {"another board's Varnex serial number", {.varnexStore = StoreWithSerial("SN-A")},
         {.varnexStore = StoreWithSerial("SN-B")}, "Varnex serial number"},
        {"all three", {.boardBlock = boardA, .varnexStore = StoreWithSerial("SN-A"), .guid = 1},
         {.boardBlock = boardB, .varnexStore = StoreWithSerial("SN-B"), .guid = 2},
         "0x85 block, IEEE 1394 GUID, Varnex serial number"},
        {"the same board", {.boardBlock = boardA, .varnexStore = StoreWithSerial("SN-A"), .guid = 1},
         {.version = 0x86041A00, .boardBlock = boardA, .varnexStore = StoreWithSerial("SN-A"),
          .guid = 1},
         ""},
        {"a board built without a 0x85 block", {.boardBlock = boardA},
         {.version = 0x86041A00}, "0x85 block"},
        {"a board whose firmware carries no GUID or Varnex store",
         {.varnexStore = StoreWithSerial("SN-A"), .guid = 1}, {.version = 0x86041A00}, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
        folder.MakeMachine({MakeFirmware(c.saved)});
        ASSERT_EQ(folder.Updater("-b", "").exitCode, 0);
        folder.MakeMachine({MakeFirmware(c.inSlot)});

        const ProgramResult run = folder.Updater("-r", "y");
        if (c.refused.empty())
        {
            EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
            EXPECT_TRUE(Contains(run.out, "Update successful.")) << run.out;
            continue;
        }
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "\nERROR: Restore refused: ./image000.bkr holds another board's data (" +
                               c.refused +
                               "); the display adapter at S:00,B:01,D:00,F:00 was not written.\n" +
                               kSupportParagraph);
        EXPECT_FALSE(Contains(run.out, "CONFIRM"));
        EXPECT_TRUE(ChipHolds(folder.Chip(0), MakeFirmware(c.inSlot))) << "nothing written";
    }
}

// Firmware that fills the whole 3 MiB image buffer makes a backup file
// larger than any firmware file: the file and its trailer are still read
// whole, and every block of the firmware before the trailer is checked, the
// one that ends at the buffer's end too. The simulated parts hold 1 MiB at
// most, so the engine, handed the whole image, finds that it does not fit
// the part before it writes anything.
TEST(BackupRun, ABackupOfAWholeImageBufferPassesTheRestoresChecks)
{
    CProgramFolder folder;
    const std::vector<uint8_t> package = MakeFirmware(kNewer);
    ASSERT_EQ(folder.Stamp(package).exitCode, 0);
    folder.MakeMachine({MakeFirmware()});
    folder.WriteFile("image000.bkr", WithTrailer(MakeFirmware({.length = 0x300000}), package));

    const ProgramResult run = folder.Updater("-r", "y");
    EXPECT_TRUE(Contains(run.out, "Found display adapter for firmware restore.\n")) << run.out;
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "\nERROR: Cannot program a non-page boundary or invalid range for EEPROM.\n" +
                           kSupportParagraph);
    EXPECT_TRUE(ChipHolds(folder.Chip(0), MakeFirmware()));
}

// A backup after a stopped update saves the firmware the board held, which
// the update record keeps, and says so.
TEST(BackupRun, BackupAfterAStoppedUpdateSavesTheRecordsContent)
{
    CProgramFolder folder;
    const std::vector<uint8_t> package = MakeFirmware(kNewer);
    ASSERT_EQ(folder.Stamp(package).exitCode, 0);
    const std::vector<uint8_t> original = MakeFirmware();
    folder.MakeMachine({original}, "--stop-after-erases 1");
    ASSERT_EQ(folder.Updater("", "y").exitCode, kStoppedExitCode);
    ASSERT_FALSE(ChipHolds(folder.Chip(0), original)) << "the stop left the chip half written";
    ASSERT_TRUE(std::filesystem::exists(folder.PathOf(kRecordName)));

    // A backup does not erase: the machine's stop is never reached.
    const ProgramResult run = folder.Updater("-b", "");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "NOTE: The last update of this display adapter did not finish; "
                                  "the backup saves the firmware it held before.\n"))
        << run.out;
    EXPECT_TRUE(folder.ReadFile("image000.bkr") == WithTrailer(original, package));
    EXPECT_TRUE(std::filesystem::exists(folder.PathOf(kRecordName))) << "a backup keeps records";
}

TEST(BackupRun, BackupFilesAreCreatedAnewAndNeverLeftHalfWritten)
{
    CProgramFolder folder;
    const std::vector<uint8_t> package = MakeFirmware(kNewer);
    ASSERT_EQ(folder.Stamp(package).exitCode, 0);
    folder.MakeMachine({MakeFirmware()});

    // A link in the file's place, even one to nothing, is not written through.
    std::filesystem::create_symlink(folder.PathOf("elsewhere.bin"), folder.PathOf("image000.bkr"));
    ProgramResult run = folder.Updater("-b", "");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.err, "\nI/O ERROR: Backup file already exists: ./image000.bkr\n" + kSupportParagraph);
    EXPECT_FALSE(std::filesystem::exists(folder.PathOf("elsewhere.bin")));
    std::filesystem::remove(folder.PathOf("image000.bkr"));

    // A file system that takes only 32 KiB of the file (the shell's limit on
    // the size of the files the program writes, counted in 512-byte blocks).
    run = folder.Run("sh -c \"trap '' XFSZ; ulimit -f 64; exec ./romuvise -b\"");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.err, "\nI/O ERROR: Error writing backup file ./image000.bkr: File too large; the "
                       "partial file was removed.\n" +
                           kSupportParagraph);
    EXPECT_FALSE(std::filesystem::exists(folder.PathOf("image000.bkr")));

    // Nothing is left to block the next backup.
    run = folder.Updater("-b", "");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(folder.ReadFile("image000.bkr") == WithTrailer(MakeFirmware(), package));
}

// Making a machine again starts it afresh: the records an unfinished update
// left beside the machine file go too.
TEST(BackupRun, AMachineMadeAgainHasNoUnfinishedUpdate)
{
    CProgramFolder folder;
    ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
    folder.MakeMachine({MakeFirmware()}, "--stop-after-erases 1");
    ASSERT_EQ(folder.Updater("", "y").exitCode, kStoppedExitCode);
    ASSERT_TRUE(std::filesystem::exists(folder.PathOf(kRecordName)));

    folder.MakeMachine({MakeFirmware()});
    EXPECT_FALSE(std::filesystem::exists(folder.PathOf(kRecordName)));
    const ProgramResult run = folder.Updater("", "y");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(Contains(run.out, "did not finish")) << run.out;
}
