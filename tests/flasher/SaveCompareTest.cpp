// Saving the adapter's firmware to a file and comparing a file image with
// it, on the simulated machine.

#include "AdapterAndPackageStores.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using testkit::ErrorOf;

namespace
{
std::vector<uint8_t> FileBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The firmware's chain without its 0x85 block.
std::vector<uint8_t> WithoutBoardBlock(const std::vector<uint8_t>& firmware)
{
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(firmware.data(), static_cast<uint32_t>(firmware.size()));
    COffsetModeScope off(image.get(), false);
    image->RemovePCIBlock(image->FindNthPCIBlock(0x85, 0));
    return {image->GetBuffer(), image->GetBuffer() + image->GetROMSize()};
}

void Save(CFlasherMachine& rig, const std::string& path, bool keepAll, bool wholeEEPROM)
{
    rig.flasher->SaveROMImage(rig.ui, path, rig.bus, rig.Adapter(0), CreateDisplayAdapterDatabase(),
                              GetBoardDatabase(), rig.database, keepAll, wholeEEPROM, false,
                              &rig.log);
}
} // namespace

TEST(FlasherSave, TheBackupIsTheChainWithoutTheBoardBlock)
{
    const std::vector<uint8_t> firmware = AdapterFirmware();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    const std::string backup = (rig.folder / "backup.rom").string();
    Save(rig, backup, false, false);
    EXPECT_EQ(FileBytes(backup), WithoutBoardBlock(firmware));
    EXPECT_NE(rig.Shown().find("Saving of image completed."), std::string::npos);

    const std::string whole = (rig.folder / "whole.rom").string();
    Save(rig, whole, false, true);
    EXPECT_EQ(FileBytes(whole), rig.ChipBytes(0));
    const std::string all = (rig.folder / "all.rom").string();
    Save(rig, all, true, false);
    EXPECT_EQ(FileBytes(all), std::vector<uint8_t>(firmware.begin(), firmware.end()));
}

TEST(FlasherCompare, MatchesWithoutTheBoardBlockAndFailsOnDifferences)
{
    const std::vector<uint8_t> firmware = AdapterFirmware();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    auto compare = [&](const std::vector<uint8_t>& file, bool doVarnex)
    {
        return ErrorOf(
            [&]
            {
                rig.flasher->CompareROMImage(
                    rig.ui,
                    IROMImage::CreateFromBuffer(file.data(), static_cast<uint32_t>(file.size())),
                    rig.bus, rig.Adapter(0), GetBoardDatabase(), rig.database, false, false,
                    doVarnex, false, false, &rig.log);
            });
    };
    const std::vector<uint8_t> same = WithoutBoardBlock(firmware);
    EXPECT_EQ(compare(same, false), "(no error)");
    EXPECT_NE(rig.Shown().find("File firmware image matches adapter firmware image."),
              std::string::npos);

    std::vector<uint8_t> changed = same;
    changed[0x1234] ^= 0x01;
    EXPECT_EQ(compare(changed, false).substr(0, 31), "Mismatch at offset 0x00001234.\n");
    EXPECT_TRUE(rig.DriverBound(0));

    // A package whose store cannot take the board's BBO record: the Varnex
    // step fails, and that is no match.
    std::vector<uint8_t> noBbo = WithVarnexBlock(MakeFirmware(), PackageStore(false));
    EXPECT_EQ(compare(noBbo, true), "Failed to process Varnex block.");
    EXPECT_NE(rig.Logged().find("ERROR: Failed to process Varnex block.\n"), std::string::npos);
}
