// The Varnex flash types: the table's rows, the classification of pairs of
// stores, and the OBD fields read, written, compared and copied.

#include "CapturedOutput.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "flasher/ObdFields.h"
#include "flasher/VarnexFlashTypes.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <iostream>
#include <optional>
#include <sstream>

using testkit::CVarnexStoreBuilder;

namespace
{
// An OBD body with the fields the presence tests read.
std::vector<uint8_t> ObdBody(const std::string& marketingName, const std::string& serial,
                             const std::string& number699)
{
    std::vector<uint8_t> body(120, 0);
    std::copy(marketingName.begin(), marketingName.end(), body.begin() + 4);
    std::copy(serial.begin(), serial.end(), body.begin() + 28);
    std::copy(number699.begin(), number699.end(), body.begin() + 95);
    return body;
}

struct StoreSpec
{
    std::string version;
    bool product; // the IDs filled in; else the ID check waived
    bool populated;
};

// A firmware image with the store, or without any.
CRefPtr<IROMImage> ImageWith(std::optional<StoreSpec> spec)
{
    testkit::CGpuImageBuilder builder = FirmwareBuilder();
    if (spec)
    {
        CVarnexStoreBuilder store;
        if (spec->product)
        {
            store.Img(spec->version, 0x0800, 0x7E2B, 0x0001, 0x7E2B);
        }
        else
        {
            store.Img(spec->version, 0, 0, 0, 0, true);
        }
        store.Generic("OBD", spec->populated ? ObdBody("Board", "SN1", "699-10800-0000-A01")
                                             : ObdBody("", "", ""));
        builder.VarnexBlock(store.BuildRaw(), {});
    }
    return builder.BuildImage();
}

struct FlashTypeCase
{
    const char* name;
    std::optional<StoreSpec> current;
    std::optional<StoreSpec> fresh;
    bool mergeOption;
    int32_t type;
};

const StoreSpec kGenericDefault{"G001.0001", false, false};
const StoreSpec kGenericDefaultNewer{"G001.0002", false, false};
const StoreSpec kGenericPopulated{"G001.0001", false, true};
const StoreSpec kGenericPopulatedNewer{"G001.0002", false, true};
const StoreSpec kProductDefault{"P100.0001", true, false};
const StoreSpec kProductDefaultNewer{"P100.0002", true, false};
const StoreSpec kProductPopulated{"P100.0001", true, true};
const StoreSpec kProductPopulatedNewer{"P100.0002", true, true};

const FlashTypeCase kFlashTypeCases[] = {
    {"nothing anywhere", std::nullopt, std::nullopt, false, 0},
    {"new generic populated", std::nullopt, kGenericPopulated, false, 1},
    {"new generic default", std::nullopt, kGenericDefault, false, 2},
    {"new product", std::nullopt, kProductDefault, false, 3},
    {"new image without a store", kProductPopulated, std::nullopt, false, 4},
    {"generic default, same release", kGenericDefault, kGenericDefault, false, 5},
    {"generic default, newer", kGenericDefault, kGenericDefaultNewer, false, 6},
    {"generic default to populated", kGenericDefault, kGenericPopulated, false, 7},
    {"generic to product default", kGenericPopulated, kProductDefault, false, 9},
    {"generic to product populated", kGenericDefault, kProductPopulated, false, 10},
    {"generic populated to default", kGenericPopulated, kGenericDefault, false, 11},
    {"generic populated to newer default", kGenericPopulated, kGenericDefaultNewer, false, 12},
    {"generic populated, same release", kGenericPopulated, kGenericPopulated, false, 13},
    {"generic populated, newer", kGenericPopulated, kGenericPopulatedNewer, false, 14},
    {"product to generic", kProductDefault, kGenericPopulated, false, 15},
    {"product default, same release", kProductDefault, kProductDefault, false, 16},
    {"product default, merge asked", kProductDefault, kProductDefault, true, 18},
    {"product default, newer", kProductDefault, kProductDefaultNewer, false, 19},
    {"product default to populated", kProductDefault, kProductPopulated, false, 20},
    {"product populated to default", kProductPopulated, kProductDefault, false, 21},
    {"product populated, no merge", kProductPopulated, kProductPopulatedNewer, false, 17},
    {"product populated, merge, same", kProductPopulated, kProductPopulated, true, 22},
    {"product populated, merge, newer", kProductPopulated, kProductPopulatedNewer, true, 23},
};
} // namespace

TEST(FlasherVarnexFlashType, TableRowsInIdOrder)
{
    const std::vector<VarnexFlashTypeDescriptor>& table = VarnexFlashTypes();
    ASSERT_EQ(table.size(), 25u);
    for (int32_t id = 0; id < 25; ++id)
    {
        EXPECT_EQ(table[static_cast<size_t>(id)].id, id);
        EXPECT_EQ(FindVarnexFlashType(id), &table[static_cast<size_t>(id)]);
    }
    EXPECT_EQ(FindVarnexFlashType(25), nullptr);
    const VarnexFlashTypeDescriptor& keepBoard = table[14];
    EXPECT_EQ(keepBoard.name, "VARNEX_FLASH_TYPE_GENERIC_POPULATED_GENERIC_POPULATED_NEWER");
    EXPECT_EQ(std::tie(keepBoard.action, keepBoard.obdMode, keepBoard.backupMode),
              std::make_tuple(3, 2, 2));
    EXPECT_EQ(std::tie(table[9].action, table[9].obdMode, table[9].backupMode),
              std::make_tuple(1, 1, 1));
    EXPECT_EQ(table[24].name, "VARNEX_FLASH_TYPE_UNKNOWN");
}

TEST(FlasherVarnexFlashType, ClassifiesEachPairOfStores)
{
    for (const FlashTypeCase& c : kFlashTypeCases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}},
                            c.mergeOption ? std::vector<std::string>{"mergevarnex"}
                                          : std::vector<std::string>{});
        EXPECT_EQ(
            rig.flasher->GetVarnexFlashType(ImageWith(c.fresh), ImageWith(c.current), &rig.log),
            c.type);
        char line[32];
        std::snprintf(line, sizeof line, "VARNEX_FLASH_TYPE: %02X\n", c.type);
        EXPECT_NE(rig.Logged().find(line), std::string::npos);
    }
}

TEST(FlasherVarnexFlashType, UnknownTypeFailsTheProcessing)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<IROMImage> image = ImageWith(std::nullopt);
    EXPECT_EQ(rig.flasher->ProcessVarnexBlock(kVarnexFlashTypeUnknown, image, image, &rig.log), 9);
    EXPECT_EQ(rig.flasher->ProcessVarnexBlock(25, image, image, &rig.log), 9);
    EXPECT_EQ(rig.flasher->ProcessVarnexBlock(0, image, image, &rig.log), 0);
}

TEST(FlasherObdFields, ReadWriteAndCompareByName)
{
    CRefPtr<CVarnexImage> store(new CVarnexImage(CVarnexStoreBuilder()
                                                     .Img("G001.0001", 0, 0, 0, 0, true)
                                                     .Generic("OBD", ObdBody("", "", ""))
                                                     .BuildRaw()));
    CVarnexImageObject& obd = *store->FindObject(VarnexTag("OBD"));
    auto field = [](const char* name) -> const ObdField&
    {
        for (const ObdField& f : ObdFields())
        {
            if (std::string(f.name) == name)
            {
                return f;
            }
        }
        throw std::invalid_argument(name);
    };
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
        CCapturedOutput out;
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
