// The board's OEM, BBO and OBD objects written into a store and carried from
// the adapter's store into a new one, and an image with a built Varnex block
// written to the file of the option romout instead of the adapter.

#include "AdapterAndPackageStores.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "testkit/CapturedOutput.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <iterator>

using testkit::CVarnexStoreBuilder;

namespace
{
CRefPtr<CVarnexImage> Store(const CVarnexStoreBuilder& builder)
{
    return CRefPtr<CVarnexImage>(new CVarnexImage(builder.BuildRaw()));
}

CVarnexStoreBuilder WithOem(uint8_t subversion, size_t bodyLength)
{
    CVarnexStoreBuilder builder;
    builder.Img("G001.0001", 0, 0, 0, 0, true).Oem(std::vector<uint8_t>(bodyLength, 0x5A));
    return builder.WithVersion(1, subversion);
}

} // namespace

TEST(FlasherVarnexObjects, OemDataFitsTheBodyOrIsRefused)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<CVarnexImage> store = Store(WithOem(0, 8));
    CVarnexImageObject& oem = *store->FindObject(VarnexTag("OEM"));
    std::vector<uint8_t> exact{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(rig.flasher->UpdateOEMObject(store, exact, &rig.log), 0);
    EXPECT_EQ(oem.GetData(), exact);
    std::vector<uint8_t> tooLong(9, 1);
    testkit::CCapturedOutput out;
    EXPECT_EQ(rig.flasher->UpdateOEMObject(store, tooLong, &rig.log), 5);
    EXPECT_EQ(out.Text(), "Update failed: Input OEM data is too large.\n");
    EXPECT_EQ(oem.GetData(), exact);
    std::vector<uint8_t> empty;
    EXPECT_EQ(rig.flasher->UpdateOEMObject(store, empty, &rig.log), 0);
    EXPECT_EQ(oem.GetData(), std::vector<uint8_t>(8, 0));

    // The backup store takes the data only when its OEM object is of the
    // primary's version.
    std::vector<uint8_t> data{9};
    EXPECT_EQ(rig.flasher->BackupOEMObject(Store(WithOem(1, 8)), store, data, &rig.log), 17);
    CRefPtr<CVarnexImage> backup = Store(WithOem(0, 8));
    EXPECT_EQ(rig.flasher->BackupOEMObject(backup, store, data, &rig.log), 0);
    EXPECT_EQ(backup->FindObject(VarnexTag("OEM"))->GetData().at(0), 9);
}

TEST(FlasherVarnexObjects, BboRecordNeedsItsPlaceholder)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CVarnexStoreBuilder withBbo;
    withBbo.Img("G001.0001", 0, 0, 0, 0, true).Bbo(0, 0, 0);
    CVarnexStoreBuilder board;
    board.Img("G001.0001", 0, 0, 0, 0, true).Bbo(7, 2, 0xBEEF);
    CVarnexStoreBuilder without;
    without.Img("G001.0001", 0, 0, 0, 0, true);

    CRefPtr<CVarnexImage> fresh = Store(withBbo);
    EXPECT_EQ(rig.flasher->PreserveBBOObject(fresh, Store(board), &rig.log), 0);
    uint32_t id = 0, revision = 0, value = 0;
    dynamic_cast<CVarnexImageBboObject*>(fresh->FindObject(VarnexTag("BBO")))
        ->GetValue(id, revision, value);
    EXPECT_EQ(std::make_tuple(id, revision, value), std::make_tuple(7u, 2u, 0xBEEFu));
    EXPECT_EQ(rig.flasher->PreserveBBOObject(Store(without), Store(board), &rig.log), 9);
    EXPECT_EQ(rig.flasher->PreserveBBOObject(Store(withBbo), Store(without), &rig.log), 4);
    EXPECT_EQ(rig.flasher->PreserveBBOObject(nullptr, Store(board), &rig.log), 0);
}

TEST(FlasherVarnexObjects, ObdSettingsChangeOnlyTheFieldsNamed)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<CVarnexImage> store(new CVarnexImage(BoardStore()));
    const std::vector<uint8_t> before = store->FindObject(VarnexTag("OBD"))->GetData();
    CsvSettings settings;
    ASSERT_TRUE(settings.ParseCsvLine("BoardSerialNumber, SN-NEW ", &rig.log));
    EXPECT_EQ(rig.flasher->UpdateOBDFields(store, settings, &rig.log), 0);
    std::vector<uint8_t> expected = before;
    std::fill(expected.begin() + 28, expected.begin() + 44, 0);
    std::string serial = "SN-NEW";
    std::copy(serial.begin(), serial.end(), expected.begin() + 28);
    EXPECT_EQ(store->FindObject(VarnexTag("OBD"))->GetData(), expected);

    CsvSettings tooLong;
    ASSERT_TRUE(tooLong.ParseCsvLine("BoardSerialNumber,12345678901234567", &rig.log));
    testkit::CCapturedOutput out;
    EXPECT_EQ(rig.flasher->UpdateOBDFields(store, tooLong, &rig.log), 5);
    EXPECT_EQ(out.Text(), "Error: Invalid board serial number (too big)\n");
    EXPECT_EQ(store->FindObject(VarnexTag("OBD"))->GetData(), expected);
}

TEST(FlasherVarnexObjects, RomOutTakesTheImageInsteadOfTheAdapter)
{
    CFlasherMachine probe({{0x0800, 8, AdapterFirmware()}});
    const std::string path = (probe.folder / "out.rom").string();
    CFlasherMachine rig({{0x0800, 8, AdapterFirmware()}}, {"romout=" + path});
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    std::vector<uint8_t> bytes = WithVarnexBlock(MakeFirmware(), PackageStore());
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_TRUE(
        rig.flasher->WriteVarnexImage(rig.Adapter(0), rig.OpenEEPROM(0), image, nullptr, &rig.log));
    std::ifstream file(path, std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {}), bytes);
    EXPECT_EQ(rig.ChipBytes(0), chip);
    EXPECT_FALSE(rig.flasher->WriteVarnexImage(rig.Adapter(0), rig.OpenEEPROM(0), nullptr, nullptr,
                                               &rig.log));
}
