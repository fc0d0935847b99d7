// Editing the PCI block chain of GPU images: appending, removing, inserting
// and converting to the private form; failed edits leave the image as it was.

#include "tests/image/ImageBytes.h"
#include "image/IROMImage.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;

namespace
{
constexpr uint8_t kX86Code = CGpuImageBuilder::kX86;
constexpr uint8_t kEfiCode = CGpuImageBuilder::kEfi;

std::vector<int32_t> ChainFromStart(IROMImage* image)
{
    std::vector<int32_t> blocks;
    for (int32_t block = 0; block != -1 && blocks.size() < 64; block = image->NextPCIBlock(block))
    {
        blocks.push_back(block);
    }
    return blocks;
}

uint8_t PcirIndicator(IROMImage* image, int32_t block)
{
    uint8_t indicator = 0;
    EXPECT_TRUE(image->GetPCIRIndicator(indicator, block));
    return indicator;
}

CGpuImageBuilder X86ThenEfi()
{
    CGpuImageBuilder builder;
    builder.Block(kX86Code, 0x10000).Block(kEfiCode, 0x8000);
    return builder;
}

TEST(ChainEditTest, AddThenRemoveRestoresTheOriginalBytes)
{
    CRefPtr<IROMImage> image = X86ThenEfi().InitFromRom(0x1000).BuildImage();
    const std::vector<uint8_t> original = BytesOf(image.get());
    const std::vector<uint8_t> block = CGpuImageBuilder().VarnexBlock({1, 2, 3, 4}, {}).Build();

    EXPECT_EQ(image->GetOffsetNewPCIBlock(), 0x18000);
    image->AddPCIBlock(block.data(), static_cast<uint32_t>(block.size()), false);
    EXPECT_EQ(ChainFromStart(image.get()), (std::vector<int32_t>{0, 0x10000, 0x18000}));
    EXPECT_EQ(PcirIndicator(image.get(), 0x10000) & 0x80, 0);
    EXPECT_EQ(image->Sum8(0x10000, 0x18000), 0);
    EXPECT_EQ(image->GetROMSize(), 0x18000u + static_cast<uint32_t>(block.size()));
    EXPECT_TRUE(image->HasVarnexBlock());

    image->RemovePCIBlock(0x18000);
    EXPECT_EQ(BytesOf(image.get()), original);
    EXPECT_TRUE(image->GetOffsetMode());
    EXPECT_EQ(image->GetByte(0x18000), 0xFF);
}

TEST(ChainEditTest, APrivateBlockBehindThePublicChainKeepsItsEnd)
{
    CRefPtr<IROMImage> image = X86ThenEfi().Kpde().BuildImage();
    const std::vector<uint8_t> block =
        CGpuImageBuilder().VarnexBlock({1}, {}).KpdeFlags(0x05).Build();
    image->AddPCIBlock(block.data(), static_cast<uint32_t>(block.size()), false);
    // The public chain still ends at the EFI block (PCIR indicator); the walk
    // by the KPDE indicators goes on behind it.
    EXPECT_EQ(PcirIndicator(image.get(), 0x10000) & 0x80, 0x80);
    EXPECT_TRUE(image->CheckOffsetModeChain());
    EXPECT_EQ(image->GetROMSize(), 0x18000u + static_cast<uint32_t>(block.size()));
}

TEST(ChainEditTest, AddRefusesBadBlocksAndLeavesTheImageAlone)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string error;
    };
    std::vector<uint8_t> noMark = CGpuImageBuilder().Block(kEfiCode, 0x400).Build();
    noMark[0] = 0;
    const std::vector<Case> cases = {
        {"too short", std::vector<uint8_t>(8, 0x55),
         "Invalid PCI block: too short for a block header"},
        {"no mark", noMark, "Invalid PCI block: no block mark"},
        {"no PCI data structure",
         CGpuImageBuilder().Block(kEfiCode, 0x400).PcirSignature("NONE").Build(),
         "Invalid PCI block: no PCI data structure"},
        {"zero length", CGpuImageBuilder().Block(kEfiCode, 0x400).PcirLength(0).Build(),
         "Invalid PCI block: image length is 0"},
        {"length beyond its bytes", CGpuImageBuilder().Block(kEfiCode, 0x400).PcirLength(0x800).Build(),
         "Invalid PCI block: its length does not match its size"},
        {"length field disagreeing while the KPDE length fits",
         CGpuImageBuilder()
             .Block(kEfiCode, 0x400)
             .PcirLength(0x800)
             .Kpde()
             .KpdeSubImageLength(0x400)
             .Build(),
         "Invalid PCI block: its length does not match its size"},
        {"not the last image", CGpuImageBuilder().Block(kEfiCode, 0x400).LastImage(false).Build(),
         "Invalid PCI block: not marked as the last image"},
    };
    CRefPtr<IROMImage> image = X86ThenEfi().BuildImage();
    const std::vector<uint8_t> original = BytesOf(image.get());
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorOf(
                      [&] {
                          image->AddPCIBlock(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()),
                                             false);
                      }),
                  c.error);
        EXPECT_EQ(BytesOf(image.get()), original);
        EXPECT_EQ(image->GetByte(0x18000), 0xFF);
    }

    CRefPtr<IROMImage> broken = X86ThenEfi().LastImage(false).BuildImage();
    const std::vector<uint8_t> good = CGpuImageBuilder().Block(kEfiCode, 0x400).Build();
    EXPECT_EQ(ErrorOf([&] { broken->AddPCIBlock(good.data(), 0x400, false); }),
              "PCI block chain corrupted - GetNewPCIBlockInfo failed");
}

TEST(ChainEditTest, RemovingTheFirstOrLastBlock)
{
    CRefPtr<IROMImage> image = X86ThenEfi().BuildImage();
    image->RemovePCIBlock(0);
    EXPECT_EQ(image->GetLoadedSize(), 0x8000u);
    EXPECT_EQ(image->FindPCIBlockByCodeType(kEfiCode, 0), 0);
    EXPECT_EQ(image->GetROMSize(), 0x8000u);

    // The block before the removed last one becomes the last, in both
    // indicators, with a new checksum.
    CRefPtr<IROMImage> withKpde =
        CGpuImageBuilder().Block(kX86Code, 0x10000).Kpde().Block(kEfiCode, 0x8000).BuildImage();
    withKpde->RemovePCIBlock(0x10000);
    uint8_t indicator = 0;
    EXPECT_EQ(PcirIndicator(withKpde.get(), 0) & 0x80, 0x80);
    ASSERT_TRUE(withKpde->GetKPDEIndicator(indicator, 0));
    EXPECT_EQ(indicator & 0x80, 0x80);
    EXPECT_EQ(withKpde->Sum8(0, 0x10000), 0);
    EXPECT_EQ(withKpde->GetROMSize(), 0x10000u);
}

// The first block's PCIR length covers the EFI block behind its own
// sub-image; KPDE flags 0x0A also make its init segment fixed.
CGpuImageBuilder SuperImage(uint8_t kpdeFlags = 0x02)
{
    CGpuImageBuilder builder;
    builder.Block(kX86Code, 0x10000)
        .PcirLength(0x18000)
        .InitSize(0x18000)
        .Kpde()
        .KpdeSubImageLength(0x10000)
        .KpdeIndicator(0)
        .KpdeFlags(kpdeFlags)
        .Block(kEfiCode, 0x8000);
    return builder;
}

TEST(ChainEditTest, RemoveRefusalsChangeNothing)
{
    CRefPtr<IROMImage> fixed = SuperImage(0x0A).BuildImage();
    ASSERT_TRUE(fixed->GetKPDEFlag1());
    ASSERT_TRUE(fixed->GetKPDEFlag3());
    CRefPtr<IROMImage> plain = X86ThenEfi().BuildImage();
    // A valid block behind the chain's last block, which no chain step reaches.
    std::vector<uint8_t> stray(0x800, 0);
    const std::vector<uint8_t> efi = CGpuImageBuilder().Block(kEfiCode, 0x400).Build();
    stray.insert(stray.end(), efi.begin(), efi.end());
    CRefPtr<IROMImage> behind = CGpuImageBuilder().Block(kX86Code, 0x800).Trailer(stray).BuildImage();
    struct Case
    {
        const char* name;
        IROMImage* image;
        int32_t block;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"inside the fixed init segment", fixed.get(), 0x10000,
         "PCI block removal from init segment not supported"},
        {"not a block", plain.get(), 0x123,
         "PCI Block corrupted - No valid PCI data structure found. Remove ROM failed"},
        {"a block no chain step reaches", behind.get(), 0x1000,
         "PCI block chain corrupted - Remove ROM failed"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> before = BytesOf(c.image);
        EXPECT_EQ(ErrorOf([&] { c.image->RemovePCIBlock(c.block); }), c.error);
        EXPECT_EQ(BytesOf(c.image), before);
    }
}

TEST(ChainEditTest, ConvertToPrivateChainMarksEveryBlock)
{
    CRefPtr<IROMImage> image = X86ThenEfi().BuildImage();
    image->ConvertToPrivateChain();
    for (int32_t block : {0, 0x10000})
    {
        EXPECT_EQ(image->GetWord(block), 0x4B52);                        // "RK"
        EXPECT_EQ(image->GetDword(image->FindPCIR(block)), 0x5344504Bu); // "KPDS"
    }
    const int32_t pcir = image->FindPCIR(0);
    EXPECT_EQ(image->GetWord(pcir + 4), 0xFFFF);
    EXPECT_EQ(PcirIndicator(image.get(), 0) & 0x80, 0x80);
    EXPECT_EQ(image->Sum8(0, 0x10000), 0);
    EXPECT_EQ(image->Sum8(0x10000, 0x18000), 0);
    EXPECT_FALSE(image->IsPCIROM());
    EXPECT_TRUE(image->IsValid());
    EXPECT_TRUE(image->GetOffsetMode());
}

TEST(ChainEditTest, InsertPlacesABlockAtABoundary)
{
    const std::vector<uint8_t> block = CGpuImageBuilder().Block(0xE0, 0x800).Build();

    CRefPtr<IROMImage> middle = X86ThenEfi().BuildImage();
    middle->InsertPCIBlock(0x10000, block.data(), 0x800, false);
    EXPECT_EQ(ChainFromStart(middle.get()), (std::vector<int32_t>{0, 0x10000, 0x10800}));
    EXPECT_EQ(PcirIndicator(middle.get(), 0x10000) & 0x80, 0);
    EXPECT_EQ(middle->Sum8(0x10000, 0x10800), 0);
    EXPECT_EQ(middle->GetROMSize(), 0x18800u);

    CRefPtr<IROMImage> end = X86ThenEfi().BuildImage();
    end->InsertPCIBlock(0x18000, block.data(), 0x800, false);
    EXPECT_EQ(ChainFromStart(end.get()), (std::vector<int32_t>{0, 0x10000, 0x18000}));
    EXPECT_EQ(PcirIndicator(end.get(), 0x10000) & 0x80, 0);
    EXPECT_EQ(PcirIndicator(end.get(), 0x18000) & 0x80, 0x80);
    EXPECT_EQ(end->Sum8(0x10000, 0x18000), 0);
}

TEST(ChainEditTest, InsertIntoASuperImageGrowsTheContainer)
{
    CRefPtr<IROMImage> image = SuperImage().BuildImage();
    ASSERT_TRUE(image->GetKPDEFlag1());
    const std::vector<uint8_t> block = CGpuImageBuilder().Block(0xE0, 0x800).Build();
    image->InsertPCIBlock(0x10000, block.data(), 0x800, false);
    EXPECT_EQ(ChainFromStart(image.get()), (std::vector<int32_t>{0, 0x10000, 0x10800}));
    EXPECT_EQ(image->GetPCIBlockLength(0), 0x18800u);
    EXPECT_EQ(image->GetByte(2), 0x18800 / 512);
    EXPECT_EQ(image->GetROMSize(), 0x18800u);
    EXPECT_EQ(image->Sum8(0, 0x10000), 0);
    EXPECT_EQ(image->Sum8(0x10000, 0x10800), 0);
}

TEST(ChainEditTest, InsertRefusalsChangeNothing)
{
    const std::vector<uint8_t> publicBlock = CGpuImageBuilder().Block(0xE0, 0x800).Build();
    const std::vector<uint8_t> privateBlock =
        CGpuImageBuilder().Block(0xE0, 0x800).Private().Build();
    const std::vector<uint8_t> superBlock =
        CGpuImageBuilder().Block(0xE0, 0x1000).Kpde().KpdeSubImageLength(0x800).Build();
    const std::vector<uint8_t> longField =
        CGpuImageBuilder().Block(0xE0, 0x800).PcirLength(0x1000).Build();
    const std::vector<uint8_t> shortField =
        CGpuImageBuilder().Block(0xE0, 0x800).PcirLength(0x400).Build();
    // A chain with a private-flagged block, all of it public by its marks.
    CGpuImageBuilder flagged;
    flagged.Block(kX86Code, 0x10000).Block(kEfiCode, 0x8000).Kpde().KpdeFlags(0x01);
    // The same with its last block private by its marks too.
    CGpuImageBuilder privateTail;
    privateTail.Block(kX86Code, 0x10000).Block(kEfiCode, 0x8000).Private().Kpde().KpdeFlags(0x01);
    struct Case
    {
        const char* name;
        CGpuImageBuilder builder;
        int32_t offset;
        const std::vector<uint8_t>* bytes;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"no block boundary", X86ThenEfi(), 0x800, &publicBlock,
         "PCI block insertion offset not found"},
        {"broken chain", X86ThenEfi().LastImage(false), 0x10000, &publicBlock,
         "PCI chain corrupted: image offset out of range"},
        {"private block into a public chain", flagged, 0x10000, &privateBlock,
         "Cannot insert private image into public chain"},
        {"SuperImage into a SuperImage", SuperImage(), 0x10000, &superBlock,
         "Inserting a SuperImage into a SuperImage not supported"},
        {"public block behind a private one", privateTail, 0x18000, &publicBlock,
         "Cannot insert public image into private chain"},
        {"inside the fixed init segment", SuperImage(0x0A), 0x10000, &publicBlock,
         "PCI block insertion into init segment not supported"},
        {"length field beyond the block", X86ThenEfi(), 0x10000, &longField,
         "Inserted PCI block invalid"},
        {"length field short of the block", X86ThenEfi(), 0x18000, &shortField,
         "Inserted PCI block invalid"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = c.builder.BuildImage();
        const std::vector<uint8_t> before = BytesOf(image.get());
        EXPECT_EQ(ErrorOf(
                      [&]
                      {
                          image->InsertPCIBlock(c.offset, c.bytes->data(),
                                                static_cast<uint32_t>(c.bytes->size()), false);
                      }),
                  c.error);
        EXPECT_EQ(BytesOf(image.get()), before);
    }
}
} // namespace
