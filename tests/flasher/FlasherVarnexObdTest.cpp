// The OBD board-data fields: read, written, compared and copied by name, and
// changed from a settings file without touching the fields it does not name.

#include "AdapterAndPackageStores.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "core/CsvSettings.h"
#include "testkit/CapturedOutput.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/ObdFields.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using testkit::CVarnexStoreBuilder;

TEST(FlasherObdFields, ReadWriteAndCompareByName)
{
    CRefPtr<CVarnexImage> store(new CVarnexImage(CVarnexStoreBuilder()
                                                     .Img("G001.0001", 0, 0, 0, 0, true)
                                                     .Generic("OBD", ObdBody("", "", ""))
                                                     .BuildRaw()));
    CVarnexImageObject& obd = *store->FindObject(VarnexTag("OBD"));
    const auto field = [](const char* name) -> const ObdField& { return FindObdField(name); };
    EXPECT_EQ(GetObdField(obd, field("BoardBuildDate")), "0");
    ASSERT_TRUE(SetObdField(obd, field("BoardBuildDate"), "2024A3B5"));
    EXPECT_EQ(GetObdField(obd, field("BoardBuildDate")), "2024A3B5");

    const std::string name24(24, 'M');
    ASSERT_TRUE(SetObdField(obd, field("MarketingName"), name24));
    EXPECT_EQ(GetObdField(obd, field("MarketingName")), name24);
    EXPECT_EQ(obd.GetData().at(28), 0) << "the serial number after it untouched";

    bool refused = false;
    bool oneRefused = false;
    std::string printed;
    {
        testkit::CCapturedOutput out;
        refused = !SetObdField(obd, field("BoardSerialNumber"), std::string(17, '9'));
        oneRefused = !SetObdField(obd, field("MemoryManufacturer"), "12");
        printed = out.Text();
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(oneRefused);
    EXPECT_EQ(printed, "Error: Invalid board serial number (too big)\n"
                       "Error: Invalid Memory Vendor ID (too big)\n");
    EXPECT_EQ(GetObdField(obd, field("BoardSerialNumber")), std::string(16, '\0'));

    // A copy that differs in trailing blanks only is the same board data.
    CRefPtr<CVarnexImage> other(new CVarnexImage(store->Serialize(0, nullptr)));
    CVarnexImageObject& copy = *other->FindObject(VarnexTag("OBD"));
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    ASSERT_TRUE(SetObdField(copy, field("BoardRevision"), "A1 "));
    ASSERT_TRUE(SetObdField(obd, field("BoardRevision"), "A1"));
    std::ostringstream diffs;
    EXPECT_TRUE(rig.flasher->PrintOBDFieldDiffs(&obd, &copy, diffs));
    ASSERT_TRUE(SetObdField(copy, field("Board699PartNumber"), "699-1"));
    EXPECT_FALSE(rig.flasher->PrintOBDFieldDiffs(&copy, &obd, diffs));
    EXPECT_EQ(diffs.str(), "  Board699PartNumber: 699-1 (File) v.s.  (Current)\n");

    // Copying carries every field; another OBD version copies nothing.
    EXPECT_EQ(rig.flasher->CopyVarnexImageObdObject(store, other, false, &rig.log), 0);
    EXPECT_EQ(obd.GetData(), copy.GetData());
    CRefPtr<CVarnexImage> older(new CVarnexImage(CVarnexStoreBuilder()
                                                     .Img("G001.0001", 0, 0, 0, 0, true)
                                                     .Generic("OBD", ObdBody("X", "Y", ""))
                                                     .WithVersion(2, 0)
                                                     .BuildRaw()));
    EXPECT_EQ(rig.flasher->CopyVarnexImageObdObject(store, older, false, &rig.log), 12);
    EXPECT_EQ(obd.GetData(), copy.GetData());
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
