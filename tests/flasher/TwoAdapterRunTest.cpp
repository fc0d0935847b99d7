// The engine on a machine file with two adapters: identify, read, check an
// image's fit, erase one adapter and update a section of the other, with the
// display driver and both chips checked after each step.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "core/CrossPlatform.h"
#include "flasher/ImageCompatibility.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(FlasherTwoAdapterRun, IdentifiesReadsChecksErasesAndUpdates)
{
    const std::vector<uint8_t> avrelFirmware = MakeFirmware();
    const std::vector<uint8_t> dolvikFirmware =
        MakeFirmware({.deviceId = 0x0C00, .boardId = 0x0601});
    CFlasherMachine rig({{0x0800, 8, avrelFirmware}, {0x0C00, 12, dolvikFirmware}}, {"auto"});
    GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(rig.flasher.get()));
    rig.flasher->SetModeFlags(kFlasherEngineeringMode);
    const std::vector<uint8_t> avrelChip = rig.ChipBytes(0);
    const std::vector<uint8_t> dolvikChip = rig.ChipBytes(1);
    ASSERT_TRUE(std::equal(avrelFirmware.begin(), avrelFirmware.end(), avrelChip.begin()));
    auto bothDisabled = [&] { return !rig.DriverBound(0) && !rig.DriverBound(1); };

    // Identify: the drivers go off for the work and stay off.
    rig.flasher->CheckEEPROM(rig.ui, rig.bus, rig.Adapter(0), rig.database, &rig.log);
    EXPECT_TRUE(bothDisabled());
    EXPECT_NE(rig.Shown().find("EEPROM ID (EF,3013) : "), std::string::npos);
    EXPECT_EQ(rig.ChipBytes(0), avrelChip);
    EXPECT_EQ(rig.ChipBytes(1), dolvikChip);

    // Read the second adapter's firmware.
    CRefPtr<IROMImage> dolvik = rig.flasher->ReadAdapterImage(rig.ui, rig.Adapter(1), rig.database,
                                                              rig.OpenEEPROM(1), &rig.log, true);
    dolvik->SetOffsetMode(false);
    EXPECT_TRUE(std::equal(dolvikChip.begin(), dolvikChip.end(), dolvik->GetBuffer()));
    EXPECT_TRUE(bothDisabled());

    // A newer image fits the first adapter; the second adapter's does not.
    bool blank = true;
    CRefPtr<IROMImage> head = rig.flasher->ReadImageHead(rig.ui, rig.Adapter(0), rig.database,
                                                         rig.OpenEEPROM(0), blank, &rig.log);
    EXPECT_FALSE(blank);
    CRefPtr<IROMImage> newer = FirmwareBuilder({.version = 0x86041C00}).BuildImage();
    EXPECT_EQ(CheckImageCompatibility(rig.Adapter(0), newer, head, nullptr, {}, &rig.log), 0u);
    EXPECT_EQ(CheckImageCompatibility(rig.Adapter(0), dolvik, head, nullptr, {}, &rig.log) &
                  (kMismatchDeviceId | kMismatchBoardId),
              uint32_t{kMismatchDeviceId | kMismatchBoardId});
    CRefPtr<IEEPROM> identified = rig.OpenEEPROM(0);
    rig.flasher->IdentifyEEPROM(rig.ui, identified, rig.database, &rig.log, false);
    EXPECT_TRUE(rig.flasher->CheckImageFitsEEPROM(newer, identified, &rig.log));
    EXPECT_TRUE(bothDisabled());

    // Erase the second adapter.
    rig.console->keys = {'y'};
    rig.flasher->EraseEEPROM(rig.ui, rig.bus, rig.Adapter(1), rig.database, false, &rig.log);
    const std::vector<uint8_t> erased = rig.ChipBytes(1);
    EXPECT_TRUE(std::all_of(erased.begin(), erased.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(rig.ChipBytes(0), avrelChip);
    rig.flasher->ReadImageHead(rig.ui, rig.Adapter(1), rig.database, rig.OpenEEPROM(1), blank,
                               &rig.log);
    EXPECT_TRUE(blank);
    EXPECT_TRUE(bothDisabled());

    // Update three bytes of the first adapter's firmware.
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    CRefPtr<IROMImage> image = rig.flasher->ReadAdapterImage(rig.ui, rig.Adapter(0), rig.database,
                                                             eeprom, &rig.log, false);
    image->SetOffsetMode(false);
    for (int32_t i = 0; i < 3; ++i)
    {
        image->SetByte(0x8005 + i, static_cast<uint8_t>(0x5A + i));
    }
    rig.Chip(0).ClearHistory();
    rig.flasher->UpdateSection(rig.ui, rig.Adapter(0), eeprom, image, 0x8005, 3, &rig.log);
    EXPECT_EQ(rig.Chip(0).Erases(), (std::vector<SimFlashOperation>{{0x8000, 0x1000}}));
    std::vector<uint8_t> expected = avrelChip;
    expected[0x8005] = 0x5A;
    expected[0x8006] = 0x5B;
    expected[0x8007] = 0x5C;
    EXPECT_EQ(rig.ChipBytes(0), expected);
    EXPECT_EQ(rig.ChipBytes(1), erased);
    EXPECT_TRUE(bothDisabled());

    // The run gives both displays back after its last adapter.
    rig.flasher->RestoreDisplayDriver(true);
    EXPECT_TRUE(rig.DriverBound(0));
    EXPECT_TRUE(rig.DriverBound(1));
    EXPECT_FALSE(GetCrossPlatform()->IsDisplayDriverDisabled());
}
