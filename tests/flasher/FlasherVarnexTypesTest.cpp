// The Varnex flash types: finding a type by id and the classification of
// pairs of stores.

#include "AdapterAndPackageStores.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "flasher/VarnexFlashTypes.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <iostream>
#include <optional>

using testkit::CVarnexStoreBuilder;

namespace
{
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
    // The decision, as the name of its flash type without the common prefix.
    const char* type;
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
    {"nothing anywhere", std::nullopt, std::nullopt, false, "NONE_TO_NONE"},
    {"new generic populated", std::nullopt, kGenericPopulated, false, "NONE_TO_GENERIC_POPULATED"},
    {"new generic default", std::nullopt, kGenericDefault, false, "NONE_TO_GENERIC_DEFAULT"},
    {"new product", std::nullopt, kProductDefault, false, "NONE_TO_PRODUCT_ANY"},
    {"new image without a store", kProductPopulated, std::nullopt, false, "NOT_NONE_TO_NONE"},
    {"generic default, same release", kGenericDefault, kGenericDefault, false,
     "GENERIC_DEFAULT_TO_GENERIC_DEFAULT"},
    {"generic default, newer", kGenericDefault, kGenericDefaultNewer, false,
     "GENERIC_DEFAULT_TO_GENERIC_DEFAULT_NEWER"},
    {"generic default to populated", kGenericDefault, kGenericPopulated, false,
     "GENERIC_DEFAULT_TO_GENERIC_POPULATED"},
    {"generic to product default", kGenericPopulated, kProductDefault, false,
     "GENERIC_ANY_TO_PRODUCT_DEFAULT"},
    {"generic to product populated", kGenericDefault, kProductPopulated, false,
     "GENERIC_ANY_TO_PRODUCT_POPULATED"},
    {"generic populated to default", kGenericPopulated, kGenericDefault, false,
     "GENERIC_POPULATED_GENERIC_DEFAULT"},
    {"generic populated to newer default", kGenericPopulated, kGenericDefaultNewer, false,
     "GENERIC_POPULATED_GENERIC_DEFAULT_NEWER"},
    {"generic populated, same release", kGenericPopulated, kGenericPopulated, false,
     "GENERIC_POPULATED_GENERIC_POPULATED"},
    {"generic populated, newer", kGenericPopulated, kGenericPopulatedNewer, false,
     "GENERIC_POPULATED_GENERIC_POPULATED_NEWER"},
    {"product to generic", kProductDefault, kGenericPopulated, false, "PRODUCT_ANY_TO_GENERIC_ANY"},
    {"product default, same release", kProductDefault, kProductDefault, false,
     "PRODUCT_ANY_TO_PRODUCT_DEFAULT"},
    {"product default, merge asked", kProductDefault, kProductDefault, true,
     "PRODUCT_DEFAULT_TO_PRODUCT_DEFAULT"},
    {"product default, newer", kProductDefault, kProductDefaultNewer, false,
     "PRODUCT_DEFAULT_TO_PRODUCT_DEFAULT_NEWER"},
    {"product default to populated", kProductDefault, kProductPopulated, false,
     "PRODUCT_DEFAULT_TO_PRODUCT_POPULATED"},
    {"product populated to default", kProductPopulated, kProductDefault, false,
     "PRODUCT_POPULATED_TO_PRODUCT_DEFAULT"},
    {"product populated, no merge", kProductPopulated, kProductPopulatedNewer, false,
     "PRODUCT_ANY_TO_PRODUCT_POPULATED"},
    {"product populated, merge, same", kProductPopulated, kProductPopulated, true,
     "PRODUCT_POPULATED_TO_PRODUCT_POPULATED"},
    {"product populated, merge, newer", kProductPopulated, kProductPopulatedNewer, true,
     "PRODUCT_POPULATED_TO_PRODUCT_POPULATED_NEWER"},
};
} // namespace

TEST(FlasherVarnexFlashType, EachIdFindsItsOwnType)
{
    const std::vector<VarnexFlashTypeDescriptor>& table = VarnexFlashTypes();
    ASSERT_EQ(table.size(), 25u);
    for (int32_t id = 0; id < 25; ++id)
    {
        ASSERT_NE(FindVarnexFlashType(id), nullptr);
        EXPECT_EQ(FindVarnexFlashType(id)->id, id);
    }
    EXPECT_EQ(FindVarnexFlashType(25), nullptr);
    EXPECT_EQ(FindVarnexFlashType(kVarnexFlashTypeUnknown)->name, "VARNEX_FLASH_TYPE_UNKNOWN");
}

TEST(FlasherVarnexFlashType, ClassifiesEachPairOfStores)
{
    for (const FlashTypeCase& c : kFlashTypeCases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}},
                            c.mergeOption ? std::vector<std::string>{"mergevarnex"}
                                          : std::vector<std::string>{});
        const int32_t type =
            rig.flasher->GetVarnexFlashType(ImageWith(c.fresh), ImageWith(c.current), &rig.log);
        const VarnexFlashTypeDescriptor* found = FindVarnexFlashType(type);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->name, std::string("VARNEX_FLASH_TYPE_") + c.type);
        char line[32];
        std::snprintf(line, sizeof line, "VARNEX_FLASH_TYPE: %02X\n", type);
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
