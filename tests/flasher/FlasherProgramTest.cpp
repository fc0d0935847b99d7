// Programming a whole image: the board's straps, 0x85 block and Varnex
// objects carried into the new image on the simulated chip; failures that
// must leave the chip unwritten; a stuck bit caught by the read-back; the
// update record kept around the writes.

#include "AdapterAndPackageStores.h"
#include "FakeEEPROM.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "WatchingJournal.h"
#include "core/Exceptions.h"
#include "flasher/IUpdateJournal.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldVarnexFlashImpl.h"
#include "testkit/ErrorOf.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <span>

using testkit::CVarnexStoreBuilder;
using testkit::ErrorOf;

namespace
{
constexpr uint32_t kWindowOffsetRegister = 0xE208;
const char* const kGrown =
    "An updated ROM image (with IR/IB/UL globs) exceeds maximum range for the EEPROM.";

// The package's firmware, asking for the protection to be lifted.
CRefPtr<IROMImage> PackageImage(FirmwareFacts spec = {.version = 0x86041C00}, bool withBbo = true,
                                uint8_t obdVersion = 1)
{
    std::vector<uint8_t> bytes = WithVarnexBlock(FirmwareWithSlot(spec, kPackageSlot, 0x80).Build(),
                                                 PackageStore(withBbo, obdVersion));
    bytes[0x49] |= 0x01;
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

CRefPtr<IROMImage> ChipImage(const std::vector<uint8_t>& chip)
{
    return IROMImage::CreateFromBuffer(chip.data(), static_cast<uint32_t>(chip.size()));
}

std::vector<uint8_t> ObjectBytes(IROMImage* image, const char* tag)
{
    CRefPtr<CVarnexImage> store = ReadVarnexStore(image, false);
    if (!store)
    {
        return {};
    }
    CVarnexImageObject* object = store->FindObject(VarnexTag(tag));
    return object ? object->GetBytes() : std::vector<uint8_t>{};
}

// The bytes of each block of the chain with the code type, in chain order.
std::vector<std::vector<uint8_t>> ChainBlocks(IROMImage* image, uint8_t codeType)
{
    COffsetModeScope off(image, false);
    std::vector<std::vector<uint8_t>> found;
    int32_t block = 0;
    for (int guard = 0; block != -1 && guard < 16; ++guard, block = image->NextPCIBlock(block))
    {
        const int32_t pcir = image->FindPCIR(block);
        if (pcir != -1 && image->GetByte(pcir + 0x14) == codeType)
        {
            std::vector<uint8_t> bytes(image->GetPCIBlockLength(block));
            image->ReadBlock(bytes.data(), block, static_cast<uint32_t>(bytes.size()));
            found.push_back(std::move(bytes));
        }
    }
    return found;
}

struct FlashRig
{
    explicit FlashRig(std::vector<uint8_t> firmware = AdapterFirmware())
        : rig({{0x0800, 8, std::move(firmware)}}), eeprom(rig.OpenEEPROM(0))
    {
        rig.flasher->DisableDisplayDriver(rig.Adapter(0), &rig.log, false);
        rig.Chip(0).ClearHistory();
    }
    void Flash(CRefPtr<IROMImage> image, bool processVarnex = true)
    {
        rig.flasher->FlashImage(rig.ui, image, false, true, true, rig.Adapter(0), eeprom,
                                rig.database, 0, &rig.log, nullptr, processVarnex);
    }
    bool ChipUntouched() { return rig.Chip(0).Programs().empty() && rig.Chip(0).Erases().empty(); }
    // A chip bit that stays clear where the image sets it, past the image's
    // first bytes, so that programming that page fails.
    void StickABitTheImageSets(IROMImage& image)
    {
        int32_t at = 0x300;
        while ((image.GetByte(at) & 0x01) == 0)
        {
            ++at;
        }
        rig.Chip(0).Faults().stuckBits[static_cast<uint32_t>(at)] = {0x01, 0x00};
    }

    CFlasherMachine rig;
    CRefPtr<IEEPROM> eeprom;
};

} // namespace

TEST(FlasherFlashImage, CarriesTheBoardIntoTheNewImage)
{
    FlashRig f;
    f.rig.flasher->SetModeFlags(kFlasherPackagedMode);
    f.rig.Chip(0).SetStatus(0x1C);
    f.rig.Adapter(0)->Write32(kWindowOffsetRegister, 0x00ABCDEC);
    CRefPtr<IROMImage> before = ChipImage(f.rig.ChipBytes(0));
    f.Flash(PackageImage());

    CRefPtr<IROMImage> after = ChipImage(f.rig.ChipBytes(0));
    EXPECT_EQ(after->GetVersionString(1), "86.04.1C.00.00");
    for (const char* tag : {"OBD", "OEM", "BBO"})
    {
        EXPECT_EQ(ObjectBytes(after.get(), tag), ObjectBytes(before.get(), tag)) << tag;
    }
    EXPECT_EQ(ReadVarnexStore(after.get(), false)->FindObject(VarnexTag("IMG"))->GetData().at(0),
              'G');
    EXPECT_EQ(dynamic_cast<CVarnexImageImgObject*>(
                  ReadVarnexStore(after.get(), false)->FindObject(VarnexTag("IMG")))
                  ->GetVersionText(),
              "G001.0002");
    // The adapter's store became the backup copy.
    EXPECT_TRUE(after->HasNBSIObject(0x4942));
    const std::vector<uint8_t> chip = f.rig.ChipBytes(0);
    for (uint32_t i = 0; i < 0x14; ++i)
    {
        EXPECT_EQ(chip[0x58 + i], 0xC0 + i) << i;
    }
    {
        COffsetModeScope off(after.get(), false);
        const int32_t entry = after->GetPreservationEntryOffset(0);
        std::vector<uint8_t> slot(after->GetWord(entry + 2));
        after->ReadBlock(slot.data(), after->GetWord(entry), static_cast<uint32_t>(slot.size()));
        EXPECT_EQ(slot, kBoardSlot) << "the board's settings carried over";
    }
    // The board's block, now ending the chain: its payload is the board's.
    const std::vector<uint8_t> board = ChainBlocks(before.get(), 0x85).at(0);
    ASSERT_EQ(ChainBlocks(after.get(), 0x85).size(), 1u) << after->DumpPCIBlocks(1);
    const std::vector<uint8_t> carried = ChainBlocks(after.get(), 0x85).at(0);
    ASSERT_EQ(carried.size(), board.size());
    EXPECT_TRUE(std::equal(board.begin() + 0x100, board.end() - 1, carried.begin() + 0x100));
    EXPECT_EQ(f.rig.Chip(0).Status() & 0x1C, 0) << "write protection lifted";
    EXPECT_NE(f.rig.Shown().find("Update successful.\n\nFirmware image has been updated from "
                                 "version 86.04.1B.00.02 to 86.04.1C.00.02."),
              std::string::npos);
    EXPECT_NE(f.rig.Logged().find("VARNEX_FLASH_TYPE: 06\n"), std::string::npos);
    after->SetOffsetMode(true);
    EXPECT_EQ(f.rig.Adapter(0)->Read32(kWindowOffsetRegister) & 0x00FFFFFCu,
              after->GetWindowOffset() & 0x00FFFFFCu);

    // The same image again: the board's 0x85 block is replaced, not stacked.
    f.Flash(ChipImage(f.rig.ChipBytes(0)));
    CRefPtr<IROMImage> again = ChipImage(f.rig.ChipBytes(0));
    EXPECT_EQ(ChainBlocks(again.get(), 0x85).size(), 1u) << again->DumpPCIBlocks(1);
    EXPECT_EQ(ObjectBytes(again.get(), "OBD"), ObjectBytes(before.get(), "OBD"));
}

// The adapter's own firmware written back without the Varnex step, as the
// Varnex backup step writes it: its 0x85 block sits in front of its Varnex
// block and is replaced by the board's at the chain's end, which must leave
// the store on its 4096-byte boundary.
TEST(FlasherFlashImage, TheBoardBlockTakenFromBeforeTheVarnexBlockLeavesTheStoreInPlace)
{
    FlashRig f;
    CRefPtr<IROMImage> before = ChipImage(f.rig.ChipBytes(0));
    ASSERT_LT(before->FindNthPCIBlock(0x85, 0), before->FindNBSIBlock());
    f.Flash(ChipImage(f.rig.ChipBytes(0)), false);

    CRefPtr<IROMImage> after = ChipImage(f.rig.ChipBytes(0));
    EXPECT_EQ(after->FindNBSIObject(0x4952) % 4096, 0);
    EXPECT_GT(after->FindNthPCIBlock(0x85, 0), after->FindNBSIBlock());
    EXPECT_EQ(ChainBlocks(after.get(), 0x85).size(), 1u) << after->DumpPCIBlocks(1);
    EXPECT_EQ(ReadVarnexObjectBytes(after.get(), 0x4952), ReadVarnexObjectBytes(before.get(), 0x4952));
}

TEST(FlasherFlashImage, AStuckBitEndsInTheMismatchWithTheDriverBack)
{
    {
        // The chip's driver sees the page it just programmed differ.
        FlashRig f;
        CRefPtr<IROMImage> image = PackageImage();
        f.StickABitTheImageSets(*image);
        EXPECT_EQ(ErrorOf([&] { f.Flash(image); }), "Mismatch in 256 byte page-mode programming");
        EXPECT_NE(f.rig.Logged().find("EEPROM programming failed.\n"), std::string::npos);
        EXPECT_TRUE(f.rig.DriverBound(0));
        EXPECT_EQ(f.rig.Shown().find("Update successful."), std::string::npos);
    }
    {
        // A part that takes the write but reads back otherwise: the engine's
        // own compare of the whole image.
        FlashRig f;
        CRefPtr<CFakeEEPROM> dropping(new CFakeEEPROM(256, 4, true));
        const std::vector<uint8_t> adapter = AdapterFirmware();
        std::copy(adapter.begin(), adapter.end(), dropping->bytes.begin());
        dropping->dropFirstByte = true;
        f.eeprom = dropping.get();
        EXPECT_EQ(ErrorOf([&] { f.Flash(PackageImage()); }),
                  "Mismatch at offset 0x00000000 - Expected value: 0x55 - Read back: 0xAA");
        EXPECT_TRUE(f.rig.DriverBound(0));
        EXPECT_EQ(f.rig.Shown().find("Update successful."), std::string::npos);
    }
}

TEST(FlasherFlashImage, RefusalsLeaveTheChipUnwritten)
{
    {
        FlashRig f;
        EXPECT_EQ(ErrorOf([&] { f.Flash(PackageImage({.length = 0x90000})); }),
                  "Cannot program a non-page boundary or invalid range for EEPROM.");
        EXPECT_TRUE(f.ChipUntouched());
        EXPECT_TRUE(f.rig.DriverBound(0));
    }
    {
        // Fits as given, but the board's 0x85 block carried over makes it
        // too large: a write would wrap onto the start of the part.
        FlashRig f;
        const std::vector<uint8_t> big = MakeFirmware({.length = 0x7FE00});
        EXPECT_EQ(
            ErrorOf([&] { f.Flash(IROMImage::CreateFromBuffer(big.data(), 0x7FE00), false); }),
            kGrown);
        EXPECT_TRUE(f.ChipUntouched());
    }
    {
        // The package's store has no BBO placeholder for the board's record:
        // nothing is programmed and the update fails.
        FlashRig f;
        EXPECT_EQ(ErrorOf([&] { f.Flash(PackageImage({.version = 0x86041C00}, false)); }),
                  "Failed to process Varnex block.");
        EXPECT_NE(f.rig.Logged().find("ERROR: Failed to process Varnex block.\n"),
                  std::string::npos);
        EXPECT_TRUE(f.ChipUntouched());
        EXPECT_TRUE(f.rig.DriverBound(0));
    }
    {
        // The board's OBD object cannot be copied into the package's of
        // another version: its board data must not be silently replaced.
        FlashRig f;
        EXPECT_EQ(ErrorOf([&] { f.Flash(PackageImage({.version = 0x86041C00}, true, 2)); }),
                  "Failed to process Varnex block.");
        EXPECT_NE(f.rig.Logged().find("ERROR: Failed to preserve Varnex OBD object (12).\n"),
                  std::string::npos);
        EXPECT_TRUE(f.ChipUntouched());
    }
    {
        FlashRig f;
        CRefPtr<CFakeEEPROM> secure(new CFakeEEPROM(256, 4, true));
        secure->secure = true;
        const std::vector<uint8_t> adapter = AdapterFirmware();
        std::copy(adapter.begin(), adapter.end(), secure->bytes.begin());
        f.rig.flasher->SetCertificateGateServices(
            {[](CRefPtr<IROMImage>, CLog*) { return 8; }, {}, {}});
        bool userAbort = false;
        try
        {
            f.rig.flasher->FlashImage(f.rig.ui, PackageImage(), false, true, true, f.rig.Adapter(0),
                                      secure.get(), f.rig.database, 0, &f.rig.log, nullptr, true);
        }
        catch (const image_refused_error& error)
        {
            // The refusal's own type, which the run tells apart from a
            // declined prompt.
            userAbort = std::string(error.what()) == "Invalid firmware image detected. \n";
        }
        EXPECT_TRUE(userAbort);
        EXPECT_TRUE(secure->writes.empty());
    }
}

TEST(FlasherFlashImage, SegmentOnlyKeepsTheRestAndNeverCutsUsedBytes)
{
    auto firmware = [](uint32_t segment, uint32_t blockLength)
    { return FirmwareBuilder({.length = blockLength}).InitFromRom(segment).Build(); };
    {
        // A shorter new segment: the rest moves down, 0xFF behind it.
        CFlasherMachine rig({{0x0800, 8, firmware(0x1200, 0x10000)}});
        const std::vector<uint8_t> before = rig.ChipBytes(0);
        const std::vector<uint8_t> shorter = firmware(0x1000, 0x10000);
        rig.flasher->FlashImage(
            rig.ui,
            IROMImage::CreateFromBuffer(shorter.data(), static_cast<uint32_t>(shorter.size())),
            false, false, false, rig.Adapter(0), rig.OpenEEPROM(0), rig.database, 2, &rig.log,
            nullptr, false);
        const std::vector<uint8_t> chip = rig.ChipBytes(0);
        EXPECT_TRUE(std::equal(shorter.begin(), shorter.begin() + 0x1000, chip.begin()));
        EXPECT_TRUE(std::equal(before.begin() + 0x1200, before.end(), chip.begin() + 0x1000));
        EXPECT_TRUE(
            std::all_of(chip.end() - 0x200, chip.end(), [](uint8_t b) { return b == 0xFF; }));
    }
    {
        // A longer new segment on a part whose end is in use: refused.
        CFlasherMachine rig({{0x0800, 8, firmware(0x1000, 0x7F000)}});
        rig.Chip(0).ClearHistory();
        const std::vector<uint8_t> longer = firmware(0x1200, 0x10000);
        EXPECT_EQ(
            ErrorOf(
                [&]
                {
                    rig.flasher->FlashImage(
                        rig.ui,
                        IROMImage::CreateFromBuffer(longer.data(),
                                                    static_cast<uint32_t>(longer.size())),
                        false, false, false, rig.Adapter(0), rig.OpenEEPROM(0), rig.database, 2,
                        &rig.log, nullptr, false);
                }),
            "The end of the EEPROM is in use: the larger init-from-ROM segment does not fit.");
        EXPECT_TRUE(rig.Chip(0).Programs().empty());
    }
}

TEST(FlasherFlashImage, CompareOnlyWritesNothing)
{
    const std::vector<uint8_t> firmware =
        FirmwareBuilder({.length = 0x10000}).InitFromRom(0x1000).Build();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    rig.Chip(0).ClearHistory();
    auto compare = [&](const std::vector<uint8_t>& bytes)
    {
        return ErrorOf(
            [&]
            {
                rig.flasher->FlashImage(
                    rig.ui,
                    IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size())),
                    false, false, false, rig.Adapter(0), rig.OpenEEPROM(0), rig.database, 1,
                    &rig.log, nullptr, false);
            });
    };
    EXPECT_EQ(compare(firmware), "(no error)");
    EXPECT_NE(rig.Logged().find("File IFR image matches adapter IFR image.\n"), std::string::npos);
    std::vector<uint8_t> changed = firmware;
    changed[0x800] ^= 0xFF;
    char text[96];
    std::snprintf(text, sizeof text,
                  "Mismatch at offset 0x00000800 - Image value: 0x%02X - Read back: 0x%02X",
                  changed[0x800], firmware[0x800]);
    EXPECT_EQ(compare(changed), text);
    EXPECT_TRUE(rig.Chip(0).Programs().empty());
    EXPECT_TRUE(rig.Chip(0).Erases().empty());
}

TEST(FlasherFlashImage, RecordsTheContentBeforeTheFirstWriteAndDropsItAfterTheProof)
{
    FlashRig f;
    f.rig.Chip(0).SetStatus(0x1C);
    const std::vector<uint8_t> before = f.rig.ChipBytes(0);
    CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
    f.rig.flasher->SetUpdateJournal(journal.get());
    journal->onBegin = [&]
    {
        EXPECT_TRUE(f.ChipUntouched()) << "Begin comes before the first write";
        EXPECT_EQ(f.rig.Chip(0).Status() & 0x1C, 0x1C) << "and before the protection is lifted";
    };
    journal->onFinish = [&]
    {
        EXPECT_FALSE(f.rig.Chip(0).Programs().empty());
        EXPECT_EQ(f.rig.Shown().find("Update successful."), std::string::npos);
    };
    f.Flash(PackageImage());
    ASSERT_EQ(journal->begun.size(), 1u);
    EXPECT_TRUE(journal->begun[0] == before) << "the part's whole content as it was";
    EXPECT_EQ(journal->finishes, 1);
    EXPECT_NE(f.rig.Shown().find("Update successful."), std::string::npos);
    f.rig.flasher->SetUpdateJournal(nullptr);
}

TEST(FlasherFlashImage, AFailedOrRefusedWriteKeepsTheRecord)
{
    {
        // The write fails: the record stays for the next run.
        FlashRig f;
        CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
        f.rig.flasher->SetUpdateJournal(journal.get());
        CRefPtr<IROMImage> image = PackageImage();
        f.StickABitTheImageSets(*image);
        EXPECT_EQ(ErrorOf([&] { f.Flash(image); }), "Mismatch in 256 byte page-mode programming");
        EXPECT_EQ(journal->begun.size(), 1u);
        EXPECT_EQ(journal->finishes, 0);
        f.rig.flasher->SetUpdateJournal(nullptr);
    }
    // The write reports fewer bytes than the image, though what it wrote
    // reads back equal; or the write went through but the read-back differs.
    const struct
    {
        bool shortWrite;
        bool dropFirstByte;
        const char* error;
    } faulty[] = {
        {true, false, "Full image not programmed"},
        {false, true, "Mismatch at offset 0x00000000 - Expected value: 0x55 - Read back: 0xAA"},
    };
    for (const auto& fault : faulty)
    {
        SCOPED_TRACE(fault.error);
        FlashRig f;
        CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
        f.rig.flasher->SetUpdateJournal(journal.get());
        CRefPtr<CFakeEEPROM> chip(new CFakeEEPROM(256, 4, true));
        const std::vector<uint8_t> adapter = AdapterFirmware();
        std::copy(adapter.begin(), adapter.end(), chip->bytes.begin());
        chip->shortWrite = fault.shortWrite;
        chip->dropFirstByte = fault.dropFirstByte;
        f.eeprom = chip.get();
        EXPECT_EQ(ErrorOf([&] { f.Flash(PackageImage()); }), fault.error);
        EXPECT_EQ(f.rig.Shown().find("Update successful."), std::string::npos);
        EXPECT_EQ(journal->begun.size(), 1u);
        EXPECT_EQ(journal->finishes, 0);
        EXPECT_TRUE(f.rig.DriverBound(0));
        f.rig.flasher->SetUpdateJournal(nullptr);
    }
    {
        // Refused before any write, or a compare that writes nothing: no
        // record is made or removed.
        const std::vector<uint8_t> firmware =
            FirmwareBuilder({.length = 0x10000}).InitFromRom(0x1000).Build();
        FlashRig f(firmware);
        CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
        f.rig.flasher->SetUpdateJournal(journal.get());
        EXPECT_EQ(ErrorOf([&] { f.Flash(PackageImage({.length = 0x90000})); }),
                  "Cannot program a non-page boundary or invalid range for EEPROM.");
        f.rig.flasher->FlashImage(
            f.rig.ui,
            IROMImage::CreateFromBuffer(firmware.data(), static_cast<uint32_t>(firmware.size())),
            false, false, false, f.rig.Adapter(0), f.eeprom, f.rig.database, 1, &f.rig.log,
            nullptr, false);
        EXPECT_TRUE(journal->begun.empty());
        EXPECT_EQ(journal->finishes, 0);
        f.rig.flasher->SetUpdateJournal(nullptr);
    }
}

TEST(FlasherFlashImage, APendingRecordIsTheSourceOfTheBoardsData)
{
    // The chip was erased by the stopped update; its content lives on in the
    // record.
    FlashRig f(std::vector<uint8_t>{});
    CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
    const std::vector<uint8_t> saved = AdapterFirmware();
    journal->pending = saved;
    f.rig.flasher->SetUpdateJournal(journal.get());
    f.Flash(PackageImage());
    f.rig.flasher->SetUpdateJournal(nullptr);

    CRefPtr<IROMImage> after = ChipImage(f.rig.ChipBytes(0));
    CRefPtr<IROMImage> board = ChipImage(saved);
    const std::vector<uint8_t> chip = f.rig.ChipBytes(0);
    for (uint32_t i = 0; i < 0x14; ++i)
    {
        EXPECT_EQ(chip[0x58 + i], 0xC0 + i) << "strap byte " << i;
    }
    EXPECT_EQ(ObjectBytes(after.get(), "OBD"), ObjectBytes(board.get(), "OBD"));
    EXPECT_EQ(ChainBlocks(after.get(), 0x85).size(), 1u);
    // The record is written again with the saved content, in the part's size.
    ASSERT_EQ(journal->begun.size(), 1u);
    ASSERT_EQ(journal->begun[0].size(), f.rig.Chip(0).SizeInBytes());
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), journal->begun[0].begin()));
    EXPECT_TRUE(std::all_of(journal->begun[0].begin() + static_cast<std::ptrdiff_t>(saved.size()),
                            journal->begun[0].end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(journal->finishes, 1);
}

// A record saved from another board of the same IDs (here: other straps)
// does not explain this chip: the update stops before anything is recorded
// or written.
TEST(FlasherFlashImage, ARecordThatDoesNotExplainTheChipIsRefused)
{
    FlashRig f;
    std::vector<uint8_t> otherBoard = AdapterFirmware();
    for (uint32_t i = 0; i < 0x14; ++i)
    {
        otherBoard[0x58 + i] = static_cast<uint8_t>(0x30 + i);
    }
    CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
    journal->pending = otherBoard;
    f.rig.flasher->SetUpdateJournal(journal.get());
    EXPECT_EQ(ErrorOf([&] { f.Flash(PackageImage()); }),
              "refused: it does not match this adapter's EEPROM");
    f.rig.flasher->SetUpdateJournal(nullptr);
    EXPECT_TRUE(f.ChipUntouched());
    EXPECT_TRUE(journal->begun.empty());
    EXPECT_EQ(journal->finishes, 0);
}
