// Building a Varnex file-system image from a store: the nodes with their
// flags and sizes, the progress log, dummy nodes, and the content it refuses.

#include "testkit/varnex/CapturedLog.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexFileSystem.h"
#include "varnex/VarnexImage.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace
{
using testkit::CapturedLog;
using testkit::CVarnexStoreBuilder;
using testkit::MakeVarnexFsDummyNode;

TEST(VarnexFsBuildTest, LaysOutNodesFlagsAndSizes)
{
    struct
    {
        uint8_t attribute;
        uint8_t flags;
        uint32_t total;
    } const table[] = {{0x00, 0x02, 20480},
                       {0xFF, 0x02, 20480},
                       {0x02, 0x0A, 20480},
                       {0x01, 0x06, 32768},
                       {0x03, 0x0E, 32768}};
    for (const auto& row : table)
    {
        // 217 body bytes: size 225, three nodes of 112, 112 and 1.
        const auto raw = CVarnexStoreBuilder()
                             .Generic("BBX", std::vector<uint8_t>(217, 0x3C))
                             .WithAttribute(row.attribute)
                             .BuildRaw();
        CapturedLog captured;
        const auto fs = CVarnexImage(raw).SerializeFileSystem(&captured.log);
        ASSERT_EQ(fs.size(), row.total);
        EXPECT_EQ(fs[8] | (fs[9] << 8) | (fs[10] << 16), static_cast<int>(row.total));
        // Read-write files start at the first block boundary after the
        // read-only ones; read-only ones follow the directory's node.
        const size_t first = (row.attribute != 0xFF && (row.attribute & 1)) ? 4096 : 256;
        const uint8_t lengths[] = {112, 112, 1};
        for (size_t k = 0; k < 3; ++k)
        {
            const size_t at = first + 128 * k;
            EXPECT_EQ(fs[at], row.flags) << int{row.attribute};
            EXPECT_EQ(fs[at + 4] | (fs[at + 5] << 8), static_cast<int>(112 * k));
            EXPECT_EQ(fs[at + 6], lengths[k]);
        }
        // Then dummy nodes (read-only) or erased space (read-write).
        EXPECT_EQ(fs[first + 3 * 128], first == 4096 ? 0xFF : 0x00);
        // Every written node, dummy nodes included, sums to zero.
        for (size_t at = 128; at < fs.size(); at += 128)
        {
            if (fs[at] == 0xFF)
            {
                continue;
            }
            const int sum = std::accumulate(fs.begin() + static_cast<long>(at),
                                            fs.begin() + static_cast<long>(at + 128), 0);
            EXPECT_EQ(sum % 256, 0) << at;
        }
    }
}

TEST(VarnexFsBuildTest, LogsItsProgress)
{
    const auto raw = CVarnexStoreBuilder().Generic("BBX", {1, 2}).BuildRaw();
    CapturedLog captured;
    CVarnexImage(raw).SerializeFileSystem(&captured.log);
    EXPECT_EQ(captured.text.str(),
              "Num of Objects = 2\n"
              "Writing data from offset: 16 to offset: 80\n"
              "Writing remaining data as 0xFF from offset: 80 to offset: 128\n"
              " writeSize = 64 bytesToCopy = 64 objectOffset = 0 objectSize = 64\n"
              "Writing data from offset: 16 to offset: 26\n"
              "Writing remaining data as 0xFF from offset: 26 to offset: 128\n"
              " writeSize = 10 bytesToCopy = 10 objectOffset = 0 objectSize = 10\n"
              "Num of RW Objects = 0\n"
              "Size of image with dummy RO blocks  = 3712\n");
}

TEST(VarnexFsBuildTest, ReadOnlyContentEndingOnABlockGetsNoDummyNodes)
{
    // Superblock, directory (1 node), BBX (29 nodes) and ROB (1 node) fill
    // block 0 exactly; the read-write files follow at 4096 in their order,
    // whatever the interleaving in the image.
    const auto raw = CVarnexStoreBuilder()
                         .Generic("BBX", std::vector<uint8_t>(29 * 112 - 8, 0x11))
                         .Generic("PGM", {0x22})
                         .WithAttribute(0x01)
                         .Generic("ROB", {0x33})
                         .Generic("RWB", {0x44})
                         .WithAttribute(0x03)
                         .BuildRaw();
    CapturedLog captured;
    const auto fs = CVarnexImage(raw).SerializeFileSystem(&captured.log);
    ASSERT_EQ(fs.size(), 32768u);
    EXPECT_NE(captured.text.str().find("Num of RW Objects = 2\n"
                                       "Size of image with dummy RO blocks  = 0\n"),
              std::string::npos);
    const auto tagAt = [&](size_t at)
    { return std::string(fs.begin() + at + 1, fs.begin() + at + 4); };
    EXPECT_EQ(tagAt(128), "ROM");
    EXPECT_EQ(tagAt(256), "BBX");
    EXPECT_EQ(tagAt(4096 - 128), "ROB");
    EXPECT_EQ(tagAt(4096), "PGM");
    EXPECT_EQ(fs[4096], 0x06);
    EXPECT_EQ(tagAt(4096 + 128), "RWB");
    EXPECT_EQ(fs[4096 + 128], 0x0E);
    EXPECT_EQ(fs[4096 + 256], 0xFF);
    EXPECT_TRUE(CVarnexImage(fs).IsValid());
}

TEST(VarnexFsBuildTest, RefusesContentThatLeavesLessThanTwoBytes)
{
    // Read-only slots pad to the first block; 224 read-write slots follow.
    // Two read-write objects of 110 nodes and one of n: 223 slots fit in
    // 32768 bytes (two 0xFF bytes and more stay), 224 do not.
    for (const auto& [lastNodes, fits] :
         std::vector<std::pair<size_t, bool>>{{3, true}, {4, false}})
    {
        const auto raw = CVarnexStoreBuilder()
                             .Generic("BBX", std::vector<uint8_t>(0x2FFF - 8, 1))
                             .WithAttribute(1)
                             .Generic("PGM", std::vector<uint8_t>(0x2FFF - 8, 2))
                             .WithAttribute(1)
                             .Generic("XYZ", std::vector<uint8_t>(112 * lastNodes - 8, 3))
                             .WithAttribute(1)
                             .BuildRaw();
        CapturedLog captured;
        std::vector<uint8_t> out;
        testing::internal::CaptureStdout();
        const int result = CVarnexImage(raw).BuildFileSystemImage(out, &captured.log);
        const std::string printed = testing::internal::GetCapturedStdout();
        if (fits)
        {
            EXPECT_EQ(result, kVarnexFsOk);
            ASSERT_EQ(out.size(), 32768u);
            EXPECT_EQ(out[255 * 128], 0xFF);
            EXPECT_EQ(printed, "");
        }
        else
        {
            EXPECT_EQ(result, kVarnexFsDoesNotFit);
            EXPECT_TRUE(out.empty());
            EXPECT_EQ(printed, "Error: Varnex Image can't be fit into FS\n");
            EXPECT_TRUE(CVarnexImage(raw).SerializeFileSystem(&captured.log).empty());
        }
    }
}

TEST(VarnexFsBuildTest, RefusesImagesThatWouldNotReadBack)
{
    CVarnexStoreBuilder twentyOne;
    twentyOne.Directory(19);
    for (char c = 'A'; c < 'A' + 18; ++c)
    {
        twentyOne.Generic(std::string("BX") + c, {1});
    }
    CVarnexImage twentyFiles(twentyOne.BuildRaw());
    ASSERT_EQ(twentyFiles.GetObjectCount(), 19u);
    const std::vector<uint8_t> extra = {'B', 'B', 'Z', 1, 0, 9, 0, 0, 1};
    twentyFiles.AddObject(CVarnexImage::CreateObject(VarnexTag("BBZ"), extra, 0));
    CapturedLog captured;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(twentyFiles.SerializeFileSystem(&captured.log).empty());
    const std::vector<uint8_t> another = {'B', 'B', 'Y', 1, 0, 9, 0, 0, 1};
    twentyFiles.AddObject(CVarnexImage::CreateObject(VarnexTag("BBY"), another, 0));
    ASSERT_TRUE(twentyFiles.IsValid());
    std::vector<uint8_t> out;
    EXPECT_EQ(twentyFiles.BuildFileSystemImage(out, &captured.log), kVarnexFsDoesNotFit);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Varnex Image can't be fit into FS\n");

    const auto raw = CVarnexStoreBuilder().Generic("BBX", {1}).Generic("BBX", {2}).BuildRaw();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(CVarnexImage(raw).SerializeFileSystem(&captured.log).empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: Varnex Image holds more than one BBX object\n");
}

TEST(VarnexFsBuildTest, DummyNodesNeedWholeSlots)
{
    CapturedLog captured;
    std::vector<uint8_t> out;
    EXPECT_EQ(VarnexFsWriteDummyNodes(out, 100, &captured.log), kVarnexFsCorrupt);
    EXPECT_EQ(captured.text.str(), "Error while creating Dummy blocks: 100\n");
    EXPECT_EQ(VarnexFsWriteDummyNodes(out, 256, &captured.log), kVarnexFsOk);
    ASSERT_EQ(out.size(), 256u);
    const auto dummy = MakeVarnexFsDummyNode();
    EXPECT_TRUE(std::equal(dummy.begin(), dummy.end(), out.begin()));
}
} // namespace
