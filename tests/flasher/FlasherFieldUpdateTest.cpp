// Image field updates on the simulated machine: each field checked in the
// chip afterwards, only the units that hold it rewritten, and the refusals
// leaving the chip as it was.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <numeric>

using testkit::ErrorOf;

namespace
{
uint32_t DwordAt(const std::vector<uint8_t>& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

uint8_t Sum8(const std::vector<uint8_t>& bytes, size_t at, size_t count)
{
    return static_cast<uint8_t>(std::accumulate(bytes.begin() + at, bytes.begin() + at + count, 0u));
}

std::vector<uint8_t> FirmwareWithStraps(std::vector<uint32_t> straps)
{
    return FirmwareBuilder().HardwareDataArea(0x7E2B, 0x0001, std::move(straps)).Build();
}

// Every erase and program of the chip lies in the first 4 KiB block.
void ExpectOnlyFirstBlockRewritten(CSimSpiFlash& chip)
{
    EXPECT_EQ(chip.Erases(), (std::vector<SimFlashOperation>{{0, 0x1000}}));
    for (const SimFlashOperation& program : chip.Programs())
    {
        EXPECT_LE(program.address + program.length, 0x1000u);
    }
}
} // namespace

TEST(FlasherFieldUpdate, StrapsKeepTheGuidSourceBitAndSetExtendedWordsOnlyWithTheirMarker)
{
    struct Case
    {
        const char* name;
        std::vector<uint32_t> straps;
        uint32_t expectedWord3;
        bool extended;
    };
    const Case cases[] = {
        {"GUID source set, no extended words", {1, 2, 3, 0x80000004}, 0x80000044, false},
        {"extended words present", {1, 2, 3, 4, 0x11111111, 0x22222222}, 0x00000044, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, FirmwareWithStraps(c.straps)}});
        const std::vector<uint8_t> before = rig.ChipBytes(0);
        rig.Chip(0).ClearHistory();
        rig.flasher->UpdateStraps(rig.ui, rig.bus, rig.Adapter(0), rig.database, 0xA0, 0xB0, 0xC0,
                                  0x44, &rig.log);
        const std::vector<uint8_t> chip = rig.ChipBytes(0);
        EXPECT_EQ(DwordAt(chip, 0x58), 0xA0u);
        EXPECT_EQ(DwordAt(chip, 0x5C), 0xB0u);
        EXPECT_EQ(DwordAt(chip, 0x60), 0xC0u);
        EXPECT_EQ(DwordAt(chip, 0x64), c.expectedWord3);
        EXPECT_EQ(Sum8(chip, 0x58, 0x14), 0) << "the checksum byte at 0x6B fits";
        EXPECT_EQ(DwordAt(chip, 0x6C), c.extended ? 0xFFFFFFFFu : DwordAt(before, 0x6C));
        EXPECT_EQ(DwordAt(chip, 0x70), c.extended ? 0u : DwordAt(before, 0x70));
        EXPECT_TRUE(std::equal(chip.begin() + 0x1000, chip.end(), before.begin() + 0x1000));
        ExpectOnlyFirstBlockRewritten(rig.Chip(0));
        EXPECT_NE(rig.Logged().find("Action: Update straps.\n"), std::string::npos);
        EXPECT_NE(rig.Shown().find("Update successful."), std::string::npos);
    }
}

TEST(FlasherFieldUpdate, GuidSourceSetsAndClearsBit31Only)
{
    CFlasherMachine rig({{0x0800, 8, FirmwareWithStraps({1, 2, 3, 0x12345678})}});
    for (uint32_t source : {1u, 0u})
    {
        rig.flasher->UpdateGUIDSource(rig.ui, rig.bus, rig.Adapter(0), rig.database, source,
                                      &rig.log);
        const std::vector<uint8_t> chip = rig.ChipBytes(0);
        EXPECT_EQ(DwordAt(chip, 0x64), source ? 0x92345678u : 0x12345678u);
        EXPECT_EQ(Sum8(chip, 0x58, 0x14), 0);
    }
}

TEST(FlasherFieldUpdate, GuidIsStoredLowWordFirstWithItsChecksum)
{
    CFlasherMachine rig({{0x0800, 8, FirmwareBuilder().GuidRecord(0, 0).Build()}});
    CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(rig.ChipBytes(0).data(), 0x80000);
    const uint32_t entry = static_cast<uint32_t>(image->GetIEEE1394GUIDOffset());
    rig.Chip(0).ClearHistory();
    rig.flasher->UpdateGUID(rig.ui, rig.bus, rig.Adapter(0), rig.database, 0x01234567, 0x89ABCDEF,
                            &rig.log);
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    EXPECT_EQ(std::vector<uint8_t>(chip.begin() + entry + 2, chip.begin() + entry + 10),
              (std::vector<uint8_t>{0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));
    EXPECT_EQ(Sum8(chip, entry, 10), 0);
    ExpectOnlyFirstBlockRewritten(rig.Chip(0));
}

TEST(FlasherFieldUpdate, RefusalsLeaveTheChipUntouched)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    rig.Chip(0).ClearHistory();
    EXPECT_EQ(ErrorOf([&] {
                  rig.flasher->UpdateGUID(rig.ui, rig.bus, rig.Adapter(0), rig.database, 1, 2,
                                          &rig.log);
              }),
              "No IEEE 1394 GUID present in image.");

    const std::string file = rig.folder.WriteBytes("tv.bin", std::vector<uint8_t>(512, 0));
    rig.logText.str("");
    EXPECT_EQ(ErrorOf([&] {
                  rig.flasher->UpdateTVType(rig.ui, file, rig.bus, rig.Adapter(0), rig.database,
                                            &rig.log);
              }),
              "This option not supported on this EEPROM part.\n");
    EXPECT_EQ(rig.Logged().find("Action: Read EEPROM image."), std::string::npos)
        << "refused before the read";

    EXPECT_FALSE(ErrorOf([&] {
                     rig.flasher->UpdateTVType(rig.ui, (rig.folder.Path() / "missing.bin").string(), rig.bus,
                                               rig.Adapter(0), rig.database, &rig.log);
                 }).empty());
    EXPECT_EQ(rig.ChipBytes(0), before);
    EXPECT_TRUE(rig.Chip(0).Erases().empty());
}
