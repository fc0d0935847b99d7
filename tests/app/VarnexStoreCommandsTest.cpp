// The Varnex commands that change the adapter's store and write it back:
// clearing objects, flashing a store from a file in either form, erasing
// both stores and backing the primary store up; for each command line and
// typed keys, the status, the text, and both stores as the chip holds them
// afterwards; refusals leave the chip unwritten.

#include "VarnexRig.h"

#include "app/engineering/VarnexFiles.h"
#include "testkit/image/GpuImageBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(VarnexWriteCommands, ClearingAsksFirstAndEmptiesOnlyClearableObjects)
{
    StoreFacts eccZero;
    eccZero.ecc.assign(4, 0);
    StoreFacts bbxZero;
    bbxZero.bbx.assign(3, 0);
    const std::string updated = "Varnex image updated successfully.";
    RunStoreCases({
        {{"--clecc"}, "y", 0, "Clean out the ECC data in primary Varnex image?", eccZero},
        {{"--clecc", "--clbbx"}, "Y", 0, updated, bbxZero},
        {{"--clearvarnex=BBX", "--auto"}, "y", 0, updated, bbxZero},
        {{"--clearvarnex=OBD"}, "y", 5, "Clear not allowed on OBD object", std::nullopt},
        {{"--clearvarnex=bbx"}, "y", 5, "Object not found in Varnex!", std::nullopt},
        {{"--clearvarnex"}, "", 5, "", std::nullopt},
        {{"--clecc"}, "n", 2, "ERROR: User aborted!", std::nullopt},
        {{"--clecc"}, "", 2, "ERROR: User aborted!", std::nullopt},
    });
}

TEST(VarnexWriteCommands, FlashFileSystemTakesOnlyAValidImageOfThisAdapter)
{
    RunStoreCases({
        {{"--flashfs=@/junk.fs"}, "", 5, "Incorrect file system image file '", std::nullopt},
        {{"--flashfs=@/raw.fs"}, "", 5, "Incorrect file system image file '", std::nullopt},
        {{"--flashfs=@/other.fs"}, "", 17, "Varnex image update failed.", std::nullopt},
        {{"--flashfs=@/image.fs.old"},
         "",
         2,
         "ERROR: Input file system image must have a *.fs extension",
         std::nullopt},
        {{"--flashvarnex=@/big.vnx", "--auto"}, "", 5, "size:12289ROM'.", std::nullopt},
    });
    CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
    const std::vector<uint8_t> fileSystem =
        testkit::CVarnexStoreBuilder()
            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
            .Bbo(5, 5, 0x5555)
            .BuildFileSystem();
    // A valid image one byte past the largest file taken is refused
    // unwritten; one of the largest size is flashed.
    std::vector<uint8_t> padded = fileSystem;
    padded.resize(kMaxFileSystemFileBytes + 1, 0xFF);
    const std::string tooLarge = rig.folder.WriteBytes("large.fs", padded);
    EXPECT_EQ(rig.Run({"--flashfs=" + tooLarge}), 5) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Incorrect file system image file '" + tooLarge + "'."));
    EXPECT_TRUE(ChipOf(rig).Programs().empty());
    padded.resize(kMaxFileSystemFileBytes);
    const std::string name = rig.folder.WriteBytes("new.FS", padded);
    EXPECT_EQ(rig.Run({"--flashfs=" + name}), 0) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Varnex file system image flashed successfully."));
    EXPECT_EQ(StoreOnChip(rig, kPrimaryBlock), ObjectsOf(CVarnexImage(fileSystem)));
    EXPECT_EQ(StoreOnChip(rig, kBackupBlock), ObjectsOf(BackupStore()));
}

// flashvarnex takes a raw-form store of this adapter of at most 12288 bytes,
// merged with the adapter's own; "invalid" passes over a file that is no
// store without writing.
TEST(VarnexWriteCommands, FlashVarnexTakesARawStoreOfThisAdapter)
{
    std::vector<uint8_t> padded = PrimaryStore();
    padded.resize(12288, 0);
    const std::vector<uint8_t> other = testkit::CVarnexStoreBuilder()
                                           .Img("G001.0001", 0x0999, 0x7E2B, 0x0001, 0x7E2B)
                                           .Bbo(5, 5, 0x5555)
                                           .BuildRaw();
    struct Case
    {
        std::vector<std::string> arguments; // "@" stands for the scratch folder
        std::string keys;
        int exit;
        std::string shown;
        bool writes;
    };
    const std::vector<Case> cases = {
        {{"--flashvarnex=@/own.vnx", "--auto"}, "", 0, "Varnex image updated successfully.", true},
        {{"--flashvarnex=@/Padded.VNX"}, "y", 0, "Varnex image updated successfully.", true},
        {{"--flashvarnex=@/own.vnx"}, "n", 2, "ERROR: User aborted!", false},
        {{"--flashvarnex=@/other.vnx", "--auto"}, "", 17, "Varnex image update failed.", false},
        {{"--flashvarnex=@/junk.vnx", "--auto"}, "", 5, "size:100XXX'.", false},
        {{"--flashvarnex=@/junk.vnx", "--auto", "--invalid"}, "", 0, "", false},
        {{"--flashvarnex=@/own.vnx.bak", "--auto"},
         "",
         2,
         "ERROR: Configuration Setting filename must have a *.vnx extension",
         false},
    };
    for (const Case& c : cases)
    {
        CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
        rig.folder.WriteBytes("own.vnx", PrimaryStore());
        rig.folder.WriteBytes("Padded.VNX", padded);
        rig.folder.WriteBytes("other.vnx", other);
        rig.folder.WriteBytes("junk.vnx", std::vector<uint8_t>(100, 'X'));
        const std::vector<std::string> arguments =
            WithFolder(c.arguments, rig.folder.Path().string());
        SCOPED_TRACE(::testing::PrintToString(arguments) + " keys " + c.keys);
        EXPECT_EQ(rig.Run(arguments, c.keys), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out + rig.err, c.shown)) << rig.out << rig.err;
        EXPECT_EQ(ChipOf(rig).Programs().empty(), !c.writes);
        EXPECT_EQ(StoreOnChip(rig, kPrimaryBlock), ObjectsOf(PrimaryStore()));
        EXPECT_EQ(StoreOnChip(rig, kBackupBlock), ObjectsOf(BackupStore()));
    }
}

TEST(VarnexWriteCommands, EraseEmptiesBothStores)
{
    CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
    EXPECT_EQ(rig.Run({"--erasevarnex"}, "y"), 0) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Varnex image erased successfully."));
    EXPECT_TRUE(StoreOnChip(rig, kPrimaryBlock).empty());
    EXPECT_TRUE(StoreOnChip(rig, kBackupBlock).empty());
    EXPECT_EQ(rig.Run({"--rdobd"}), 5);
    EXPECT_TRUE(Contains(rig.out, "Read failed: Varnex is invalid.")) << rig.out;
}

// A store with a gap between its directory and its first object reads as
// valid but has no raw form: what would be written from it is refused.
std::vector<uint8_t> StoreWithAGap()
{
    std::vector<uint8_t> raw = testkit::CVarnexStoreBuilder().Generic("BBX", {1}).BuildRaw();
    // The BBX entry points 8 bytes past the end of the directory.
    raw.insert(raw.begin() + 64, 8, 0);
    raw[17] = 72;
    return raw;
}

TEST(VarnexWriteCommands, AStoreWithoutARawFormIsNeitherBackedUpNorSaved)
{
    CEngineeringRig rig({{1, 0, 0x0800, testkit::WithVarnexBlock(RigFirmware(), StoreWithAGap())}});
    EXPECT_EQ(rig.Run({"--backupvarnex", "--auto"}), 5) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Varnex image backup failed.")) << rig.out;
    EXPECT_FALSE(Contains(rig.out, "backed up successfully")) << rig.out;
    EXPECT_TRUE(ChipOf(rig).Erases().empty());
    EXPECT_TRUE(ChipOf(rig).Programs().empty());

    const std::string saved = (rig.folder / "s.vnx").string();
    EXPECT_EQ(rig.Run({"--save=" + saved}), 5) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Configuration Data cannot be saved successfully!")) << rig.out;
    EXPECT_FALSE(std::filesystem::exists(saved));
}

// A chain that starts off the 512-byte grid (after an init-from-ROM segment
// of 0x300 bytes) gives the rebuilt Varnex block no place: the writers fail
// with their status and write nothing.
TEST(VarnexWriteCommands, ABlockThatCannotBeRebuiltIsAFailure)
{
    testkit::CGpuImageBuilder builder;
    builder.InitFromRom(0x300, 0x7E2B, 0x0001)
        .Block(testkit::CGpuImageBuilder::kX86, 0x10000)
        .DeviceId(0x0800)
        .HardwareDataArea(0x7E2B, 0x0001);
    testkit::InfoToken info;
    info.boardId = 0x0201;
    info.version = 0x86041B00;
    builder.Info(info).Version(0x86041B00, 2).VarnexBlock(PrimaryStore(), BackupStore());
    CEngineeringRig rig({{1, 0, 0x0800, builder.Build()}});
    EXPECT_EQ(rig.Run({"--erasevarnex", "--auto"}), 3) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Varnex image erase failed.")) << rig.out;
    EXPECT_EQ(rig.Run({"--backupvarnex", "--auto"}), 3) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Varnex image backup failed.")) << rig.out;
    EXPECT_TRUE(ChipOf(rig).Erases().empty());
    EXPECT_TRUE(ChipOf(rig).Programs().empty());
}

TEST(VarnexWriteCommands, BackupCopiesThePrimaryStoreIntoTheBackupBlock)
{
    CEngineeringRig rig({{1, 0, 0x0800, testkit::WithVarnexBlock(RigFirmware(), PrimaryStore())}});
    EXPECT_EQ(rig.Run({"--backupvarnex"}, "n"), 2);
    EXPECT_TRUE(ChipOf(rig).Programs().empty());
    EXPECT_EQ(rig.Run({"--backupvarnex", "--auto"}), 0) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Varnex image backed up successfully.")) << rig.out;
    EXPECT_EQ(StoreOnChip(rig, kBackupBlock), ObjectsOf(PrimaryStore()));
    EXPECT_EQ(StoreOnChip(rig, kPrimaryBlock), ObjectsOf(PrimaryStore()));
}
