// Identification, image reads and the fit check on the simulated machine.

#include "FakeEEPROM.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

using testkit::ErrorOf;

TEST(FlasherRead, ReadsTheHeadAndTheWholePartAndTellsAnErasedChip)
{
    const std::vector<uint8_t> firmware = MakeFirmware();
    CFlasherMachine rig({{0x0800, 8, firmware}, {0x0800, 8, {}}});

    bool blank = true;
    CRefPtr<IROMImage> head = rig.flasher->ReadImageHead(rig.ui, rig.Adapter(0), rig.database,
                                                         rig.OpenEEPROM(0), blank, &rig.log);
    EXPECT_FALSE(blank);
    EXPECT_EQ(head->GetLoadedSize(), 0x1000u);
    EXPECT_TRUE(head->IsValid());
    EXPECT_EQ(head->GetDeviceID(), 0x0800);

    CRefPtr<IROMImage> whole = rig.flasher->ReadAdapterImage(rig.ui, rig.Adapter(0), rig.database,
                                                             rig.OpenEEPROM(0), &rig.log, true);
    ASSERT_EQ(whole->GetLoadedSize(), 0x80000u);
    whole->SetOffsetMode(false);
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    EXPECT_EQ(std::vector<uint8_t>(whole->GetBuffer(), whole->GetBuffer() + 0x80000), chip);
    EXPECT_NE(rig.Shown().find("EEPROM ID (EF,3013)"), std::string::npos);

    rig.logText.str("");
    head = rig.flasher->ReadImageHead(rig.ui, rig.Adapter(1), rig.database, rig.OpenEEPROM(1),
                                      blank, &rig.log);
    EXPECT_TRUE(blank);
    const std::string logged = rig.Logged();
    EXPECT_NE(logged.find("Action: Read image head.\n"), std::string::npos);
    EXPECT_NE(logged.find("Action: Identify EEPROM.\n"), std::string::npos);
    EXPECT_NE(logged.find("EEPROM is blank.\n"), std::string::npos);
}

namespace
{
struct FitCase
{
    const char* name;
    uint32_t chainLength; // of the PCI block chain
    uint32_t loaded;      // bytes in the image
    bool fits;
    const char* logged;
};

// The fake part: 512 KiB of 256-byte pages.
const FitCase kFitCases[] = {
    {"a few bytes short of the part", 0x7FE00, 0x7FFFD, true, ""},
    {"the part exactly", 0x80000, 0x80000, true, ""},
    {"one byte more than the part", 0x80000, 0x80001, false,
     "ROM image too large for EEPROM, target image size = 00080100 v.s. Certain EEPROM size = "
     "00080000\n"},
    {"a chain running past the loaded bytes", 0x20000, 0x1F000, false,
     "ROM image PCI block chain runs past the loaded image, loaded size = 0001F000\n"},
};
} // namespace

TEST(FlasherFit, MeasuresWhatWillBeWrittenInWholePages)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<CFakeEEPROM> eeprom(new CFakeEEPROM(256, 4, true));
    for (const FitCase& c : kFitCases)
    {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = MakeFirmware({.length = c.chainLength});
        bytes.resize(c.loaded, 0xFF);
        CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(bytes.data(), c.loaded);
        rig.logText.str("");
        EXPECT_EQ(rig.flasher->CheckImageFitsEEPROM(image, eeprom.get(), &rig.log), c.fits);
        EXPECT_EQ(rig.Logged(), c.logged);
    }
    CRefPtr<CFakeEEPROM> noPages(new CFakeEEPROM(0, 4, true));
    EXPECT_FALSE(rig.flasher->CheckImageFitsEEPROM(
        IROMImage::CreateFromBuffer(MakeFirmware().data(), 0x10000), noPages.get(), &rig.log));
}

TEST(FlasherFit, MeasuresAnImageInOffsetModeWithTheModeOffAndPutsItBack)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<CFakeEEPROM> eeprom(new CFakeEEPROM(256, 4, true));
    // A 0x1000-byte init-from-ROM segment ahead of a chain that fills the
    // rest of the part: in offset mode it would seem to fit.
    testkit::CGpuImageBuilder builder = FirmwareBuilder({.length = 0x80000});
    CRefPtr<IROMImage> image = builder.InitFromRom(0x1000).BuildImage();
    image->SetOffsetMode(true);
    ASSERT_EQ(image->GetROMSize(), 0x80000u);
    EXPECT_FALSE(rig.flasher->CheckImageFitsEEPROM(image, eeprom.get(), &rig.log));
    EXPECT_TRUE(image->GetOffsetMode());
}
