// romvise as a process running the Varnex and board-data commands that read
// an adapter's stores into files, in order on one machine: each row's exit
// code, text and file, and the chip left as it was.

#include "ProgramRun.h"

#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexImage.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace
{
// A retired page of the dynamic kind, which a repair carries into the backup.
constexpr uint64_t kDynamicPage = uint64_t{2} << 29 | 0x3000;

testkit::CVarnexStoreBuilder PrimaryStoreBuilder()
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Obd("900-10800-0000-A01", "Board Of The Adapter", "SN-ADAPTER-42")
        .Oem({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})
        .Bbo(7, 2, 0xBEEF)
        .Pbl(2, 1, {0x1000, kDynamicPage}, {0x2000, kDynamicPage})
        .Generic("BBX", {1, 2, 3})
        .Ecc({9, 9, 9, 9});
}

std::vector<uint8_t> PrimaryStore()
{
    return PrimaryStoreBuilder().BuildRaw();
}

std::vector<uint8_t> BackupStore()
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Pbl(2, 1, {0x1000}, {0x2000})
        .BuildRaw();
}

std::string Text(const std::vector<uint8_t>& bytes)
{
    return {bytes.begin(), bytes.end()};
}

struct Row
{
    const char* arguments;
    int exitCode;
    std::string shown;
    const char* file = "";         // written by the row
    std::vector<std::string> held; // parts of the file's text
};
} // namespace

TEST(VarnexCommandsRun, ReadingCommandsOnOneMachine)
{
    const std::vector<uint8_t> firmware =
        MakeFirmware({.varnexStore = PrimaryStore(), .varnexBackup = BackupStore()});
    const std::vector<Row> rows = {
        {"--rdbbo b.txt",
         0,
         "BBO data saved successfully!",
         "b.txt",
         {"ID: 7\n", "Revision: 2\n", "Value: 48879\n"}},
        {"--rdbbo /dev/full", 3, "Unable to save BBO Data to file!", "", {}},
        {"--rdobd=o.csv,csv",
         0,
         "OBD Configuration Data saved successfully",
         "o.csv",
         {"MarketingName,Board Of The Adapter,\n", "BoardSerialNumber,SN-ADAPTER-42,\n"}},
        {"--rdoem oem.bin",
         0,
         "OEM Configuration Data saved successfully!",
         "oem.bin",
         {"\x11\x22\x33\x44\x55\x66\x77\x88"}},
        {"--rdobj=obd,obd.bin", 0, "OBD data saved successfully.", "obd.bin", {"OBD"}},
        {"--save saved.vnx", 0, "Configuration Data saved successfully!", "saved.vnx", {"ROM"}},
        {"--savefs dump.fs", 0, "File system image dumped successfully!", "dump.fs", {"ROM"}},
        {"--createfs s.vnx", 0, "FS Image saved successfully in s.fs", "s.fs", {"JFFS"}},
        {"--createfs big.vnx",
         5,
         "Incorrect Configuration Setting file format 'big.vnxsize:12289ROM'.",
         "",
         {}},
    };
    CProgramFolder folder;
    folder.MakeMachine({firmware});
    std::vector<uint8_t> big(12289, 0);
    big[0] = 'R';
    big[1] = 'O';
    big[2] = 'M';
    folder.WriteFile("big.vnx", big);
    folder.WriteFile("s.vnx", PrimaryStore());
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.arguments);
        const ProgramResult run = folder.Romvise(row.arguments);
        const std::string all = run.out + run.err;
        EXPECT_EQ(run.exitCode, row.exitCode) << all;
        EXPECT_TRUE(Contains(all, row.shown)) << all;
        const std::string text = *row.file ? Text(folder.ReadFile(row.file)) : "";
        for (const std::string& part : row.held)
        {
            EXPECT_TRUE(Contains(text, part)) << "missing: " << part;
        }
        EXPECT_TRUE(ChipHolds(folder.Chip(0), firmware));
    }
    // The saved store is the primary store as the firmware holds it, raw form.
    EXPECT_EQ(folder.ReadFile("saved.vnx"), PrimaryStore());
}

TEST(VarnexCommandsRun, FirmwareWithoutAStore)
{
    const std::vector<uint8_t> firmware = MakeFirmware();
    CProgramFolder folder;
    folder.MakeMachine({firmware});
    for (const std::string file : {"oem.bin", "s.vnx"})
    {
        SCOPED_TRACE(file);
        const ProgramResult run =
            folder.Romvise((file == "s.vnx" ? "--save " : "--rdoem ") + file);
        EXPECT_EQ(run.exitCode, 16);
        EXPECT_TRUE(Contains(run.out, "Varnex image is not present")) << run.out;
        EXPECT_TRUE(folder.ReadFile(file).empty());
        EXPECT_TRUE(ChipHolds(folder.Chip(0), firmware));
    }
}

TEST(VarnexCommandsRun, WritingCommandsOnOneMachine)
{
    struct WriteRow
    {
        const char* arguments;
        const char* keys;
        int exitCode;
        std::string shown;
        bool changesChip;
    };
    const std::vector<WriteRow> rows = {
        {"--wrbbo id=3.1 value=0x1234 --force", "", 0, "Varnex image updated successfully.", true},
        {"--wrbbo id=300.1 value=5 --force", "", 2, "ERROR: Invalid value \"300\" for --wrbbo.",
         false},
        {"--rdbbo b.txt", "", 0, "BBO data saved successfully!", false},
        {"--flashvarnex big.vnx --auto", "", 5,
         "Incorrect Configuration Setting file format 'big.vnxsize:12289ROM'.", false},
        {"--flashfs junk.fs", "", 5, "Incorrect file system image file 'junk.fs'.", false},
        {"--clecc", "y", 0, "Varnex image updated successfully.", true},
        {"--romin=f.rom --wrbbo id=1.1 value=1 --force", "", 2,
         "ERROR: Option --romin needs --romout.", false},
        {"--romin=f.rom --romout=g.rom --wrbbo id=1.1 value=1 --force", "", 0, "", false},
        {"--flashfs primary.fs", "", 0, "Varnex file system image flashed successfully.", true},
        {"--repairvarnex --auto", "", 0, "Varnex image repaired successfully.", true},
        {"--erasevarnex", "y", 0, "Varnex image erased successfully.", true},
        {"--rdobd", "", 5, "Read failed: Varnex is invalid.", false},
    };
    const std::vector<uint8_t> firmware =
        MakeFirmware({.varnexStore = PrimaryStore(), .varnexBackup = BackupStore()});
    CProgramFolder folder;
    folder.MakeMachine({firmware});
    std::vector<uint8_t> big(12289, 0);
    std::copy_n("ROM", 3, big.begin());
    folder.WriteFile("big.vnx", big);
    folder.WriteFile("junk.fs", std::vector<uint8_t>(4096, 0x5A));
    folder.WriteFile("f.rom", firmware);
    folder.WriteFile("primary.fs", PrimaryStoreBuilder().BuildFileSystem());
    for (const WriteRow& row : rows)
    {
        SCOPED_TRACE(row.arguments);
        const std::vector<uint8_t> before = folder.Chip(0);
        const ProgramResult run = folder.Romvise(row.arguments, row.keys);
        const std::string all = run.out + run.err;
        EXPECT_EQ(run.exitCode, row.exitCode) << all;
        EXPECT_TRUE(Contains(all, row.shown)) << all;
        EXPECT_EQ(folder.Chip(0) != before, row.changesChip);
    }
    EXPECT_EQ(Text(folder.ReadFile("b.txt")), "ID: 3\nRevision: 1\nValue: 4660\n");
    // The --romout file carries the edit; the adapter kept its own firmware.
    const std::vector<uint8_t> written = folder.ReadFile("g.rom");
    EXPECT_TRUE(Contains(Text(written), std::string("BBO")));
    EXPECT_NE(written, firmware);
}

TEST(VarnexCommandsRun, LowPowerRefusesAWriter)
{
    const std::vector<uint8_t> firmware =
        MakeFirmware({.varnexStore = PrimaryStore(), .varnexBackup = BackupStore()});
    CProgramFolder folder;
    folder.MakeMachine({firmware}, "--battery 20");
    const ProgramResult run = folder.Romvise("--wrbbo id=1.1 value=1 --force");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(Contains(run.err, "\nERROR: EEPROM updating prevented due to no AC power"))
        << run.err;
    EXPECT_TRUE(ChipHolds(folder.Chip(0), firmware));
}
