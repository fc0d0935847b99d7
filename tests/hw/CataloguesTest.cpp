#include "core/Singleton.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

TEST(AdapterCatalogue, KnownRowsAndTheUnknownDefault)
{
    CRefPtr<IDisplayAdapterDatabase> database(CreateDisplayAdapterDatabase());
    CDisplayAdapterType type;

    database->GetAdapterType(type, kPlxVendorId, 0x8747);
    EXPECT_TRUE(type.IsKnown());
    EXPECT_EQ(type.deviceKind, kDeviceKindPLX8747);
    EXPECT_FALSE(type.HasEEPROMStraps());
    EXPECT_EQ(type.GetFeatureMask(), 0);

    database->GetAdapterType(type, kKorvanVendorId, 0x0C01);
    EXPECT_EQ(type.deviceKind, kDeviceKindDolvik1);
    EXPECT_EQ(type.name, "Korvan Dolvik1 C01 Duo");
    EXPECT_TRUE(type.HasSecondaryDevId());
    EXPECT_EQ(type.GetCatalogueFlagC(), 1);
    EXPECT_TRUE(type.MasksC040DuringROMAccess());

    // A miss overwrites whatever the caller's value held.
    database->GetAdapterType(type, kKorvanVendorId, 0xFFFE);
    EXPECT_FALSE(type.IsKnown());
    EXPECT_EQ(type.deviceKind, 0u);
    EXPECT_EQ(type.name, "Unknown");
    EXPECT_FALSE(type.HasSecondaryDevId());
    EXPECT_EQ(type.GetCatalogueFlagA(), 0);
    EXPECT_EQ(type.romTypeFromStraps, 0);
}

TEST(AdapterCatalogue, RowsCoverEveryKindAndAreOrderedOnListing)
{
    CRefPtr<IDisplayAdapterDatabase> database(CreateDisplayAdapterDatabase());
    std::vector<CDisplayAdapterType> types;
    database->GetAdapterTypes(types);
    ASSERT_EQ(types.size(), GetAdapterCatalogueRecords().size()); // no key repeats
    EXPECT_TRUE(std::is_sorted(types.begin(), types.end(),
                               [](const auto& a, const auto& b) {
                                   return std::pair(a.vendorId, a.deviceId) <
                                          std::pair(b.vendorId, b.deviceId);
                               }));

    std::set<uint32_t> kinds;
    std::set<uint16_t> gpuMasks;
    int zx22 = 0;
    for (const CDisplayAdapterType& type : types)
    {
        kinds.insert(type.deviceKind);
        const bool bridge =
            type.deviceKind == kDeviceKindZX22 || type.deviceKind == kDeviceKindPLX8747;
        // Bridges keep no straps in an image and have no feature mask.
        EXPECT_EQ(type.HasEEPROMStraps(), !bridge) << type.name;
        EXPECT_EQ(type.GetFeatureMask() == 0, bridge) << type.name;
        if (!bridge)
        {
            gpuMasks.insert(type.GetFeatureMask());
        }
        if (type.deviceKind == kDeviceKindZX22)
        {
            EXPECT_EQ(type.deviceId & 0xFFF0, GetZX22DeviceIdBase());
            ++zx22;
        }
    }
    EXPECT_EQ(kinds, (std::set<uint32_t>{2, 3, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(gpuMasks, (std::set<uint16_t>{0x1F, 0x2F, 0x3F}));
    EXPECT_EQ(zx22, 16);
    EXPECT_EQ(GetZX22DeviceIdBase() & 0xF, 0);
}

TEST(AdapterCatalogue, UnknownDisplayEntry)
{
    const CDisplayAdapterType type =
        CDisplayAdapterType::CreateUnknown(kKorvanVendorId, 0x1234, "Unknown display adapter");
    EXPECT_TRUE(type.IsKnown());
    EXPECT_EQ(type.deviceId, 0x1234);
    EXPECT_EQ(type.deviceKind, 0u);
    EXPECT_EQ(type.reservedFlag10, 1);
    EXPECT_EQ(type.reservedFlag11, 1);
    EXPECT_FALSE(type.HasEEPROMStraps());
    EXPECT_EQ(type.name, "Unknown display adapter");
}

// The adapter catalogue has no operation that changes it, so what two calls
// can share is only the object: each call makes its own, and the holder of one
// may release it while the other stays whole.
TEST(AdapterCatalogue, EachCreateMakesAnObjectOfItsOwn)
{
    CRefPtr<IDisplayAdapterDatabase> first(CreateDisplayAdapterDatabase());
    CRefPtr<IDisplayAdapterDatabase> second(CreateDisplayAdapterDatabase());
    EXPECT_NE(first.get(), second.get());
    std::vector<CDisplayAdapterType> before;
    second->GetAdapterTypes(before);
    first = nullptr;
    std::vector<CDisplayAdapterType> after;
    second->GetAdapterTypes(after);
    ASSERT_EQ(after.size(), GetAdapterCatalogueRecords().size());
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i)
    {
        EXPECT_EQ(after[i].name, before[i].name);
    }
}

TEST(BoardCatalogue, LookupsAndTheSingleton)
{
    {
        CRefPtr<IBoardDatabase> database = GetBoardDatabase();
        EXPECT_EQ(database.get(), GetBoardDatabase().get());
        CBoardType board;
        database->GetBoardType(board, 0x0301);
        EXPECT_TRUE(board.IsKnown());
        EXPECT_EQ(board.name, "Korvan Avrel2 801 Duo Board");
        EXPECT_EQ(board.secondRevision, "B00");

        database->GetBoardType(board, 0);
        EXPECT_FALSE(board.IsKnown());
        EXPECT_EQ(board.vendorId, 0xFFFF);
        EXPECT_EQ(board.deviceId, 0xFFFFFFFFu);
        EXPECT_EQ(board.name, "Unknown");
        EXPECT_EQ(board.revision, "");

        std::vector<CBoardType> boards;
        database->GetBoardTypes(boards);
        EXPECT_EQ(boards.size(), GetBoardCatalogueRecords().size());
        EXPECT_TRUE(std::is_sorted(boards.begin(), boards.end(),
                                   [](const auto& a, const auto& b)
                                   { return a.boardId < b.boardId; }));
    }
    ReleaseSingletons();
}
