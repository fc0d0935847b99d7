// romuvise as a process on adapters that keep a Varnex store: the board's
// store carried into the new firmware by the engine (flags 0) or by the
// packaged pre-merge (flag 0x1000), with and without the adapter's backup
// block, and the runs that must fail before anything is written.

#include "ProgramRun.h"

#include "image/ROMMeldVarnexFlashImpl.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexImage.h"
#include "varnex/VarnexTypedObjects.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace
{
const std::vector<uint8_t> kBoardBlock = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x11, 0x22, 0x33};
const std::vector<uint8_t> kBoardOem = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const std::string kBoardSerial = "SN-ADAPTER-42";

// The board's store: generic, its ID check waived, board data without the
// 699 number, so a newer generic store keeps the board's OBD object.
std::vector<uint8_t> BoardStore()
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Obd("900-10800-0000-A01", "Board Of The Adapter", kBoardSerial)
        .Oem(kBoardOem)
        .Bbo(7, 2, 0xBEEF)
        .BuildRaw();
}

// The package's newer store with empty placeholders for the board's data.
std::vector<uint8_t> PackageStore(bool withOem = true, bool withBbo = true)
{
    testkit::CVarnexStoreBuilder builder;
    builder.Img("G001.0002", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true).Obd("", "", "");
    if (withOem)
    {
        builder.Oem(std::vector<uint8_t>(kBoardOem.size(), 0));
    }
    if (withBbo)
    {
        builder.Bbo(0, 0, 0);
    }
    return builder.BuildRaw();
}

CRefPtr<IROMImage> ImageOf(const std::vector<uint8_t>& bytes)
{
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool HoldsBytes(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// The board's data as the chip's store holds it after an update.
void ExpectBoardStore(const std::vector<uint8_t>& chip)
{
    CRefPtr<IROMImage> image = ImageOf(chip);
    CRefPtr<CVarnexImage> store = ReadVarnexStore(image.get(), false);
    ASSERT_TRUE(store && store->IsValid()) << "the chip keeps a store";
    EXPECT_EQ(image->FindNBSIObject(0x4952) % 4096, 0) << "the store on its boundary";
    const CVarnexImageObject* obd = store->FindObject(VarnexTag("OBD"));
    ASSERT_NE(obd, nullptr);
    const std::vector<uint8_t> obdBody = obd->GetData();
    EXPECT_TRUE(HoldsBytes(obdBody, std::vector<uint8_t>(kBoardSerial.begin(), kBoardSerial.end())));
    const CVarnexImageObject* oem = store->FindObject(VarnexTag("OEM"));
    ASSERT_NE(oem, nullptr);
    EXPECT_EQ(oem->GetData(), kBoardOem);
    const auto* bbo = dynamic_cast<const CVarnexImageBboObject*>(store->FindObject(VarnexTag("BBO")));
    ASSERT_NE(bbo, nullptr);
    uint32_t id = 0;
    uint32_t revision = 0;
    uint32_t value = 0;
    bbo->GetValue(id, revision, value);
    EXPECT_EQ(id, 7u);
    EXPECT_EQ(revision, 2u);
    EXPECT_EQ(value, 0xBEEFu);
    EXPECT_TRUE(HoldsBytes(chip, kBoardBlock)) << "the board's 0x85 block";
}
} // namespace

// Each case: the adapter's firmware (its store, with or without the backup
// block), the package's store and the control block's flags.
TEST(VarnexRun, TheBoardsStoreIsCarriedOrNothingIsWritten)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> chipStore;
        bool chipBackup;
        std::vector<uint8_t> packageStore;
        const char* flags;
        int exitCode;
        // Empty for a run that succeeds.
        std::string err;
        // The chip's Varnex directory in its block, when not the layout's.
        uint16_t chipDirectory = 0;
    };
    // Where the directory of a block laid out 0x400 bytes past a 4096-byte
    // boundary sits: the chip an update left when it moved the block down
    // by a 0x400-byte block removed in front of it.
    constexpr uint16_t kMovedDirectory = 0xBE2;
    const std::string notProcessed =
        "\nERROR: Failed to process Varnex block.\n" + kSupportParagraph;
    const std::string noObd = "ERROR: Failed to preserve Varnex OBD object (4).\n" + notProcessed;
    const std::string noOem = "ERROR: Failed to preserve Varnex OEM object (4).\n" + notProcessed;
    const std::vector<Case> cases = {
        {"pre-merge, no backup block", BoardStore(), false, PackageStore(), "0x1000", 0, ""},
        {"pre-merge, backup block", BoardStore(), true, PackageStore(), "0x1000", 0, ""},
        {"engine merge, no backup block", BoardStore(), false, PackageStore(), "0", 0, ""},
        {"engine merge, backup block", BoardStore(), true, PackageStore(), "0", 0, ""},
        {"pre-merge from a block moved off its boundary", BoardStore(), true, PackageStore(),
         "0x1000", 0, "", kMovedDirectory},
        {"engine merge from a block moved off its boundary", BoardStore(), true, PackageStore(),
         "0", 0, "", kMovedDirectory},
        {"engine keeps the board's block for a package without a store", BoardStore(), false, {},
         "0", 0, ""},
        {"pre-merge into a package without a store", BoardStore(), false, {}, "0x1000", 2, noObd},
        {"pre-merge into a package without a store, backup block", BoardStore(), true, {},
         "0x1000", 2, noObd},
        {"pre-merge into a store without the OEM object", BoardStore(), false,
         PackageStore(false, true), "0x1000", 2, noOem},
        {"engine merge into a store without the OEM object", BoardStore(), true,
         PackageStore(false, true), "0", 2, noOem},
        {"pre-merge into a store without the BBO placeholder", BoardStore(), false,
         PackageStore(true, false), "0x1000", 2,
         "\nERROR: Failed to preserve Varnex BBO data due to vbios's IR does not contain the BBO "
         "placeholder.\n" +
             kSupportParagraph},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        const std::vector<uint8_t> start = MakeFirmware(
            {.boardBlock = kBoardBlock,
             .varnexStore = c.chipStore,
             .varnexBackup = c.chipBackup ? c.chipStore : std::vector<uint8_t>{},
             .varnexDirectory = c.chipDirectory});
        folder.MakeMachine({start});
        ASSERT_EQ(folder.Stamp(MakeFirmware({.version = 0x86041C00, .varnexStore = c.packageStore}),
                               std::string("--flags ") + c.flags)
                      .exitCode,
                  0);
        const ProgramResult run = folder.Updater("", "y");
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        if (c.exitCode == 0)
        {
            EXPECT_FALSE(Contains(run.err, "ERROR")) << run.err;
            EXPECT_TRUE(Contains(run.out, "Update successful.")) << run.out;
            ExpectBoardStore(folder.Chip(0));
            // The firmware written keeps its layout: a second update starts
            // from it.
            const ProgramResult again = folder.Updater("", "y");
            EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
        }
        else
        {
            EXPECT_EQ(run.err, c.err);
            EXPECT_FALSE(Contains(run.out, "Update successful.")) << run.out;
            EXPECT_TRUE(ChipHolds(folder.Chip(0), start)) << "nothing written";
        }
        EXPECT_FALSE(std::filesystem::exists(folder.PathOf(kRecordName)));
    }
}

// The power check comes before the pre-merge, which writes the adapter's
// Varnex backup block when its firmware has none: on a battery too low to
// update, nothing at all is written.
TEST(VarnexRun, LowPowerStopsTheRunBeforeThePremergeWrites)
{
    CProgramFolder folder;
    const std::vector<uint8_t> start =
        MakeFirmware({.boardBlock = kBoardBlock, .varnexStore = BoardStore()});
    folder.MakeMachine({start}, "--battery 20");
    ASSERT_EQ(folder.Stamp(MakeFirmware({.version = 0x86041C00, .varnexStore = PackageStore()}),
                           "--flags 0x1000")
                  .exitCode,
              0);
    const ProgramResult run = folder.Updater("", "y");
    EXPECT_EQ(run.exitCode, 2) << run.out;
    EXPECT_EQ(run.err, "\nERROR: EEPROM updating prevented due to no AC power detected and "
                       "battery level below 35%\n" +
                           kSupportParagraph);
    EXPECT_TRUE(ChipHolds(folder.Chip(0), start)) << "the backup block was not written";
}
