// The delta coding: diff ranges and their merging, the delta length, the
// records written, applying a delta (and refusing a corrupt one), and
// run-time ROM packs.

#include "tests/image/ImageBytes.h"
#include "core/Exceptions.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldImpl.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/varnex/CapturedLog.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;

namespace
{
std::vector<uint8_t> Plain(size_t size, uint8_t fill = 0x11)
{
    return std::vector<uint8_t>(size, fill);
}

CRefPtr<CROMMeldImpl> NewMeld()
{
    return CRefPtr<CROMMeldImpl>(new CROMMeldImpl());
}

std::vector<uint8_t> DeltaOf(CROMMeldImpl* meld, const DiffRangeList& ranges, IROMImage* image)
{
    std::ostringstream out(std::ios::binary);
    meld->WriteDelta(out, ranges, image, nullptr);
    const std::string text = out.str();
    return {text.begin(), text.end()};
}
} // namespace

TEST(DeltaImageTest, MergesRangesAcrossOneEqualByteWithinAChunk)
{
    CRefPtr<CROMMeldImpl> meld = NewMeld();
    struct Case
    {
        const char* name;
        DiffRangeList ranges;
        DiffRangeList merged;
    };
    const std::vector<Case> cases = {
        {"one equal byte", {{10, 19}, {21, 30}}, {{10, 30}}},
        {"two equal bytes", {{10, 19}, {22, 30}}, {{10, 19}, {22, 30}}},
        {"would need another chunk", {{0, 250}, {252, 260}}, {{0, 250}, {252, 260}}},
        {"chain", {{0, 0}, {2, 2}, {4, 4}}, {{0, 4}}},
        {"empty", {}, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(meld->MergeDiffRanges(c.ranges), c.merged);
    }
    // Bytes past the master's end always differ.
    CRefPtr<IROMImage> master = FromBytes(Plain(8));
    std::vector<uint8_t> longer = Plain(12);
    longer[2] = 0;
    EXPECT_EQ(meld->ComputeDiffRanges(master.get(), FromBytes(longer).get()),
              (DiffRangeList{{2, 2}, {8, 11}}));
}

TEST(DeltaImageTest, WritesRecordsOfBothForms)
{
    CRefPtr<CROMMeldImpl> meld = NewMeld();
    std::vector<uint8_t> bytes = Plain(0x30000);
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        bytes[i] = static_cast<uint8_t>(i);
    }
    bytes[0] = 0x11;
    CRefPtr<IROMImage> image = FromBytes(bytes);
    auto head = [&](const DiffRangeList& ranges, size_t count)
    {
        std::vector<uint8_t> delta = DeltaOf(meld.get(), ranges, image.get());
        EXPECT_EQ(delta.size(), meld->GetDeltaSize(ranges));
        delta.resize(std::min(delta.size(), count));
        return delta;
    };
    // 300 bytes: the remainder of 44 first, then one full chunk (count 0).
    std::vector<uint8_t> delta = DeltaOf(meld.get(), {{0, 299}}, image.get());
    ASSERT_EQ(delta.size(), 304u);
    EXPECT_EQ(delta[0], 0);
    EXPECT_EQ(delta[1], 44);
    EXPECT_EQ(delta[46], 0);
    EXPECT_EQ(delta[47], 0);
    EXPECT_EQ(delta[48], bytes[44]);

    EXPECT_EQ(head({{254, 254}}, 2), (std::vector<uint8_t>{254, 1}));
    EXPECT_EQ(head({{255, 255}}, 4), (std::vector<uint8_t>{0xFF, 1, 255, 0}));
    // A first difference at 0x20000: two one-byte jumps, then the range's own
    // record with no skip left.
    EXPECT_EQ(head({{0x20000, 0x20000}}, 13),
              (std::vector<uint8_t>{0xFF, 1, 0xFF, 0xFF, bytes[0xFFFF], 0xFF, 1, 0xFF, 0xFF,
                                    bytes[0x1FFFF], 0, 1, bytes[0x20000]}));
    EXPECT_EQ(meld->GetDeltaSize({{0x20000, 0x20000}}), 13u);

    EXPECT_EQ(ErrorOf([&] { DeltaOf(meld.get(), {{5, 4}}, image.get()); }),
              "Difference block with size less than or equal to zero detected");
}

// Random pairs of images: the delta has the length GetDeltaSize predicts, and
// applying it to the master rebuilds the second image.
TEST(DeltaImageTest, DeltaOfRandomPairsRebuildsTheImage)
{
    CRefPtr<CROMMeldImpl> meld = NewMeld();
    std::mt19937 random(1234);
    auto below = [&](uint32_t limit) { return static_cast<uint32_t>(random() % limit); };
    for (int round = 0; round < 60; ++round)
    {
        SCOPED_TRACE(round);
        const uint32_t masterSize = 1 + below(round % 10 == 0 ? 0x30000 : 3000);
        std::vector<uint8_t> master(masterSize);
        for (uint8_t& b : master)
        {
            b = static_cast<uint8_t>(below(4)); // few values: runs of equal bytes
        }
        master[0] = 0x11;
        std::vector<uint8_t> image = master;
        image.resize(std::max<int64_t>(1, int64_t{masterSize} + below(600) - 300), 0x22);
        const uint32_t edits = below(40);
        for (uint32_t e = 0; e < edits; ++e)
        {
            const uint32_t at = below(static_cast<uint32_t>(image.size()));
            const uint32_t run = 1 + below(e % 7 == 0 ? 700 : 3);
            for (uint32_t i = at; i < image.size() && i < at + run; ++i)
            {
                image[i] = static_cast<uint8_t>(below(256));
            }
        }
        image[0] = 0x11;
        CRefPtr<IROMImage> masterImage = FromBytes(master);
        CRefPtr<IROMImage> target = FromBytes(image);
        const DiffRangeList ranges =
            meld->MergeDiffRanges(meld->ComputeDiffRanges(masterImage.get(), target.get()));
        const std::vector<uint8_t> delta = DeltaOf(meld.get(), ranges, target.get());
        ASSERT_EQ(delta.size(), meld->GetDeltaSize(ranges));

        CRefPtr<IROMImage> rebuilt = IROMImage::Create(kROMImageGPU);
        rebuilt->SetOffsetMode(false);
        const auto size = static_cast<uint32_t>(image.size());
        rebuilt->CopyBlock(0, masterImage.get(), 0, std::min(size, masterSize));
        std::istringstream in(std::string(delta.begin(), delta.end()), std::ios::binary);
        EXPECT_EQ(meld->ApplyDelta(in, static_cast<uint32_t>(delta.size()), size, rebuilt.get(),
                                   nullptr),
                  delta.size());
        rebuilt->SetLoadedSize(size);
        ASSERT_EQ(BytesOf(rebuilt.get()), image);
    }
}

TEST(DeltaImageTest, ApplyRefusesCorruptDeltas)
{
    CRefPtr<CROMMeldImpl> meld = NewMeld();
    struct Case
    {
        const char* name;
        std::vector<uint8_t> delta;
        uint32_t deltaLength;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"record past the image", {15, 2, 1, 2}, 4, "Patch corrupted"},
        {"skip past the image", {0xFF, 1, 0x00, 0x01, 9}, 5, "Patch corrupted"},
        {"record past the delta", {0, 3, 1, 2, 3}, 4, "Patch corrupted"},
        {"header past the delta", {0, 1, 7, 0xFF, 1}, 4, "Patch corrupted"},
        {"stream ends in a record", {0, 3, 1}, 5, "Error reading file"},
        {"stream ends in a header", {0xFF, 1}, 5, "Error reading file"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = FromBytes(Plain(16));
        std::istringstream in(std::string(c.delta.begin(), c.delta.end()), std::ios::binary);
        EXPECT_EQ(ErrorOf([&] { meld->ApplyDelta(in, c.deltaLength, 16, image.get(), nullptr); }),
                  c.error);
    }
    // The trace of one short record.
    testkit::CapturedLog log;
    CRefPtr<IROMImage> image = FromBytes(Plain(16));
    std::istringstream in(std::string("\x03\x02\xAA\xBB", 4), std::ios::binary);
    EXPECT_EQ(meld->ApplyDelta(in, 4, 16, image.get(), &log.log), 4u);
    EXPECT_EQ(log.text.str(), "D:0x00003:0x00004:0x0002\nS:0x03:      :0x02\nF:0x00005\n"
                              "E:0x00005:0x00004\n");
    EXPECT_EQ(image->GetWord(3), 0xBBAA);
}

// ---- run-time ROM packs ------------------------------------------------------

namespace
{
// A board variant: its first block differs by the board ID; all share the
// second block.
std::vector<uint8_t> VariantImage(uint16_t boardId, uint32_t firstBlock = 0x1000,
                                  uint32_t initFromRom = 0)
{
    testkit::InfoToken info;
    info.boardId = boardId;
    CGpuImageBuilder builder;
    if (initFromRom != 0)
    {
        builder.InitFromRom(initFromRom);
    }
    return builder.Block(CGpuImageBuilder::kX86, firstBlock)
        .Info(info)
        .BiosData(testkit::BiosDataToken{})
        .Block(CGpuImageBuilder::kEfi, 0x800)
        .Build();
}

std::vector<uint8_t> WritePack(const std::vector<std::vector<uint8_t>>& images)
{
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    meld->SetRuntimePackMode(true);
    for (const auto& bytes : images)
    {
        meld->AddImage(FromBytes(bytes));
    }
    std::ostringstream out(std::ios::binary);
    meld->WriteToStream(out, nullptr);
    const std::string text = out.str();
    return {text.begin(), text.end()};
}

CRefPtr<IROMMeld> ReadPack(const std::vector<uint8_t>& bytes)
{
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    meld->SetRuntimePackMode(true);
    meld->ReadFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr);
    return meld;
}
} // namespace

TEST(DeltaImageTest, RuntimePackRoundTrip)
{
    const std::vector<std::vector<uint8_t>> images = {VariantImage(0x0E2B), VariantImage(0x0E2C),
                                                      VariantImage(0x0F00)};
    const std::vector<uint8_t> pack = WritePack(images);
    CRefPtr<IROMImage> packImage = FromBytes(pack);
    EXPECT_EQ(packImage->GetRuntimePackWord(), 0x1000);
    const uint32_t packBlock = packImage->GetPCIBlockLength(0);
    EXPECT_EQ(packBlock % 512, 0u);
    EXPECT_GT(packBlock, 0x1000u);
    EXPECT_EQ(pack.size(), packBlock + 0x800);
    EXPECT_EQ(packImage->Sum8(0, packBlock), 0); // the first block's checksum fits

    CRefPtr<IROMMeld> meld = ReadPack(pack);
    ASSERT_EQ(meld->GetImageCount(), images.size());
    for (uint32_t i = 0; i < images.size(); ++i)
    {
        EXPECT_EQ(BytesOf(meld->GetImage(i).get()), images[i]) << "image " << i;
    }
}

TEST(DeltaImageTest, RuntimePackRefusals)
{
    EXPECT_EQ(ErrorOf([] { WritePack({VariantImage(1, 0x10000), VariantImage(2, 0x10000)}); }),
              "Only run-time ROM packs with a total size of less than or equal 64 KB are "
              "currently supported.");
    // Variants behind an init-from-ROM segment, first or later, would not
    // read back as they were given.
    const char* const withSegment =
        "Run-time ROM packs of images with an init-from-ROM segment are not supported.";
    EXPECT_EQ(ErrorOf([] { WritePack({VariantImage(1, 0x1000, 0x800), VariantImage(2, 0x1000, 0x800)}); }),
              withSegment);
    EXPECT_EQ(ErrorOf([] { WritePack({VariantImage(1), VariantImage(2, 0x1000, 0x800)}); }),
              withSegment);
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    meld->SetRuntimePackMode(true);
    meld->SetVersion(0x102);
    meld->AddImage(FromBytes(VariantImage(1)));
    std::ostringstream out;
    EXPECT_EQ(ErrorOf([&] { meld->WriteToStream(out, nullptr); }),
              "Only ROM Pack format version 1.03 is supported for run-time ROM packs");

    // A pack word too small to hold a base image.
    testkit::BiosDataToken bios;
    bios.packWord = 2;
    const std::vector<uint8_t> tiny =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x1000).BiosData(bios).Build();
    EXPECT_EQ(ErrorOf([&] { ReadPack(tiny); }),
              "Run-time ROM pack word 0x0002 does not leave a base block inside the pack block");
}

TEST(DeltaImageTest, ImageWithoutPackReadsAsItself)
{
    const std::vector<uint8_t> bytes = CGpuImageBuilder()
                                           .Block(CGpuImageBuilder::kX86, 0x1000)
                                           .BiosData(testkit::BiosDataToken{})
                                           .VarnexBlock({'R', 'O', 'M', 0, 1}, {'R', 'O', 'M'})
                                           .Build();
    CRefPtr<IROMMeld> meld = ReadPack(bytes);
    ASSERT_EQ(meld->GetImageCount(), 1u);
    EXPECT_EQ(BytesOf(meld->GetImage(0).get()), bytes);
    EXPECT_TRUE(meld->HasVarnexBlock());
    EXPECT_TRUE(meld->HasVarnexBackupBlock());
    // A single image is written back as itself.
    EXPECT_EQ(WritePack({bytes}), bytes);
}
