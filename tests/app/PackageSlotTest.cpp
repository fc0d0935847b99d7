// The embedded slot's reading rules.

#include "app/PackageSlot.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace
{
std::unique_ptr<PackageStore> StoreWithLength(uint32_t length)
{
    auto store = std::make_unique<PackageStore>();
    std::memset(store.get(), 0, sizeof(PackageStore));
    std::memcpy(store->slot, &length, sizeof length);
    return store;
}
} // namespace

TEST(PackageSlot, UnstampedProgramHoldsThePlaceholders)
{
    const PackageStore& store = GetPackageStore();
    EXPECT_TRUE(IsPackageSlotEmpty(store));
    EXPECT_EQ(GetPackageFileName(store.control), "flash.rom");
    EXPECT_EQ(store.control.subsystemVendorId, 0xFFFF);
    EXPECT_EQ(store.control.subsystemDeviceId, 0xFFFF);
    EXPECT_EQ(store.control.boardId, 0xFFFF);
    EXPECT_EQ(std::memcmp(store.control.marker, "ROMUVISE_STRUCT\xFF", 16), 0);
}

TEST(PackageSlot, LengthWordMustLieInsideTheSlot)
{
    const std::string invalid = "Embedded ROM image has an invalid length.";
    EXPECT_EQ(testkit::ErrorOf([] { GetPackageBytes(*StoreWithLength(0)); }), invalid);
    EXPECT_EQ(testkit::ErrorOf([] { GetPackageBytes(*StoreWithLength(0x2FFFFD)); }), invalid);
    EXPECT_EQ(testkit::ErrorOf([] { GetPackageBytes(*StoreWithLength(0xFFFFFFFF)); }), invalid);
    auto full = StoreWithLength(0x2FFFFC);
    EXPECT_EQ(GetPackageBytes(*full).size(), 0x2FFFFCu);
    EXPECT_EQ(GetPackageBytes(*full).data(), full->slot + 4);
}

TEST(PackageSlot, NameFieldIsReadToAtMost64Bytes)
{
    auto store = StoreWithLength(1);
    std::memset(store->control.fileName, 'n', sizeof store->control.fileName);
    store->control.flags = 0x12345678; // the byte after the name field is not read
    EXPECT_EQ(GetPackageFileName(store->control), std::string(64, 'n'));
}
