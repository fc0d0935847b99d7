#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexFileSystem.h"
#include "varnex/VarnexImage.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <sstream>

namespace
{

using testkit::CVarnexStoreBuilder;
using testkit::MakeVarnexFsDummyNode;
using testkit::MakeVarnexFsNode;
using testkit::MakeVarnexFsSuperblock;

// A context mounted on bytes (which it may change in place).
struct MountedFs
{
    explicit MountedFs(std::vector<uint8_t> image) : bytes(std::move(image))
    {
        source = {bytes.data(), static_cast<uint32_t>(bytes.size())};
        const uint32_t version = bytes.size() >= 8 ? bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) |
                                                         (uint32_t{bytes[7]} << 24)
                                                   : 0;
        context = CreateVarnexFileSystem(&source, version);
        result = VarnexFsMount(context);
    }
    ~MountedFs() { VarnexFsClose(context); }
    MountedFs(const MountedFs&) = delete;
    MountedFs& operator=(const MountedFs&) = delete;

    std::vector<uint8_t> Read(const char* name, uint16_t offset, uint16_t count,
                              int* code = nullptr)
    {
        std::vector<uint8_t> out(count + 1, 0xEE);
        const int r = VarnexFsRead(context, reinterpret_cast<const uint8_t*>(name), offset, count,
                                   out.data());
        out.pop_back();
        if (code != nullptr)
        {
            *code = r;
        }
        return out;
    }
    uint16_t Size(const char* name)
    {
        uint16_t size = 0;
        EXPECT_EQ(VarnexFsGetSize(context, reinterpret_cast<const uint8_t*>(name), &size),
                  kVarnexFsOk);
        return size;
    }
    int Write(const char* name, uint16_t offset, std::vector<uint8_t> data)
    {
        return VarnexFsWrite(context, reinterpret_cast<const uint8_t*>(name), offset,
                             static_cast<uint16_t>(data.size()), data.data());
    }

    std::vector<uint8_t> bytes;
    VarnexFsSource source{};
    VarnexFsContext* context = nullptr;
    int result = -99;
};

// An image laid out slot by slot: superblock at slot 0, then the given
// 128-byte slots, then 0xFF up to total.
std::vector<uint8_t> Layout(uint32_t total, const std::vector<std::array<uint8_t, 128>>& slots,
                            uint32_t version = 2)
{
    std::vector<uint8_t> image = MakeVarnexFsSuperblock(version, total);
    for (const auto& slot : slots)
    {
        image.insert(image.end(), slot.begin(), slot.end());
    }
    image.resize(total, 0xFF);
    return image;
}

void PutSlot(std::vector<uint8_t>& image, size_t offset, const std::array<uint8_t, 128>& node)
{
    std::copy(node.begin(), node.end(), image.begin() + static_cast<long>(offset));
}

std::array<uint8_t, 128> Obsolete(const char* tag, uint8_t flags = 0x04)
{
    return MakeVarnexFsNode(flags, tag, 0, std::vector<uint8_t>{0});
}

// Mount failures, each with the code it ends in.
struct MountCase
{
    const char* name;
    std::function<std::vector<uint8_t>()> image;
    int result;
};

// The case's name stands for it in test output; its bytes would show
// addresses that change from run to run.
void PrintTo(const MountCase& c, std::ostream* out)
{
    *out << c.name;
}

class VarnexFsMountRejects : public testing::TestWithParam<MountCase>
{
};

TEST_P(VarnexFsMountRejects, FailsWithItsCode)
{
    const auto image = GetParam().image();
    MountedFs fs(image);
    EXPECT_EQ(fs.result, GetParam().result);
    // Nor does the image reader accept it.
    EXPECT_EQ(CVarnexImage(image).GetObjectCount(), 0u);
}

std::vector<std::array<uint8_t, 128>> DistinctFiles(size_t count)
{
    std::vector<std::array<uint8_t, 128>> nodes;
    for (size_t i = 0; i < count; ++i)
    {
        const std::string tag = {'F', static_cast<char>('A' + i / 26),
                                 static_cast<char>('A' + i % 26)};
        const std::vector<uint8_t> data = {static_cast<uint8_t>(tag[0]),
                                           static_cast<uint8_t>(tag[1]),
                                           static_cast<uint8_t>(tag[2]),
                                           1,
                                           0,
                                           9,
                                           0,
                                           0,
                                           7};
        nodes.push_back(MakeVarnexFsNode(0x02, tag, 0, data));
    }
    return nodes;
}

INSTANTIATE_TEST_SUITE_P(
    Images, VarnexFsMountRejects,
    testing::Values(
        MountCase{"VersionThree",
                  [] {
                      return CVarnexStoreBuilder()
                          .Generic("BBX", {1})
                          .FileSystemVersion(3)
                          .BuildFileSystem();
                  },
                  kVarnexFsNotAllowed},
        MountCase{"ErasedSuperblock",
                  []
                  {
                      auto image = Layout(20480, {});
                      std::fill(image.begin() + 4, image.begin() + 12, 0xFF);
                      return image;
                  },
                  kVarnexFsNotAllowed},
        MountCase{"SizeAllOnes",
                  []
                  {
                      auto image = Layout(20480, {});
                      std::fill(image.begin() + 8, image.begin() + 12, 0xFF);
                      return image;
                  },
                  kVarnexFsCorrupt},
        MountCase{"VersionZeroSizeAllOnes",
                  []
                  {
                      auto image = Layout(20480, {}, 0);
                      std::fill(image.begin() + 8, image.begin() + 12, 0xFF);
                      return image;
                  },
                  kVarnexFsCorrupt},
        MountCase{"SizeBeyondTheBytes",
                  []
                  {
                      auto image = Layout(20480, {});
                      image[10] = 0x01; // 65536 + 20480
                      return image;
                  },
                  kVarnexFsCorrupt},
        MountCase{"BlockCutShort",
                  []
                  {
                      auto image = Layout(4096, {});
                      image.resize(2048);
                      image[8] = 0;
                      image[9] = 8;
                      return image;
                  },
                  kVarnexFsCorrupt},
        MountCase{"NodeLengthZero",
                  []
                  {
                      auto node = MakeVarnexFsNode(0x02, "BBX", 0, std::vector<uint8_t>{1});
                      node[6] = 0;
                      return Layout(20480, {node});
                  },
                  kVarnexFsCorrupt},
        MountCase{"NodeLengthPastItsData",
                  []
                  {
                      auto node = MakeVarnexFsNode(0x02, "BBX", 0, std::vector<uint8_t>{1});
                      node[6] = 113;
                      return Layout(20480, {node});
                  },
                  kVarnexFsCorrupt},
        MountCase{"TwentyOneFiles", [] { return Layout(20480, DistinctFiles(21)); },
                  kVarnexFsTooManyFiles},
        MountCase{"EqualSequences",
                  []
                  {
                      const std::vector<uint8_t> data = {'B', 'B', 'X', 1, 0, 9, 0, 1, 5};
                      auto image = Layout(32768, {});
                      PutSlot(image, 4096, MakeVarnexFsNode(0x06, "BBX", 0, data, 4));
                      PutSlot(image, 4096 + 128, MakeVarnexFsNode(0x06, "BBX", 0, data, 4));
                      return image;
                  },
                  kVarnexFsCorrupt},
        MountCase{"FileSizePastSixteenBits",
                  []
                  {
                      // 600 live read-only nodes of 112 bytes for one file.
                      std::vector<std::array<uint8_t, 128>> nodes(
                          600, MakeVarnexFsNode(0x02, "BBX", 0, std::vector<uint8_t>(112, 1)));
                      return Layout(4096 * 19, nodes);
                  },
                  kVarnexFsCorrupt}),
    [](const testing::TestParamInfo<MountCase>& info) { return info.param.name; });

TEST(VarnexFsMountTest, VersionOneScansTwentyKilobytesWhateverTheSuperblockSays)
{
    auto image = Layout(20480, DistinctFiles(2), 1);
    image[8] = 0, image[9] = 0x80; // 32768, beyond the 20480 bytes given
    MountedFs fs(image);
    ASSERT_EQ(fs.result, kVarnexFsOk);
    EXPECT_EQ(fs.context->fileSystemSize, 20480u);
    EXPECT_EQ(fs.context->blocks.size(), 5u);
}

TEST(VarnexFsMountTest, ClassifiesBlocksAndFindsTheWriteBlock)
{
    const auto image = CVarnexStoreBuilder().Generic("BBX", {1}).WithAttribute(1).BuildFileSystem();
    MountedFs fs(image);
    ASSERT_EQ(fs.result, kVarnexFsOk);
    ASSERT_EQ(fs.context->blocks.size(), 8u);
    EXPECT_EQ(fs.context->blocks[0]->list, kVarnexFsReadOnlyBlocks);
    EXPECT_EQ(fs.context->blocks[1]->list, kVarnexFsCleanBlocks);
    EXPECT_EQ(fs.context->writeBlock, fs.context->blocks[1].get());
    EXPECT_EQ(fs.context->lists[kVarnexFsErasedBlocks].size(), 6u);
    bool needed = false;
    EXPECT_EQ(VarnexFsNeedsReclaim(fs.context, &needed), kVarnexFsOk);
    EXPECT_FALSE(needed);
}

TEST(VarnexFsMountTest, TheHigherSequenceWinsAndTheStaleCopyIsRetired)
{
    const std::vector<uint8_t> oldData = {'B', 'B', 'X', 1, 0, 9, 0, 1, 5};
    const std::vector<uint8_t> newData = {'B', 'B', 'X', 1, 0, 9, 0, 1, 6};
    // Either order on the medium.
    for (const bool newerFirst : {false, true})
    {
        auto image = Layout(32768, {});
        PutSlot(image, newerFirst ? 4224 : 4096, MakeVarnexFsNode(0x06, "BBX", 0, oldData, 0));
        PutSlot(image, newerFirst ? 4096 : 4224, MakeVarnexFsNode(0x06, "BBX", 0, newData, 1));
        MountedFs fs(image);
        ASSERT_EQ(fs.result, kVarnexFsOk);
        EXPECT_EQ(fs.Size("BBX"), 9);
        EXPECT_EQ(fs.Read("BBX", 0, 9), newData);
        const size_t staleAt = newerFirst ? 4224 : 4096;
        EXPECT_EQ(fs.bytes[staleAt], 0x04);
        // Only that flags byte changed.
        auto expected = image;
        expected[staleAt] = 0x04;
        EXPECT_EQ(fs.bytes, expected);
        // The block now holds obsolete space.
        EXPECT_EQ(fs.context->blocks[1]->list, kVarnexFsDirtyBlocks);
    }
}

TEST(VarnexFsMountTest, ReadOnlyFilesKeepEveryCopy)
{
    const auto first = MakeVarnexFsNode(0x02, "BBX", 0, std::vector<uint8_t>{1, 1});
    const auto second = MakeVarnexFsNode(0x02, "BBX", 0, std::vector<uint8_t>{2, 2});
    MountedFs fs(Layout(20480, {first, second}));
    ASSERT_EQ(fs.result, kVarnexFsOk);
    EXPECT_EQ(fs.Size("BBX"), 4);
    EXPECT_EQ(fs.Read("BBX", 0, 2), (std::vector<uint8_t>{2, 2}));
}

TEST(VarnexFsMountTest, ListStopsAtTheZeroName)
{
    auto nodes = DistinctFiles(2);
    nodes.push_back(MakeVarnexFsNode(0x02, std::string(3, '\0'), 0, std::vector<uint8_t>{1}));
    nodes.push_back(DistinctFiles(3)[2]);
    MountedFs fs(Layout(20480, nodes));
    ASSERT_EQ(fs.result, kVarnexFsOk);
    std::array<uint8_t, 60> names{};
    uint32_t count = 99;
    EXPECT_EQ(VarnexFsList(fs.context, names.data(), &count), kVarnexFsOk);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(names.begin(), names.begin() + 6), "FAAFAB");
}

TEST(VarnexFsReadTest, ChecksRangesAndChecksums)
{
    const std::vector<uint8_t> data(150, 0x77);
    auto checked = MakeVarnexFsNode(0x02, "BBX", 0, std::span(data).first(112));
    auto unchecked = MakeVarnexFsNode(0x0A, "BBX", 112, std::span(data).subspan(112), 0, true);
    MountedFs fs(Layout(20480, {checked, unchecked}));
    ASSERT_EQ(fs.result, kVarnexFsOk);
    ASSERT_EQ(fs.Size("BBX"), 150);

    struct
    {
        uint16_t offset;
        uint16_t count;
        int result;
    } const table[] = {{0, 150, kVarnexFsOk}, {100, 50, kVarnexFsOk},
                       {149, 1, kVarnexFsOk}, {100, 51, kVarnexFsBadArgument},
                       {150, 0, kVarnexFsOk}, {0xFFFF, 2, kVarnexFsBadArgument}};
    for (const auto& row : table)
    {
        int code = -99;
        const auto out = fs.Read("BBX", row.offset, row.count, &code);
        EXPECT_EQ(code, row.result) << row.offset << "+" << row.count;
        if (row.result == 0)
        {
            EXPECT_EQ(out, std::vector<uint8_t>(row.count, 0x77));
        }
    }
    int code = 0;
    fs.Read("XYZ", 0, 1, &code);
    EXPECT_EQ(code, kVarnexFsNoFile);

    // A checksummed node with a wrong checksum fails the read with 6.
    checked[8] ^= 1;
    MountedFs corrupt(Layout(20480, {checked}));
    ASSERT_EQ(corrupt.result, kVarnexFsOk);
    corrupt.Read("BBX", 0, 1, &code);
    EXPECT_EQ(code, kVarnexFsChecksumError);
}

TEST(VarnexFsReadTest, AChecksumErrorFailsTheWholeStore)
{
    CVarnexStoreBuilder builder;
    builder.Img("1.0", 1, 2, 3, 4).Generic("BBX", {1});
    ASSERT_TRUE(CVarnexImage(builder.BuildFileSystem()).IsValid());
    builder.WithBadChecksum();
    CVarnexImage image(builder.BuildFileSystem());
    EXPECT_EQ(image.GetObjectCount(), 0u);
    EXPECT_FALSE(image.IsValid());
}

// A file system with one read-write file of 150 bytes in block 1 that may be
// patched in place (attribute 3) or not (attribute 1).
std::vector<uint8_t> WritableStore(uint8_t attribute)
{
    std::vector<uint8_t> body(142);
    std::iota(body.begin(), body.end(), 0);
    body[20] = 0xFF;
    body[21] = 0x0F;
    return CVarnexStoreBuilder().Generic("BBX", body).WithAttribute(attribute).BuildFileSystem();
}

TEST(VarnexFsWriteTest, ClearingBitsOfAnUncheckedNodePatchesInPlace)
{
    MountedFs fs(WritableStore(3));
    ASSERT_EQ(fs.result, kVarnexFsOk);
    const auto before = fs.bytes;
    // File byte 28 (body byte 20) lies in node 0 at image offset 4096 + 16 + 28.
    ASSERT_EQ(fs.Write("BBX", 28, {0x0F}), kVarnexFsOk);
    auto expected = before;
    expected[4096 + 16 + 28] = 0x0F;
    EXPECT_EQ(fs.bytes, expected);

    // The same bytes again change nothing.
    ASSERT_EQ(fs.Write("BBX", 28, {0x0F}), kVarnexFsOk);
    EXPECT_EQ(fs.bytes, expected);
}

TEST(VarnexFsWriteTest, SettingBitsOrChangingAChecksummedNodeWritesANewCopy)
{
    struct
    {
        uint8_t attribute;
        uint16_t offset;
        uint8_t value;
    } const table[] = {{3, 29, 0xFF}, {1, 28, 0x0F}};
    for (const auto& row : table)
    {
        MountedFs fs(WritableStore(row.attribute));
        ASSERT_EQ(fs.result, kVarnexFsOk);
        const auto before = fs.bytes;
        ASSERT_EQ(fs.Write("BBX", row.offset, {row.value}), kVarnexFsOk);
        // The old copy of node 0 is retired; the new one follows node 1.
        EXPECT_EQ(fs.bytes[4096], before[4096] & ~0x02);
        const size_t fresh = 4096 + 256;
        EXPECT_EQ(fs.bytes[fresh], before[4096]);
        EXPECT_EQ(fs.bytes[fresh + 7], 1); // sequence
        const int sum =
            std::accumulate(fs.bytes.begin() + fresh, fs.bytes.begin() + fresh + 128, 0);
        EXPECT_EQ(sum % 256, 0);
        EXPECT_EQ(fs.bytes[fresh + 16 + row.offset], row.value);
        EXPECT_EQ(fs.Read("BBX", row.offset, 1), std::vector<uint8_t>{row.value});
        EXPECT_EQ(fs.Size("BBX"), 150);

        // A fresh mount of the changed bytes reads the same file.
        MountedFs again(fs.bytes);
        ASSERT_EQ(again.result, kVarnexFsOk);
        EXPECT_EQ(again.Read("BBX", 0, 150), fs.Read("BBX", 0, 150));
    }
}

TEST(VarnexFsWriteTest, RefusesReadOnlyFilesAndRangesBeyondTheFile)
{
    const auto image = CVarnexStoreBuilder().Generic("BBX", {1, 2}).BuildFileSystem();
    MountedFs fs(image);
    ASSERT_EQ(fs.result, kVarnexFsOk);
    EXPECT_EQ(fs.Write("BBX", 0, {0}), kVarnexFsNotAllowed);
    EXPECT_EQ(fs.Write("XYZ", 0, {0}), kVarnexFsNoFile);
    EXPECT_EQ(fs.bytes, image);

    MountedFs writable(WritableStore(3));
    EXPECT_EQ(writable.Write("BBX", 149, {0, 0}), kVarnexFsBadArgument);
}

TEST(VarnexFsWriteTest, ASequenceOf255WrapsToZero)
{
    const std::vector<uint8_t> data = {'B', 'B', 'X', 1, 0, 9, 0, 1, 5};
    auto image = Layout(32768, {});
    PutSlot(image, 4096, MakeVarnexFsNode(0x06, "BBX", 0, data, 255));
    MountedFs fs(image);
    ASSERT_EQ(fs.result, kVarnexFsOk);
    ASSERT_EQ(fs.Write("BBX", 8, {6}), kVarnexFsOk);
    EXPECT_EQ(fs.bytes[4096 + 128 + 7], 0);
}

// Blocks 1-7 full: block 1 of obsolete slots only, block 2 holding the live
// BBX node, every other slot obsolete.
std::vector<uint8_t> StoreWithoutErasedBlocks(bool liveNodeInFirstDirtyBlock)
{
    const std::vector<uint8_t> data = {'B', 'B', 'X', 1, 0, 9, 0, 1, 5};
    std::vector<std::array<uint8_t, 128>> slots(31, MakeVarnexFsDummyNode());
    auto image = Layout(32768, slots);
    for (size_t at = 4096; at < 32768; at += 128)
    {
        PutSlot(image, at, Obsolete("OLD"));
    }
    PutSlot(image, liveNodeInFirstDirtyBlock ? 4096 + 128 : 8192 + 128,
            MakeVarnexFsNode(0x06, "BBX", 0, data));
    return image;
}

TEST(VarnexFsReclaimTest, WithNoErasedBlockARelocationReclaimsFirst)
{
    MountedFs fs(StoreWithoutErasedBlocks(false));
    ASSERT_EQ(fs.result, kVarnexFsOk);
    EXPECT_TRUE(fs.context->lists[kVarnexFsErasedBlocks].empty());
    bool needed = false;
    ASSERT_EQ(VarnexFsNeedsReclaim(fs.context, &needed), kVarnexFsOk);
    EXPECT_TRUE(needed);

    ASSERT_EQ(fs.Write("BBX", 8, {6}), kVarnexFsOk);
    // Block 1 was erased and took the new copy in its first slot.
    EXPECT_EQ(fs.bytes[4096], 0x06);
    EXPECT_EQ(fs.bytes[4096 + 7], 1);
    EXPECT_EQ(fs.bytes[4096 + 128], 0xFF);
    EXPECT_EQ(fs.bytes[8192 + 128], 0x04);
    EXPECT_EQ(fs.Read("BBX", 8, 1), std::vector<uint8_t>{6});
}

TEST(VarnexFsReclaimTest, ARelocationWithNowhereToGoFailsWithoutChangingTheImage)
{
    MountedFs fs(StoreWithoutErasedBlocks(true));
    ASSERT_EQ(fs.result, kVarnexFsOk);
    const auto before = fs.bytes;
    EXPECT_EQ(fs.Write("BBX", 8, {6}), kVarnexFsCorrupt);
    EXPECT_EQ(fs.bytes, before);
    EXPECT_EQ(fs.Read("BBX", 8, 1), std::vector<uint8_t>{5});
}

TEST(VarnexFsReclaimTest, MovesLiveNodesOutOfTheFirstDirtyBlockAndErasesIt)
{
    const std::vector<uint8_t> bbx = {'B', 'B', 'X', 1, 0, 9, 0, 1, 5};
    const std::vector<uint8_t> pgm = {'P', 'G', 'M', 1, 0, 9, 0, 1, 7};
    auto image = Layout(32768, {});
    PutSlot(image, 4096, Obsolete("BBX"));
    PutSlot(image, 4096 + 128, MakeVarnexFsNode(0x06, "BBX", 0, bbx));
    PutSlot(image, 8192, MakeVarnexFsNode(0x06, "PGM", 0, pgm));
    MountedFs fs(image);
    ASSERT_EQ(fs.result, kVarnexFsOk);
    ASSERT_EQ(fs.context->writeBlock->start, 8192u);

    VarnexFsSetWritable(fs.context, false);
    EXPECT_EQ(VarnexFsReclaim(fs.context), kVarnexFsNotAllowed);
    VarnexFsSetWritable(fs.context, true);
    ASSERT_EQ(VarnexFsReclaim(fs.context), kVarnexFsOk);

    EXPECT_EQ(std::vector<uint8_t>(fs.bytes.begin() + 4096, fs.bytes.begin() + 8192),
              std::vector<uint8_t>(4096, 0xFF));
    EXPECT_EQ(fs.bytes[8192 + 128], 0x06);
    EXPECT_EQ(fs.bytes[8192 + 128 + 7], 1);
    EXPECT_EQ(fs.Read("BBX", 0, 9), bbx);
    EXPECT_EQ(fs.Read("PGM", 0, 9), pgm);
    EXPECT_EQ(fs.context->lists[kVarnexFsErasedBlocks].size(), 6u);
    EXPECT_TRUE(fs.context->lists[kVarnexFsDirtyBlocks].empty());

    // Nothing dirty is left to reclaim.
    EXPECT_EQ(VarnexFsReclaim(fs.context), kVarnexFsCorrupt);
}

TEST(VarnexFsReclaimTest, NeverReclaimsTheWriteBlock)
{
    const std::vector<uint8_t> bbx = {'B', 'B', 'X', 1, 0, 9, 0, 1, 5};
    auto image = Layout(32768, {});
    PutSlot(image, 4096, Obsolete("BBX"));
    PutSlot(image, 4096 + 128, MakeVarnexFsNode(0x06, "BBX", 0, bbx));
    MountedFs fs(image);
    ASSERT_EQ(fs.result, kVarnexFsOk);
    ASSERT_EQ(fs.context->writeBlock, fs.context->blocks[1].get());
    const auto before = fs.bytes;
    EXPECT_EQ(VarnexFsReclaim(fs.context), kVarnexFsCorrupt);
    EXPECT_EQ(fs.bytes, before);
}

} // namespace
