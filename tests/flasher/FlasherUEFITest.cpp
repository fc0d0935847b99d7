// Flashing a UEFI driver image through an installed merge: the merged image
// programmed and read back; a failed merge and an image too large are
// refusals before any write, a read-back that differs is a failure.

#include "FakeEEPROM.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "WatchingJournal.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

namespace
{
// A merge that replaces the firmware with the bytes of the "UEFI image".
UEFIImageServices ReplacingMerge(bool succeeds = true)
{
    return {[](CRefPtr<IROMImage>) { return std::string("Yes"); },
            [succeeds](CRefPtr<IROMImage> rom, CRefPtr<IROMImage> uefi, CLog*)
            {
                uefi->SetOffsetMode(false);
                rom->SetOffsetMode(false);
                rom->WriteBlock(uefi->GetBuffer(), 0, uefi->GetLoadedSize());
                rom->Parse();
                return succeeds;
            }};
}
} // namespace

TEST(FlasherUEFIFlash, ProgramsTheMergedImage)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.flasher->SetUEFIImageServices(ReplacingMerge());
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    rig.flasher->IdentifyEEPROM(rig.ui, eeprom, rig.database, &rig.log, false);
    const std::vector<uint8_t> merged = MakeFirmware({.length = 0x18000});
    rig.flasher->FlashUEFIImage(rig.ui, IROMImage::CreateFromBuffer(merged.data(), 0x18000),
                                rig.Adapter(0), eeprom, &rig.log);
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    EXPECT_EQ(std::vector<uint8_t>(chip.begin(), chip.begin() + 0x18000), merged);
    EXPECT_NE(rig.Logged().find("Successful merge?: Yes\n\nNEW (UEFI-updated)ROM:\nUEFI-Support = "
                                "Yes\nROM Size = "),
              std::string::npos);
}

TEST(FlasherUEFIFlash, FailsWithoutWritingOrWhenTheResultIsWrong)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    rig.flasher->IdentifyEEPROM(rig.ui, eeprom, rig.database, &rig.log, false);
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    const std::vector<uint8_t> small = MakeFirmware({.length = 0x18000});
    // What the flash raised, marked by whether it is a refusal before any
    // write (the caller goes on with the next adapter) or a failure.
    auto flash = [&](const std::vector<uint8_t>& uefi, CRefPtr<IEEPROM> target) -> std::string
    {
        try
        {
            rig.flasher->FlashUEFIImage(
                rig.ui,
                IROMImage::CreateFromBuffer(uefi.data(), static_cast<uint32_t>(uefi.size())),
                rig.Adapter(0), target, &rig.log);
        }
        catch (const uefi_refused_error& error)
        {
            return std::string("refused: ") + error.what();
        }
        catch (const std::exception& error)
        {
            return std::string("failed: ") + error.what();
        }
        return "(no error)";
    };

    rig.flasher->SetUEFIImageServices(ReplacingMerge(false));
    EXPECT_EQ(flash(small, eeprom),
              "refused: The UEFI image could not be merged into the adapter firmware.");
    EXPECT_NE(rig.Logged().find("Successful merge?: No\n"), std::string::npos);
    rig.flasher->SetUEFIImageServices({});
    EXPECT_EQ(flash(small, eeprom),
              "refused: The UEFI image could not be merged into the adapter firmware.");
    rig.flasher->SetUEFIImageServices(
        {nullptr, [](CRefPtr<IROMImage>, CRefPtr<IROMImage>, CLog*) -> bool {
             throw std::runtime_error("Incompatible ROM and EFI file.");
         }});
    EXPECT_EQ(flash(small, eeprom), "refused: Incompatible ROM and EFI file.");

    rig.flasher->SetUEFIImageServices(ReplacingMerge());
    EXPECT_EQ(
        flash(MakeFirmware({.length = 0x90000}), eeprom),
        "refused: The EEPROM on this graphics card is too small to support this firmware update.");
    EXPECT_NE(rig.Logged().find("EEPROM size = 80000\nCan't fit an image of size 90000\n"),
              std::string::npos);
    EXPECT_EQ(rig.ChipBytes(0), before);

    CRefPtr<CFakeEEPROM> dropping(new CFakeEEPROM(256, 4, true));
    std::copy(before.begin(), before.end(), dropping->bytes.begin());
    dropping->dropFirstByte = true;
    EXPECT_EQ(flash(small, dropping.get()),
              "failed: Mismatch at offset 0x00000000 - Expected value: 0x55 - Read back: 0xAA");
}

// A UEFI update's record goes only after the read-back compared equal: a
// write that reads back different keeps it for the next run.
TEST(FlasherUEFIFlash, TheRecordStaysUntilTheReadBackComparedEqual)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.flasher->SetUEFIImageServices(ReplacingMerge());
    const std::vector<uint8_t> merged = MakeFirmware({.length = 0x18000});
    CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
    rig.flasher->SetUpdateJournal(journal.get());
    auto flash = [&](CRefPtr<IEEPROM> eeprom)
    {
        rig.flasher->FlashUEFIImage(rig.ui, IROMImage::CreateFromBuffer(merged.data(), 0x18000),
                                    rig.Adapter(0), eeprom, &rig.log);
    };

    CRefPtr<CFakeEEPROM> dropping(new CFakeEEPROM(256, 4, true));
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    std::copy(before.begin(), before.end(), dropping->bytes.begin());
    dropping->dropFirstByte = true;
    EXPECT_EQ(testkit::ErrorOf([&] { flash(dropping.get()); }),
              "Mismatch at offset 0x00000000 - Expected value: 0x55 - Read back: 0xAA");
    EXPECT_EQ(journal->begun.size(), 1u);
    EXPECT_EQ(journal->finishes, 0) << "the record of a write that did not read back equal";

    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    rig.flasher->IdentifyEEPROM(rig.ui, eeprom, rig.database, &rig.log, false);
    flash(eeprom);
    EXPECT_EQ(journal->begun.size(), 2u);
    EXPECT_EQ(journal->finishes, 1);
    rig.flasher->SetUpdateJournal(nullptr);
}
