// Programming one changed range of an image: the range widened to whole
// programming units, only those written, the whole part read back.

#include "FakeEEPROM.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "core/CrossPlatform.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <cstdio>

using testkit::ErrorOf;

namespace
{
// The chip's image with three bytes changed at the offset.
CRefPtr<IROMImage> EditedImage(const std::vector<uint8_t>& chip, uint32_t offset)
{
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(chip.data(), static_cast<uint32_t>(chip.size()));
    image->SetOffsetMode(false);
    for (uint32_t i = 0; i < 3; ++i)
    {
        image->SetByte(static_cast<int32_t>(offset + i), static_cast<uint8_t>(0x10 + i));
    }
    return image;
}

// A fake part holding a 64 KiB firmware image.
CRefPtr<CFakeEEPROM> FakeWithFirmware(uint16_t page, uint16_t blockKiB, bool eraseBeforeWrite,
                                      bool writeProtectOff = false)
{
    CRefPtr<CFakeEEPROM> eeprom(new CFakeEEPROM(page, blockKiB, eraseBeforeWrite, writeProtectOff));
    const std::vector<uint8_t> firmware = MakeFirmware();
    std::copy(firmware.begin(), firmware.end(), eeprom->bytes.begin());
    return eeprom;
}

struct SectionCase
{
    const char* name;
    uint16_t page;
    uint16_t blockKiB;
    bool eraseBeforeWrite;
    uint32_t start;
    int32_t length;
    FakeWrite written;
};

const SectionCase kSectionCases[] = {
    {"erase blocks of 64 KiB", 256, 64, true, 0x10005, 3, {0x10000, 0x10000}},
    {"no erase: the one page", 256, 64, false, 0x10005, 3, {0x10000, 0x100}},
    {"change across a page end", 256, 0, false, 0x100FE, 4, {0x10000, 0x200}},
    {"blocks no larger than the page", 256, 0, true, 0x10005, 3, {0, 0x10000}},
    {"erase blocks of 4 KiB", 256, 4, true, 0x7FFFF, 1, {0x7F000, 0x1000}},
    {"a range past the part is cut at its end", 256, 4, true, 0x7F000, 0x3000, {0x7F000, 0x1000}},
};
} // namespace

TEST(FlasherSectionUpdate, RewritesOnlyTheUnitsThatHoldTheChange)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    for (const SectionCase& c : kSectionCases)
    {
        SCOPED_TRACE(c.name);
        // The whole-image case rewrites the firmware's ROM size.
        CRefPtr<CFakeEEPROM> eeprom = FakeWithFirmware(c.page, c.blockKiB, c.eraseBeforeWrite);
        CRefPtr<IROMImage> image = EditedImage(eeprom->bytes, std::min<uint32_t>(c.start, 0x7FFFC));
        rig.flasher->UpdateSection(rig.ui, rig.Adapter(0), eeprom.get(), image, c.start, c.length,
                                   &rig.log);
        EXPECT_EQ(eeprom->writes, std::vector<FakeWrite>{c.written});
        EXPECT_TRUE(eeprom->protectionChanges.empty());
    }
    EXPECT_NE(rig.Shown().find("Update successful."), std::string::npos);
}

TEST(FlasherSectionUpdate, OnTheChipRewritesOneEraseBlockAndProvesThePart)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    rig.flasher->IdentifyEEPROM(rig.ui, eeprom, rig.database, &rig.log, false);
    CRefPtr<IROMImage> image = EditedImage(rig.ChipBytes(0), 0x8005);
    rig.Chip(0).ClearHistory();
    rig.flasher->UpdateSection(rig.ui, rig.Adapter(0), eeprom, image, 0x8005, 3, &rig.log);

    EXPECT_EQ(rig.Chip(0).Erases(), (std::vector<SimFlashOperation>{{0x8000, 0x1000}}));
    EXPECT_FALSE(rig.Chip(0).Programs().empty());
    for (const SimFlashOperation& program : rig.Chip(0).Programs())
    {
        EXPECT_GE(program.address, 0x8000u);
        EXPECT_LE(program.address + program.length, 0x9000u);
    }
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    EXPECT_EQ(chip[0x8005], 0x10);
    EXPECT_EQ(chip[0x8007], 0x12);
    EXPECT_EQ(image->Compare(IROMImage::CreateFromBuffer(chip.data(), 0x80000).get()), -1);
    EXPECT_FALSE(image->GetOffsetMode()) << "the image's mode is set back";
    EXPECT_NE(rig.Logged().find("Update successful."), std::string::npos);
}

TEST(FlasherSectionUpdate, LiftsWriteProtectionOnlyWhenThePartAsks)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<CFakeEEPROM> eeprom = FakeWithFirmware(256, 4, true, true);
    rig.flasher->UpdateSection(rig.ui, rig.Adapter(0), eeprom.get(),
                               EditedImage(eeprom->bytes, 0x100), 0x100, 3, &rig.log);
    EXPECT_EQ(eeprom->protectionChanges, std::vector<bool>{false});
    EXPECT_NE(rig.Shown().find("Remove EEPROM write protect complete."), std::string::npos);
}

TEST(FlasherSectionUpdate, RefusesWhatItCannotProgramOrProve)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    // Each failure also leaves the caller's image in the offset mode it had.
    auto update = [&](CFakeEEPROM& eeprom, uint32_t start, int32_t length)
    {
        CRefPtr<IROMImage> image = EditedImage(eeprom.bytes, 0x10005);
        image->SetOffsetMode(true);
        const std::string error = ErrorOf(
            [&]
            {
                rig.flasher->UpdateSection(rig.ui, rig.Adapter(0), &eeprom, image, start, length,
                                           &rig.log);
            });
        EXPECT_TRUE(image->GetOffsetMode()) << error;
        return error;
    };
    const std::string invalid = "Cannot program a non-page boundary or invalid range for EEPROM.";
    CRefPtr<CFakeEEPROM> noPages(new CFakeEEPROM(0, 0, false));
    EXPECT_EQ(update(*noPages, 0x10005, 3), invalid);
    EXPECT_TRUE(noPages->writes.empty());

    CRefPtr<CFakeEEPROM> fine(new CFakeEEPROM(256, 4, true));
    EXPECT_EQ(update(*fine, 0x80000, 3), invalid) << "a start past the part";
    EXPECT_EQ(update(*fine, 0x10005, -1), invalid);
    EXPECT_TRUE(fine->writes.empty());

    CRefPtr<CFakeEEPROM> dropping = FakeWithFirmware(256, 4, true);
    dropping->dropFirstByte = true;
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "Mismatch at offset 0x00001000 - Expected value: 0x%02X - Read back: 0x%02X",
                  dropping->bytes[0x1000], static_cast<uint8_t>(~dropping->bytes[0x1000]));
    EXPECT_EQ(update(*dropping, 0x1005, 3), expected);

    CRefPtr<CFakeEEPROM> shortWriting(new CFakeEEPROM(256, 4, true));
    shortWriting->shortWrite = true;
    rig.logText.str("");
    EXPECT_EQ(update(*shortWriting, 0x10005, 3), "Full block not programmed");
    EXPECT_NE(rig.Logged().find("EEPROM programming failed."), std::string::npos);
}
