// The Varnex and board-data commands that change the adapter's store: for
// each command line and typed keys, the status, the text, and both stores as
// the chip holds them afterwards; refusals leave the chip unwritten.

#include "VarnexRig.h"

#include "app/engineering/VarnexFiles.h"
#include "testkit/image/GpuImageBuilder.h"

#include "core/TextHelpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace
{
struct Case
{
    std::vector<std::string> arguments; // "@" stands for the scratch folder
    std::string keys;
    int exit;
    std::string shown;               // in standard output or error
    std::optional<StoreFacts> after; // none: nothing written
};

void RunCases(const std::vector<Case>& cases, bool lowPower = false)
{
    for (const Case& c : cases)
    {
        CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}}, lowPower);
        rig.folder.WriteBytes("four.oem", std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4});
        rig.folder.WriteBytes("long.oem", std::vector<uint8_t>(9, 0xA5));
        rig.folder.WriteBytes("junk.fs", std::vector<uint8_t>(4096, 0x5A));
        rig.folder.WriteBytes("raw.fs", PrimaryStore());
        rig.folder.WriteBytes("new.fs", testkit::CVarnexStoreBuilder()
                                            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
                                            .Bbo(5, 5, 0x5555)
                                            .BuildFileSystem());
        rig.folder.WriteBytes("other.fs", testkit::CVarnexStoreBuilder()
                                              .Img("G001.0001", 0x0999, 0x7E2B, 0x0001, 0x7E2B)
                                              .Bbo(5, 5, 0x5555)
                                              .BuildFileSystem());
        std::vector<uint8_t> big(12289, 0);
        std::copy_n("ROM", 3, big.begin());
        rig.folder.WriteBytes("big.vnx", big);
        rig.folder.WriteBytes("f.rom", FirmwareWithStores());
        const std::vector<std::string> arguments =
            WithFolder(c.arguments, rig.folder.Path().string());
        SCOPED_TRACE(::testing::PrintToString(arguments) + " keys " + c.keys);
        EXPECT_EQ(rig.Run(arguments, c.keys), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out + rig.err, c.shown)) << rig.out << rig.err;
        if (!c.after)
        {
            EXPECT_TRUE(ChipOf(rig).Erases().empty());
            EXPECT_TRUE(ChipOf(rig).Programs().empty());
            continue;
        }
        EXPECT_EQ(StoreOnChip(rig, kPrimaryBlock), ObjectsOf(PrimaryStore(*c.after)));
        EXPECT_EQ(StoreOnChip(rig, kBackupBlock), ObjectsOf(BackupStore()));
    }
}

StoreFacts Bbo(uint8_t id, uint8_t revision, uint16_t value)
{
    StoreFacts facts;
    facts.bboId = id;
    facts.bboRevision = revision;
    facts.bboValue = value;
    return facts;
}
} // namespace

TEST(VarnexWriteCommands, WriteBboReadsBothPiecesWholeBeforeAsking)
{
    const std::string updated = "Varnex image updated successfully.";
    RunCases({
        {{"--wrbbo", "id=3.1", "value=0x1234", "--force"}, "", 0, updated, Bbo(3, 1, 0x1234)},
        {{"--wrbbo", "value=0x1234", "id=3.1", "--force"}, "", 0, updated, Bbo(3, 1, 0x1234)},
        {{"--wrbbo", "id=010.0xFF", "value=65535", "--force"}, "", 0, updated, Bbo(8, 255, 0xFFFF)},
        {{"--wrbbo", "id=3.1", "value=5", "--auto"}, "y", 0, "Update BBO data?", Bbo(3, 1, 5)},
        {{"--wrbbo", "id=300.1", "value=5", "--force"},
         "",
         2,
         "ERROR: Invalid value \"300\" for --wrbbo.",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "value=0x12345", "--force"},
         "",
         2,
         "ERROR: Invalid value \"0x12345\" for --wrbbo.",
         std::nullopt},
        {{"--wrbbo", "id=3.1x", "value=1", "--force"},
         "",
         2,
         "ERROR: Invalid value \"1x\"",
         std::nullopt},
        {{"--wrbbo", "id=3", "value=5", "--force"},
         "",
         2,
         "ERROR: Unrecognized format for \"id\" argument.",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "val=5", "--force"},
         "",
         2,
         "ERROR: Unrecognized argument",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "value", "--force"},
         "",
         2,
         "ERROR: Unrecognized argument",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "--force"},
         "",
         2,
         "ERROR: Missing arguments for wrbbo command.",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "value=5"}, "n", 2, "ERROR: Aborted!", std::nullopt},
        {{"--wrbbo", "id=3.1", "value=5"}, "", 2, "ERROR: Aborted!", std::nullopt},
        {{"--romin=@/f.rom", "--wrbbo", "id=1.1", "value=1", "--force"},
         "",
         2,
         "ERROR: Option --romin needs --romout.",
         std::nullopt},
    });
}

// A question declined before a write gives the display back before the run
// reports the abort: in the log the restore comes ahead of the error.
TEST(VarnexWriteCommands, ADeclinedWriteGivesTheDisplayBackBeforeTheAbortIsReported)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--backupvarnex"}, "ERROR: Aborted!"},
        {{"--wrbbo", "id=3.1", "value=5"}, "ERROR: Aborted!"},
        {{"--clecc"}, "ERROR: User aborted!"},
    };
    for (const auto& [arguments, error] : cases)
    {
        SCOPED_TRACE(arguments.front());
        CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
        const std::filesystem::path logFile = rig.folder / "run.log";
        std::vector<std::string> words = arguments;
        words.push_back("--log=" + logFile.string());
        EXPECT_EQ(rig.Run(words, "n"), 2) << rig.out << rig.err;
        std::ifstream file(logFile);
        const std::string log{std::istreambuf_iterator<char>(file), {}};
        const size_t restored = log.find("Restore the KR driver state automatically");
        ASSERT_NE(restored, std::string::npos) << log;
        EXPECT_LT(restored, log.find(error)) << log;
    }
}

TEST(VarnexWriteCommands, LowPowerRefusesAWriterUnlessOnlyAFileIsWritten)
{
    RunCases({{{"--wrbbo", "id=1.1", "value=1", "--force"}, "", 2, "ERROR: ", std::nullopt}}, true);
    CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}}, true);
    const std::string in = rig.folder.WriteBytes("f.rom", FirmwareWithStores());
    const std::string out = (rig.folder / "g.rom").string();
    EXPECT_EQ(
        rig.Run({"--romin=" + in, "--romout=" + out, "--wrbbo", "id=1.1", "value=1", "--force"}), 0)
        << rig.out << rig.err;
    EXPECT_TRUE(ChipOf(rig).Programs().empty());
    EXPECT_TRUE(std::filesystem::exists(out));
}

// Every command that changes the store is refused on low power, with
// --override, or with --romin alone, before any adapter is looked at.
TEST(VarnexWriteCommands, EveryWriterIsRefusedBeforeTheAdapterIsSelected)
{
    const std::vector<std::vector<std::string>> writers = {
        {"--wroem=four.oem"},         {"--wrobd=o.csv"},
        {"--erasevarnex"},            {"--clpbl"},
        {"--clearvarnex=BBX"},        {"--clbbx"},
        {"--clecc"},                  {"--repairvarnex"},
        {"--wrbbo", "id=1.1", "value=1"}, {"--recovervarnex"},
        {"--wrkrpn=1234"},            {"--addpp=TGP,limitRated,5"},
        {"--delpp=TGP,limitRated"},   {"--backupvarnex"},
        {"--flashfs=new.fs"},         {"--flashvarnex=s.vnx"},
    };
    struct Refusal
    {
        std::vector<std::string> words;
        bool lowPower;
        std::string shown;
    };
    const std::vector<Refusal> refusals = {
        {{}, true, "\nERROR: EEPROM updating prevented due to no AC power"},
        {{"--override=1"}, false, "ERROR: EEPROM override not allowed for write operations"},
        {{"--romin=f.rom"}, false, "ERROR: Option --romin needs --romout."},
    };
    for (const Refusal& refusal : refusals)
    {
        for (const std::vector<std::string>& writer : writers)
        {
            SCOPED_TRACE(writer.front() + " " + refusal.shown);
            CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}}, refusal.lowPower);
            std::vector<std::string> words = writer;
            words.insert(words.end(), refusal.words.begin(), refusal.words.end());
            words.push_back("--auto");
            EXPECT_EQ(rig.Run(words), 2) << rig.out << rig.err;
            EXPECT_TRUE(Contains(rig.err, refusal.shown)) << rig.err;
            EXPECT_EQ(rig.HardwareAccesses(), 0u);
        }
    }
}

TEST(VarnexWriteCommands, ClearingAsksFirstAndEmptiesOnlyClearableObjects)
{
    StoreFacts eccZero;
    eccZero.ecc.assign(4, 0);
    StoreFacts bbxZero;
    bbxZero.bbx.assign(3, 0);
    const std::string updated = "Varnex image updated successfully.";
    RunCases({
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

TEST(VarnexWriteCommands, OemDataIsBoundedByTheObjectsBody)
{
    StoreFacts padded;
    padded.oem = {0xA1, 0xA2, 0xA3, 0xA4, 0, 0, 0, 0};
    RunCases({
        {{"--wroem=@/four.oem", "--auto"}, "", 0, "Varnex image updated successfully.", padded},
        {{"--wroem=@/long.oem", "--auto"},
         "",
         5,
         "Incorrect Configuration Setting file '",
         std::nullopt},
        {{"--wroem=@/missing.oem", "--auto"},
         "",
         5,
         "Incorrect Configuration Setting file '",
         std::nullopt},
        {{"--wroem=@/four.oem"}, "q", 2, "ERROR: Aborted!", std::nullopt},
        {{"--wrobd=@/missing.csv", "--auto"}, "", 5,
         "Failed to parse Configuration Setting file '", std::nullopt},
        {{"--wrobd=@/four.oem", "--auto"}, "", 2, "ERROR: ", std::nullopt},
    });
}

// wrobd changes the named field and nothing else; a settings file past the
// size such a file may have is refused before it is parsed.
TEST(VarnexWriteCommands, ObdFieldsComeFromABoundedSettingsFile)
{
    const std::string row = "BoardSerialNumber,SN-NEW-7\n";
    std::string huge;
    while (huge.size() <= (1u << 20))
    {
        huge += row;
    }
    struct Case
    {
        std::string text;
        int exit;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {row, 0, "Varnex image updated successfully."},
        {huge, 5, "Failed to parse Configuration Setting file '"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.exit);
        CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
        const std::string file = rig.folder.WriteText("o.csv", c.text);
        EXPECT_EQ(rig.Run({"--wrobd=" + file, "--auto"}), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out, c.shown)) << rig.out;
        ObjectMap objects = StoreOnChip(rig, kPrimaryBlock);
        ObjectMap expected = ObjectsOf(PrimaryStore());
        EXPECT_EQ(objects.at("OBD") != expected.at("OBD"), c.exit == 0);
        objects.erase("OBD");
        expected.erase("OBD");
        EXPECT_EQ(objects, expected);
        ASSERT_EQ(rig.Run({"--rdobd"}), 0);
        EXPECT_EQ(Contains(rig.out, "BoardSerialNumber: SN-NEW-7\n"), c.exit == 0) << rig.out;
    }
}

TEST(VarnexWriteCommands, FlashFileSystemTakesOnlyAValidImageOfThisAdapter)
{
    RunCases({
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

TEST(PowerPolicyCommands, EditsReachTheChipOnlyWhenTheTableTakesThem)
{
    StoreFacts rated;
    rated.policies = {
        {CVarnexImagePpoObject::kPolicyTgp, CVarnexImagePpoObject::kAttributeRated, 10000}};
    StoreFacts twenty;
    twenty.productNumber = "12345678901234567890";
    const std::string updated = "Varnex image updated successfully.";
    RunCases({
        {{"--addpp=TGP,limitRated,0x2710", "--auto"}, "", 0, updated, rated},
        {{"--addpp=TGP,limitRated,10000"}, "y", 0, "Are you sure you want to continue?", rated},
        {{"--addpp=tgp,limitRated,5", "--auto"},
         "",
         5,
         "Error: Invalid policy name 'tgp'",
         std::nullopt},
        {{"--addpp=TGP,limitMax,5", "--auto"}, "", 5, "can't be set", std::nullopt},
        {{"--addpp=TGP,limitRated"},
         "",
         2,
         "ERROR: Not all parameters for addpp command specified.",
         std::nullopt},
        {{"--addpp=TGP,limitRated,5"}, "n", 2, "ERROR: User aborted!", std::nullopt},
        {{"--delpp=TGP,limitRated", "--auto"},
         "",
         5,
         "Error: Empty power policy override table",
         std::nullopt},
        {{"--delpp=TGP"},
         "",
         2,
         "ERROR: Not all parameters for delpp command specified.",
         std::nullopt},
        {{"--listpp", "--debug"}, "", 0, "Entry count: 0", std::nullopt},
        {{"--wrkrpn=12345678901234567890", "--auto"}, "", 0, updated, twenty},
        {{"--wrkrpn=123456789012345678901", "--auto"},
         "",
         5,
         "Error: Invalid board product number (too big)",
         std::nullopt},
    });
}

// A table of sixteen entries takes no new pair but still updates one it
// holds; a store without the table has nothing to list.
TEST(PowerPolicyCommands, AFullOrMissingTableIsRefusedUnwritten)
{
    StoreFacts full;
    for (uint8_t policy = 3; policy < 18; ++policy)
    {
        full.policies.push_back({policy, 1, 1000});
    }
    StoreFacts fullWithRated = full;
    fullWithRated.policies.push_back(
        {CVarnexImagePpoObject::kPolicyTgp, CVarnexImagePpoObject::kAttributeRated, 5});
    full.policies.push_back({18, 1, 1000});
    StoreFacts updated = fullWithRated;
    updated.policies.back().valueMilliwatts = 7;
    const std::vector<uint8_t> noTable =
        testkit::CVarnexStoreBuilder()
            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
            .BuildRaw();
    struct Case
    {
        std::vector<uint8_t> store;
        std::vector<std::string> arguments;
        int exit;
        std::string shown;
        std::optional<StoreFacts> after;
    };
    const std::vector<Case> cases = {
        {PrimaryStore(full), {"--addpp=TGP,limitRated,7", "--auto"}, 5,
         "Error: Power Policy Table is full.", std::nullopt},
        {PrimaryStore(fullWithRated), {"--addpp=TGP,limitRated,7", "--auto"}, 0,
         "Varnex image updated successfully.", updated},
        {noTable, {"--listpp"}, 5, "Read failed: Varnex does not have PPO Object.", std::nullopt},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(c.arguments) + " " + c.shown);
        CEngineeringRig rig({{1, 0, 0x0800, testkit::WithVarnexBlock(RigFirmware(), c.store)}});
        EXPECT_EQ(rig.Run(c.arguments), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out, c.shown)) << rig.out;
        EXPECT_EQ(ChipOf(rig).Programs().empty(), !c.after);
        if (c.after)
        {
            EXPECT_EQ(StoreOnChip(rig, kPrimaryBlock), ObjectsOf(PrimaryStore(*c.after)));
        }
    }
}

TEST(PowerPolicyCommands, FirmwareWithoutAStoreChangesNothing)
{
    struct Case
    {
        std::vector<std::string> arguments;
        int exit;
    };
    for (const Case& c : std::vector<Case>{{{"--wrkrpn=1234", "--auto"}, 16},
                                           {{"--addpp=TGP,limitRated,5", "--auto"}, 16},
                                           {{"--delpp=TGP,limitRated", "--auto"}, 16},
                                           {{"--listpp"}, 0}})
    {
        SCOPED_TRACE(c.arguments.front());
        CEngineeringRig rig({{1, 0, 0x0800, RigFirmware()}});
        EXPECT_EQ(rig.Run(c.arguments), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out, "Varnex image is not present\n")) << rig.out;
        EXPECT_TRUE(ChipOf(rig).Programs().empty());
    }
}

TEST(RepairCommands, RepairWritesTheBackupAsBothStores)
{
    CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
    EXPECT_EQ(rig.Run({"--repairvarnex", "--auto", "--debug"}), 0) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.out, "PBL Version 2.1")) << rig.out;
    EXPECT_TRUE(Contains(rig.out, "Pages = " + FormatNumber(20, 2))) << rig.out;
    EXPECT_TRUE(Contains(rig.out, "Varnex image repaired successfully.")) << rig.out;
    const ObjectMap primary = StoreOnChip(rig, kPrimaryBlock);
    EXPECT_EQ(primary, StoreOnChip(rig, kBackupBlock));
    EXPECT_EQ(primary, ObjectsOf(BackupStore()));
}

TEST(RepairCommands, PageLimitsAndRefusals)
{
    struct Case
    {
        std::vector<uint8_t> firmware;
        std::vector<std::string> arguments;
        int exit;
        std::string shown;
        bool writes;
    };
    const std::vector<uint8_t> oldPbl =
        testkit::WithVarnexBlock(RigFirmware(),
                                 testkit::CVarnexStoreBuilder()
                                     .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
                                     .Pbl(2, 1, {0x1000}, {})
                                     .WithVersion(1, 0)
                                     .BuildRaw(),
                                 BackupStore());
    const std::vector<uint8_t> noBackup = testkit::WithVarnexBlock(RigFirmware(), PrimaryStore());
    const std::vector<Case> cases = {
        {FirmwareWithStores(),
         {"--repairvarnex=0x20", "--auto", "--debug"},
         0,
         "Pages = " + FormatNumber(32, 2),
         true},
        {FirmwareWithStores(),
         {"--repairvarnex=010", "--auto", "--debug"},
         0,
         "Pages = " + FormatNumber(8, 2),
         true},
        {FirmwareWithStores(),
         {"--repairvarnex=abc", "--auto"},
         2,
         "ERROR: Invalid value \"abc\" for --repairvarnex.",
         false},
        {FirmwareWithStores(), {"--repairvarnex"}, 2, "ERROR: User aborted!", false},
        {oldPbl, {"--repairvarnex", "--auto"}, 16, "Failed to get PBL object version!\n\n", false},
        {noBackup, {"--repairvarnex", "--auto"}, 5, "Failed to get Backup Varnex image.", false},
        {noBackup,
         {"--recovervarnex", "--auto"},
         17,
         "No backup Varnex image exists. The Varnex cannot be recovered.",
         false},
        {FirmwareWithStores(), {"--recovervarnex"}, 2, "ERROR: User aborted!", false},
        {FirmwareWithStores(),
         {"--recovervarnex"},
         0,
         "Varnex image recovered successfully.",
         true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        CEngineeringRig rig({{1, 0, 0x0800, c.firmware}});
        EXPECT_EQ(rig.Run(c.arguments, c.exit == 0 ? "y" : "n"), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out + rig.err, c.shown)) << rig.out << rig.err;
        EXPECT_EQ(ChipOf(rig).Programs().empty(), !c.writes);
    }
}

// A backup store whose PBL object is full leaves the primary store's dynamic
// page of each ECC mode behind: --auto warns of them, otherwise the user is
// asked.
TEST(RepairCommands, PagesLeftBehindAreWarnedOfOrAskedAbout)
{
    std::vector<uint64_t> held; // static pages, as many as PBL 2.1 holds
    for (uint64_t i = 0; i < 20; ++i)
    {
        held.push_back(uint64_t{1} << 29 | (0x10000 + 0x1000 * i));
    }
    std::vector<uint64_t> withDynamic = held;
    withDynamic.back() = uint64_t{2} << 29 | 0x90000;
    const auto store = [](const std::vector<uint64_t>& pages)
    {
        return testkit::CVarnexStoreBuilder()
            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
            .Pbl(2, 1, pages, pages)
            .BuildRaw();
    };
    const std::vector<uint8_t> full =
        testkit::WithVarnexBlock(RigFirmware(), store(withDynamic), store(held));
    const std::string warning = "WARNING: 2 dynamic pages were not transferred.";
    const std::string question = "Not enough room to transfer all dynamic pages\n";
    struct Case
    {
        std::vector<uint8_t> firmware;
        std::vector<std::string> arguments;
        std::string keys;
        int exit;
        bool warned;
        bool asked;
    };
    const std::vector<Case> cases = {
        {full, {"--repairvarnex", "--auto"}, "", 0, true, false},
        {full, {"--repairvarnex"}, "yy", 0, false, true},
        {full, {"--repairvarnex"}, "yn", 2, false, true},
        {FirmwareWithStores(), {"--repairvarnex", "--auto"}, "", 0, false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(c.arguments) + " keys " + c.keys);
        CEngineeringRig rig({{1, 0, 0x0800, c.firmware}});
        EXPECT_EQ(rig.Run(c.arguments, c.keys), c.exit) << rig.out << rig.err;
        EXPECT_EQ(Contains(rig.out + rig.err, warning), c.warned) << rig.out << rig.err;
        EXPECT_EQ(Contains(rig.out, question), c.asked) << rig.out;
        EXPECT_EQ(ChipOf(rig).Programs().empty(), c.exit != 0);
    }
}

// With a primary store that is not valid the recovery has nothing to lose
// and writes the backup store without asking.
TEST(RepairCommands, RecoveryAsksOnlyBeforeReplacingAValidStore)
{
    const std::string question = "The existing Varnex image is valid. Restoring the Varnex from\n";
    // An OBD object too short for its fields makes the store invalid.
    const std::vector<uint8_t> invalid =
        testkit::CVarnexStoreBuilder()
            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
            .Generic("OBD", {1, 2, 3})
            .BuildRaw();
    struct Case
    {
        std::string name;
        std::vector<uint8_t> firmware;
        std::string keys;
        int exit;
        bool asked;
    };
    const std::vector<Case> cases = {
        {"invalid primary", testkit::WithVarnexBlock(RigFirmware(), invalid, BackupStore()), "", 0,
         false},
        {"valid primary", FirmwareWithStores(), "", 2, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CEngineeringRig rig({{1, 0, 0x0800, c.firmware}});
        EXPECT_EQ(rig.Run({"--recovervarnex"}, c.keys), c.exit) << rig.out << rig.err;
        EXPECT_EQ(Contains(rig.out, question), c.asked) << rig.out;
        if (c.exit == 0)
        {
            EXPECT_TRUE(Contains(rig.out, "Varnex image recovered successfully.")) << rig.out;
            EXPECT_EQ(StoreOnChip(rig, kPrimaryBlock), ObjectsOf(BackupStore()));
        }
    }
}

TEST(RepairCommands, RecoveryWritesTheBackupAsThePrimaryStore)
{
    CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
    EXPECT_EQ(rig.Run({"--recovervarnex", "--auto"}), 0) << rig.out << rig.err;
    EXPECT_EQ(StoreOnChip(rig, kPrimaryBlock), ObjectsOf(BackupStore()));
    EXPECT_EQ(StoreOnChip(rig, kBackupBlock), ObjectsOf(BackupStore()));
}
