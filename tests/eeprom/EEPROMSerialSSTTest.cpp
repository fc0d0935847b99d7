// SST serial parts with SST's own command set, on a chip model that drives its
// data line on the rising clock edge.

#include "FlashRig.h"

#include <gtest/gtest.h>

namespace
{
constexpr uint8_t kSst = 0xBF;
constexpr uint16_t kSst25vf010 = 0x0049; // 128 KiB, 256-byte pages, 4 KiB blocks
constexpr uint32_t kSize = 0x20000;
constexpr uint32_t kSstRomType = 2;

struct SstRig : FlashRig
{
    SstRig() : FlashRig(kSst, kSst25vf010, ESimSpiFlavour::SST) {}
};
} // namespace

TEST(EEPROMSerialSST, IdentifiesByTheTwoIdReads)
{
    SstRig flash;
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(kSstRomType);
    std::ostringstream text;
    eeprom->Describe(text);
    EXPECT_EQ(text.str(), "EEPROM ID (BF,0049) : SST SST25VF010 2.7-3.6V 1024Kx1S, page");
    EXPECT_EQ(flash.chip->CommandCount(0x90), 2u);
    EXPECT_EQ(flash.ControlRegister() & 1u, 0u);
}

TEST(EEPROMSerialSST, WriteErasesProgramsAndVerifiesWithTheSstCommands)
{
    SstRig flash;
    flash.Fill(RandomBytes(kSize, 1));
    std::vector<uint8_t> wanted = flash.Bytes();
    const std::vector<uint8_t> fresh = RandomBytes(0x2000, 2);
    std::copy(fresh.begin(), fresh.end(), wanted.begin() + 0x4000);
    CRefPtr<IROMImage> image = ImageOf(wanted);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(kSstRomType);

    EXPECT_EQ(eeprom->WriteImage(nullptr, 0, image.get(), 0, kSize, true, true, flash.log), kSize);
    EXPECT_EQ(flash.Bytes(), wanted);
    EXPECT_EQ(flash.chip->Erases(),
              (std::vector<SimFlashOperation>{{0x4000, 0x1000}, {0x5000, 0x1000}}));
    EXPECT_EQ(flash.chip->Programs().size(), 2u * 16u);
    EXPECT_EQ(flash.chip->CommandCount(0x06), 0u); // no write enable in this command set
}

TEST(EEPROMSerialSST, PageProgramIsOneFrameOfTheDataAndFiveMoreBytes)
{
    SstRig flash;
    flash.chip->Timing().byteProgram = 0; // ready at the first status byte
    const std::vector<uint8_t> page = RandomBytes(256, 3);
    CRefPtr<IROMImage> image = ImageOf(page);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(kSstRomType);
    flash.chip->ClearHistory();

    eeprom->WriteImage(nullptr, 0x300, image.get(), 0, 256, true, true, flash.log);
    EXPECT_EQ(flash.contents->Read(0x300, 256), page);
    // The program frame, then 0x9F and one status byte.
    EXPECT_EQ(flash.chip->BytesClocked(), 256u + 5u + 2u);
    EXPECT_EQ(flash.chip->StatusReads(), 1u);
}

TEST(EEPROMSerialSST, ChipEraseAndSoftwareReads)
{
    SstRig flash;
    const std::vector<uint8_t> bytes = RandomBytes(kSize, 4);
    flash.Fill(bytes);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(kSstRomType, 3, true);
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    image->SetOffsetMode(false);
    EXPECT_EQ(eeprom->Read(nullptr, 0x1234, 300, 0, image.get(), flash.log), 300u);
    EXPECT_TRUE(
        std::equal(bytes.begin() + 0x1234, bytes.begin() + 0x1234 + 300, image->GetBuffer()));
    EXPECT_EQ(flash.chip->CommandCount(0xFF), 1u);

    eeprom->EraseChip(nullptr, flash.log);
    EXPECT_EQ(flash.Bytes(), std::vector<uint8_t>(kSize, 0xFF));
}

TEST(EEPROMSerialSST, HasNoSoftwareProtectionAndErasesOnlyAlignedBlocks)
{
    SstRig flash;
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(kSstRomType);
    for (const bool lock : {true, false})
    {
        try
        {
            eeprom->SetProtection(lock, flash.log);
            ADD_FAILURE() << "no error";
        }
        catch (const std::runtime_error& error)
        {
            EXPECT_STREQ(error.what(), "Software protect feature not valid on this EEPROM part");
        }
    }
    EXPECT_THROW(eeprom->ErasePages(nullptr, 0x800, 0x1000, false, flash.log), std::domain_error);
}
