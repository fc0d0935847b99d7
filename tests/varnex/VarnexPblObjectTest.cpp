#include "testkit/varnex/CapturedLog.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexPblObject.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace
{

using testkit::CapturedLog;
using testkit::CVarnexStoreBuilder;

// A page with retirement type t in bits 29-31.
constexpr uint64_t Page(uint64_t id, uint64_t type)
{
    return (id << 32) | (type << 29) | id;
}

CVarnexImagePblObject MakePbl(uint8_t version, uint8_t subversion, std::vector<uint64_t> on,
                              std::vector<uint64_t> off)
{
    const auto bytes = CVarnexStoreBuilder().Pbl(version, subversion, on, off).ObjectBytes(0);
    return CVarnexImagePblObject(bytes, 0);
}

TEST(PblObjectTest, KnowsItsThreeVersions)
{
    struct
    {
        uint8_t version;
        uint8_t subversion;
        size_t capacity;
        size_t size;
    } const table[] = {{2, 0, 64, 1040}, {2, 1, 20, 336}, {3, 0, 64, 1292}};
    for (const auto& row : table)
    {
        const auto pbl =
            MakePbl(row.version, row.subversion, {Page(1, 1)}, {Page(2, 1), Page(3, 2)});
        ASSERT_TRUE(pbl.IsKnownVersion());
        EXPECT_EQ(pbl.GetSize(), row.size);
        const auto on = pbl.GetPageArray(1);
        const auto off = pbl.GetPageArray(0);
        ASSERT_TRUE(on && off);
        EXPECT_EQ(on->size(), row.capacity);
        EXPECT_EQ((*on)[0], Page(1, 1));
        EXPECT_EQ((*off)[1], Page(3, 2));
        EXPECT_EQ(pbl.GetCounts(), 2);
        EXPECT_EQ(pbl.GetTransferMaximum(), 8u);
    }

    auto bytes = CVarnexStoreBuilder().Generic("PBL", std::vector<uint8_t>(40, 1)).ObjectBytes(0);
    bytes[3] = 4; // version 4.0
    const CVarnexImagePblObject unknown(bytes, 0);
    EXPECT_TRUE(unknown.HasData());
    EXPECT_FALSE(unknown.IsKnownVersion());
    EXPECT_FALSE(unknown.GetPageArray(1));
    EXPECT_FALSE(unknown.GetCounts());
}

TEST(PblObjectTest, ClearWipesBothArraysAndTheCount)
{
    CLog* log = GetLog();
    std::ostringstream text;
    CScopedLogSink sink(log, &text, 0, 10);
    auto pbl =
        MakePbl(2, 0, {Page(1, 1), Page(2, 1), Page(3, 1)}, {Page(4, 1), Page(5, 1), Page(6, 1)});
    pbl.Clear();
    EXPECT_EQ(text.str(), "PBL Version: 02.00\nblacklisted-page counts = 03\n"
                          "Clear all blacklisted-pages (64) of ECC-ON.\n"
                          "Wiped out 03 of blacklisted-page records of ECC-ON.\n"
                          "Clear all blacklisted-pages (64) of ECC-OFF.\n"
                          "Wiped out 03 of blacklisted-page records of ECC-OFF.\n");
    EXPECT_EQ(pbl.GetData(), std::vector<uint8_t>(1032, 0));
    EXPECT_EQ(pbl.GetCounts(), 0);
}

TEST(PblObjectTest, ConvertsDynamicPagesKeepingTheOtherBits)
{
    const uint64_t dynamic2 = 0xFFFFFFFF00000000ull | (2ull << 29) | 0x1234;
    const uint64_t dynamic4 = (4ull << 29) | 0x1FFFFFFF;
    auto pbl =
        MakePbl(2, 1, {dynamic2, dynamic4, Page(9, 3)}, {Page(1, 2), Page(2, 4), Page(3, 1)});
    CapturedLog captured;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(pbl.ConvertDynamicPages(&captured.log));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "PBL: WARNING: The backup image contains 2 dynamic pages that have been converted "
              "into statically retired pages\n");
    const auto on = *pbl.GetPageArray(1);
    EXPECT_EQ(on[0], 0xFFFFFFFF00000000ull | (1ull << 29) | 0x1234);
    EXPECT_EQ(on[1], (3ull << 29) | 0x1FFFFFFF);
    EXPECT_EQ(on[2], Page(9, 3));
}

TEST(PblObjectTest, TransfersPagesAndCountsTheOnesWithoutRoom)
{
    // The destination (backup) is full in both arrays except one slot; the
    // source holds one dynamic and one static page absent from the
    // destination, and one page the destination already has.
    std::vector<uint64_t> held;
    for (uint64_t i = 0; i < 19; ++i)
    {
        held.push_back(Page(100 + i, 1));
    }
    auto backup = MakePbl(2, 1, held, held);
    const auto primary = MakePbl(2, 1, {Page(100, 1), Page(7, 2), Page(8, 3)},
                                 {Page(100, 1), Page(7, 2), Page(8, 3)});
    const auto primaryBytes = primary.GetBytes();

    CapturedLog captured;
    uint32_t notTransferred = 0;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(backup.TransferPages(primary, 0, notTransferred, &captured.log));
    testing::internal::GetCapturedStdout();
    // Per array: the dynamic page takes the last slot, the static page finds
    // none and is counted as not transferred.
    EXPECT_EQ(notTransferred, 2u);
    EXPECT_EQ((*backup.GetPageArray(1))[19], Page(7, 1));
    EXPECT_EQ((*backup.GetPageArray(0))[19], Page(7, 1));
    EXPECT_EQ(backup.GetCounts(), 20);
    EXPECT_NE(captured.text.str().find("page 0x0000006420000064 already present in IB, skip to "
                                       "transfer this page to IB.\n"),
              std::string::npos);
    EXPECT_NE(captured.text.str().find("PBL: 1 out of 2 pages transferred\n"), std::string::npos);
    // The source never changes.
    EXPECT_EQ(primary.GetBytes(), primaryBytes);
}

TEST(PblObjectTest, RefusedTransfersLeaveTheDestinationUnchanged)
{
    std::vector<uint64_t> nine;
    for (uint64_t i = 0; i < 9; ++i)
    {
        nine.push_back(Page(i + 1, 2));
    }
    struct
    {
        const char* name;
        CVarnexImagePblObject destination;
        CVarnexImagePblObject source;
        uint32_t maximum;
        const char* message;
    } table[] = {
        {"major versions differ", MakePbl(2, 0, {}, {}), MakePbl(3, 0, {Page(1, 2)}, {Page(1, 2)}),
         0, "PBL: Version mismatch. Unable to transfer pages\n"},
        {"more than the maximum", MakePbl(2, 0, {}, {}), MakePbl(2, 0, nine, nine), 0,
         "PBL: Transferred pages greater than max allowed transferred pages.\n"},
        {"arrays disagree", MakePbl(2, 0, {Page(5, 2)}, {}), MakePbl(2, 0, {}, {}), 0,
         "PBL: Number of transferred pages differs between of EccOn arrays and EccOff arrays "
         "(1 != 0).\n"},
    };
    for (auto& row : table)
    {
        CapturedLog captured;
        const auto before = row.destination.GetBytes();
        uint32_t notTransferred = 0;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(
            row.destination.TransferPages(row.source, row.maximum, notTransferred, &captured.log))
            << row.name;
        testing::internal::GetCapturedStdout();
        EXPECT_NE(captured.text.str().find(row.message), std::string::npos)
            << row.name << ": " << captured.text.str();
        EXPECT_EQ(row.destination.GetBytes(), before) << row.name;
    }

    // A higher maximum lets the nine through, and 0 later keeps it.
    auto destination = MakePbl(2, 0, {}, {});
    const auto source = MakePbl(2, 0, nine, nine);
    CapturedLog captured;
    uint32_t notTransferred = 0;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(destination.TransferPages(source, 9, notTransferred, &captured.log));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(destination.GetCounts(), 9);
    EXPECT_EQ(destination.GetTransferMaximum(), 9u);

    // 2.0 and 2.1 share a major version: the transfer proceeds.
    auto narrow = MakePbl(2, 1, {}, {});
    testing::internal::CaptureStdout();
    EXPECT_TRUE(narrow.TransferPages(MakePbl(2, 0, {Page(1, 2)}, {Page(1, 2)}), 0, notTransferred,
                                     &captured.log));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ((*narrow.GetPageArray(1))[0], Page(1, 1));
}

TEST(PblObjectTest, ADynamicPageAlreadyPresentStillCountsAsNotTransferred)
{
    const auto destinationBytes =
        CVarnexStoreBuilder().Pbl(2, 0, {Page(7, 1)}, {Page(7, 1)}).ObjectBytes(0);
    CVarnexImagePblObject destination(destinationBytes, 0);
    const auto sourceBytes =
        CVarnexStoreBuilder().Pbl(2, 0, {Page(7, 2)}, {Page(7, 2)}).ObjectBytes(0);
    const CVarnexImagePblObject source(sourceBytes, 0);

    CapturedLog captured;
    uint32_t notTransferred = 0;
    ASSERT_TRUE(destination.TransferPages(source, 0, notTransferred, &captured.log));
    EXPECT_EQ(notTransferred, 2u);
    const std::string text = captured.text.str();
    EXPECT_NE(text.find("page 0x0000000720000007 already present in IB, skip to transfer this "
                        "page to IB.\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("PBL: 0 out of 1 pages transferred\n"), std::string::npos) << text;
    EXPECT_EQ((*destination.GetPageArray(1))[1], 0u);
    EXPECT_EQ(destination.GetCounts(), 1);
}

TEST(PblObjectTest, AnUnknownVersionRefusesEveryPageOperation)
{
    auto bytes = CVarnexStoreBuilder().Generic("PBL", std::vector<uint8_t>(40, 1)).ObjectBytes(0);
    bytes[3] = 4; // version 4.0
    CVarnexImagePblObject unknown(bytes, 0);
    const auto known = CVarnexStoreBuilder().Pbl(2, 0, {Page(1, 2)}, {}).ObjectBytes(0);
    CVarnexImagePblObject other(known, 0);
    uint32_t notTransferred = 0;
    uint32_t transferred = 0;

    struct
    {
        const char* name;
        std::function<bool(CLog*)> operation;
        const char* message;
    } const table[] = {
        {"ClearPages", [&](CLog* log) { return unknown.ClearPages(1, log); },
         "PBL:  Page array null\n"},
        {"ConvertDynamicPages", [&](CLog* log) { return unknown.ConvertDynamicPages(log); },
         "PBL:  Page array null\n"},
        {"MovePages",
         [&](CLog* log) { return other.MovePages(unknown, 1, notTransferred, transferred, log); },
         "PBL:  Page array null\n"},
        {"TransferPages",
         [&](CLog* log) { return other.TransferPages(unknown, 0, notTransferred, log); },
         "PBL: Version mismatch. Unable to transfer pages\n"},
    };
    for (const auto& row : table)
    {
        CapturedLog captured;
        EXPECT_FALSE(row.operation(&captured.log)) << row.name;
        EXPECT_EQ(captured.text.str(), row.message) << row.name;
    }
    EXPECT_EQ(unknown.GetBytes(), bytes);
    EXPECT_EQ(other.GetBytes(), known);

    // A same-major version that is not one of the three known layouts.
    auto bytes22 = bytes;
    bytes22[3] = 2, bytes22[4] = 2;
    const CVarnexImagePblObject unknown22(bytes22, 0);
    CapturedLog captured;
    EXPECT_FALSE(other.TransferPages(unknown22, 0, notTransferred, &captured.log));
    EXPECT_EQ(captured.text.str(), "PBL: Version not supported.  Unable to transfer pages\n");

    // Clear reports on the process logger at level 4 and changes nothing.
    std::ostringstream processLog;
    {
        CScopedLogSink sink(GetLog(), &processLog, 4, 4);
        unknown.Clear();
    }
    EXPECT_EQ(processLog.str(), "PBL: Unknown version or subversion\n");
    EXPECT_EQ(unknown.GetBytes(), bytes);
}

} // namespace
