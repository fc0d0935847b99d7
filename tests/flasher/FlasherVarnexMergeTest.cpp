// The board's OEM and BBO objects written into a store and carried from the
// adapter's store into a new one.

#include "AdapterAndPackageStores.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "testkit/CapturedOutput.h"

#include <gtest/gtest.h>

#include <iostream>

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
