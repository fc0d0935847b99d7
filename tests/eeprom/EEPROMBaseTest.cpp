// Part records whose geometry the write cannot work with are refused before
// the chip is touched.

#include "FlashRig.h"
#include "OnePartDatabase.h"

#include <gtest/gtest.h>

namespace
{
struct GeometryCase
{
    uint16_t bytesPerPage;
    uint16_t kbytesPerBlock;
    bool eraseRequired;
    const char* error;
};
} // namespace

TEST(EEPROMGeometry, UnworkableGeometryIsRefusedBeforeTheChipIsTouched)
{
    const GeometryCase cases[] = {
        {0, 4, true, "bytesPerPage is not a power of 2"},
        {0, 0, false, "bytesPerPage is not a power of 2"},
        {3, 4, true, "bytesPerPage is not a power of 2"},
        {2048, 4, true, "bytesPerPage is greater than 1024"},
        {256, 0, true, "bytesPerEraseBlock is not a power of 2"},
        {256, 3, true, "bytesPerEraseBlock is not a power of 2"},
    };
    for (const GeometryCase& wanted : cases)
    {
        SCOPED_TRACE(wanted.error);
        FlashRig flash(0xC2, 0x2010);
        CEEPROMType part(GetEEPROMDatabase()->GetEEPROMType(0xC2, 0x2010));
        part.BytesPerPage = wanted.bytesPerPage;
        part.KbytesPerBlock = wanted.kbytesPerBlock;
        part.EraseReqBeforeChipSectorWrite = wanted.eraseRequired;
        CRefPtr<IEEPROMDatabase> database(new COnePartDatabase(part));
        CRefPtr<IEEPROM> eeprom = flash.Open();
        ASSERT_TRUE(eeprom->Identify(database.get(), flash.log));
        flash.Fill(std::vector<uint8_t>(0x10000, 0x00));
        CRefPtr<IROMImage> image = ImageOf(std::vector<uint8_t>(0x1000, 0xFF));
        try
        {
            eeprom->WriteImage(nullptr, 0, image.get(), 0, 0x1000, true, true, flash.log);
            ADD_FAILURE() << "written";
        }
        catch (const std::domain_error& error)
        {
            EXPECT_STREQ(error.what(), wanted.error);
        }
        EXPECT_TRUE(flash.chip->Erases().empty());
        EXPECT_TRUE(flash.chip->Programs().empty());
    }
}

TEST(EEPROMGeometry, WriteOutsideThePartOrTheImageIsRefused)
{
    FlashRig flash(0xC2, 0x2010);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
    CRefPtr<IROMImage> image = ImageOf(std::vector<uint8_t>(0x1000, 0x00));
    EXPECT_THROW(eeprom->WriteImage(nullptr, 0xF800, image.get(), 0, 0x1000, true, true, flash.log),
                 std::domain_error);
    EXPECT_THROW(eeprom->WriteImage(nullptr, 0, image.get(),
                                    static_cast<int32_t>(kImageBufferSize) - 4, 0x1000, true, true,
                                    flash.log),
                 std::domain_error);
    EXPECT_THROW(eeprom->WriteImage(nullptr, 0, image.get(), -1, 0x1000, true, true, flash.log),
                 std::domain_error);
    EXPECT_TRUE(flash.chip->Programs().empty());
}

TEST(EEPROMGeometry, WindowDecodersOntoTheEepromAreSwitchedOffWhileProgramming)
{
    // Avrel GPUs can map part of their register space onto the EEPROM; the
    // mapping is cleared while pages are programmed and put back afterwards.
    FlashRig flash(0xC2, 0x2010, ESimSpiFlavour::Standard, 8);
    flash.rig.gpu->SetRegister(0x122400 + 4 * 3, 0x0310000);
    flash.rig.gpu->SetRegister(0x122600 + 4 * 3, 0x5);
    flash.rig.gpu->SetRegister(0x122400 + 4 * 4, 0x0400000); // not onto the EEPROM
    flash.rig.gpu->SetRegister(0x122600 + 4 * 4, 0x7);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
    CRefPtr<IROMImage> image = ImageOf(std::vector<uint8_t>(256, 0x00));
    flash.rig.gpu->RecordAccesses(true);
    eeprom->WriteImage(nullptr, 0, image.get(), 0, 256, true, true, flash.log);

    std::vector<uint32_t> written;
    for (const CSimGpu::Access& access : flash.rig.gpu->Accesses())
    {
        if (access.write && access.offset == 0x122600 + 4 * 3)
        {
            written.push_back(access.value);
        }
        EXPECT_FALSE(access.write && access.offset == 0x122600 + 4 * 4);
    }
    EXPECT_EQ(written, (std::vector<uint32_t>{0, 5}));
    EXPECT_EQ(flash.contents->Read(0, 256), std::vector<uint8_t>(256, 0x00));
}
