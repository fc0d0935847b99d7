// Repair and recovery of the adapter's store from the firmware's backup
// store (repairvarnex, recovervarnex): the pages carried over, the
// questions, the refusals and the stores the chip holds afterwards.

#include "VarnexRig.h"

#include "core/TextHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
