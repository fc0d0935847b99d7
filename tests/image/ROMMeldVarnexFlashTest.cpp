// The Varnex block in the ROM chain: its layout around the 4096-byte
// boundary, the stand-alone block image, and appending a block to an empty
// image and to an x86 + EFI chain with and without an init-from-ROM window.

#include "image/OffsetModeScope.h"
#include "image/PCIExpansionROM.h"
#include "image/ROMMeldVarnexFlashImpl.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/varnex/CapturedLog.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;

namespace
{
CRefPtr<CROMMeldVarnexFlashImpl> NewFlash()
{
    return CRefPtr<CROMMeldVarnexFlashImpl>(CROMMeldVarnexFlashImpl::Create());
}

std::vector<uint8_t> BufferOf(IROMImage* image)
{
    COffsetModeScope scope(image, false);
    return {image->GetBuffer(), image->GetBuffer() + image->GetLoadedSize()};
}

std::vector<uint8_t> Store()
{
    return testkit::CVarnexStoreBuilder()
        .Img("1.2", 0x2204, 0x7E2B, 0x1454, 0x7E2B)
        .Obd("699-12345-0000-000")
        .BuildRaw();
}

std::vector<uint8_t> Backup()
{
    return testkit::CVarnexStoreBuilder().Img("1.1", 0x2204, 0x7E2B, 0x1454, 0x7E2B).BuildRaw();
}

// A stand-alone Varnex block image holding the store and its backup.
CRefPtr<IROMImage> BlankVarnexRom(std::vector<uint8_t> store, std::vector<uint8_t> backup,
                                  IROMImage* reference = nullptr)
{
    CNBSIPCIBlockVarnex block(std::move(store), std::move(backup));
    return NewFlash()->BuildBlankVarnexRom(reference, &block, nullptr);
}

// Every block of the chain in order.
std::vector<int32_t> Blocks(IROMImage* image)
{
    std::vector<int32_t> blocks;
    for (int32_t block = 0; block != -1 && blocks.size() < 16; block = image->NextPCIBlock(block))
    {
        blocks.push_back(block);
    }
    return blocks;
}
} // namespace

TEST(VarnexChainTest, LayoutAroundTheSectorBoundary)
{
    CRefPtr<CROMMeldVarnexFlashImpl> flash = NewFlash();
    CNBSIPCIBlockVarnex block({1, 2, 3}, {});
    struct Case
    {
        uint32_t blockOffset;
        VarnexRomLayout expected;
    };
    const std::vector<Case> cases = {
        {0, {0, 0x20, 8, 0x40, 0xF96, 0xFE2, 0x1000}},
        {0xE00, {0xE00, 0xE20, 8, 0xE40, 0x196, 0xFE2, 0x1000}},
        {0x9E00, {0x9E00, 0x9E20, 8, 0x9E40, 0x196, 0x9FE2, 0xA000}},
        {0x9000, {0x9000, 0x9020, 8, 0x9040, 0xF96, 0x9FE2, 0xA000}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.blockOffset);
        VarnexRomLayout layout;
        ASSERT_TRUE(flash->ComputeVarnexRomLayout(c.blockOffset, layout, &block, nullptr));
        EXPECT_EQ(layout.pcirOffset, c.expected.pcirOffset);
        EXPECT_EQ(layout.gap1, c.expected.gap1);
        EXPECT_EQ(layout.kpdeOffset, c.expected.kpdeOffset);
        EXPECT_EQ(layout.gap2, c.expected.gap2);
        EXPECT_EQ(layout.directoryOffset, c.expected.directoryOffset);
        EXPECT_EQ(layout.varnexOffset, c.expected.varnexOffset);
    }
    testkit::CapturedLog log;
    VarnexRomLayout layout;
    EXPECT_FALSE(flash->ComputeVarnexRomLayout(0x3F00 + 0x80, layout, &block, &log.log));
    EXPECT_EQ(log.text.str(),
              "Invalid starting offset of the PCI Block (0x00003F80) is not aligned to 512 bytes.\n");
}

TEST(VarnexChainTest, BlankBlockImage)
{
    const std::vector<uint8_t> store(4096, 0x31);
    const std::vector<uint8_t> backup(4096, 0x32);
    CRefPtr<IROMImage> blank = BlankVarnexRom(store, backup);
    ASSERT_TRUE(blank);
    COffsetModeScope scope(blank.get(), false);
    EXPECT_EQ(blank->GetLoadedSize(), 0x3010u);
    EXPECT_EQ(blank->GetWord(0), 0xAA55);
    EXPECT_EQ(blank->GetWord(0x16), 0xFE2);
    EXPECT_EQ(blank->GetWord(0x18), 0x20);
    EXPECT_EQ(blank->GetWord(0x20 + 0x10), 25); // 0x3010 in 512-byte units, rounded up
    EXPECT_EQ(blank->GetWord(0x40 + 8), 25);
    EXPECT_EQ(blank->GetByte(0x20 + 0x15), 0x80);
    EXPECT_EQ(blank->GetByte(0x40 + 0x0A), 0);
    EXPECT_EQ(ReadVarnexObjectBytes(blank.get(), nbsi::kTypeVarnexImage), store);
    EXPECT_EQ(ReadVarnexObjectBytes(blank.get(), nbsi::kTypeVarnexBackup), backup);
    EXPECT_EQ(blank->FindNBSIObject(nbsi::kTypeVarnexImage), 0x1000);

    // A reference whose chain is private makes the block private too.
    CRefPtr<IROMImage> reference =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x1000).Kpde().KpdeFlags(0x01).BuildImage();
    ASSERT_TRUE(reference->CheckOffsetModeChain());
    CRefPtr<IROMImage> privateBlank = BlankVarnexRom(store, backup, reference.get());
    COffsetModeScope privateScope(privateBlank.get(), false);
    EXPECT_EQ(privateBlank->GetWord(0), 0x4B52);
    EXPECT_EQ(privateBlank->GetDword(0x20), 0x5344504Bu); // "KPDS"

    EXPECT_FALSE(NewFlash()->BuildBlankVarnexRom(nullptr, nullptr, nullptr));
}

TEST(VarnexChainTest, AppendsToAnEmptyImage)
{
    CRefPtr<IROMImage> source = BlankVarnexRom(Store(), Backup());
    CRefPtr<IROMImage> target = IROMImage::Create(kROMImageGPU);
    testkit::CapturedLog log;
    CRefPtr<IROMImage> result = NewFlash()->AppendVarnexToRomChain(target.get(), source.get(), &log.log);
    ASSERT_EQ(result.get(), target.get()) << log.text.str();
    EXPECT_EQ(target->FindNBSIBlock(), 0);
    EXPECT_EQ(target->FindNBSIObject(nbsi::kTypeVarnexImage), 0x1000);
    EXPECT_EQ(target->GetByte(0x20 + 0x15), 0x80);
    EXPECT_EQ(target->GetByte(0x40 + 0x0A), 0x80);
    EXPECT_EQ(Blocks(target.get()), std::vector<int32_t>{0});
    EXPECT_EQ(ReadVarnexObjectBytes(target.get(), nbsi::kTypeVarnexImage), Store());
    EXPECT_EQ(ReadVarnexObjectBytes(target.get(), nbsi::kTypeVarnexBackup), Backup());
    CRefPtr<CVarnexImage> store = ReadVarnexStore(target.get(), false);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->SerializeRaw(), Store());
    EXPECT_NE(log.text.str().find("Final Varnex Offset = 0x00001000 (0x00001000)\n"),
              std::string::npos);
}

// x86 and EFI blocks, with and without an init-from-ROM segment in front:
// the block lands after the chain with its store on a 4096-byte boundary of
// the whole image, and the chain still walks to it.
TEST(VarnexChainTest, AppendsToAChain)
{
    for (uint32_t segment : {0u, 0x1000u, 0x600u})
    {
        SCOPED_TRACE(segment);
        CGpuImageBuilder builder;
        if (segment != 0)
        {
            builder.InitFromRom(segment);
        }
        CRefPtr<IROMImage> target = builder.Block(CGpuImageBuilder::kX86, 0x8000)
                                        .Kpde()
                                        .Block(CGpuImageBuilder::kEfi, 0xE00)
                                        .BuildImage();
        const uint32_t window = target->GetWindowOffset();
        ASSERT_EQ(window, segment);
        CRefPtr<IROMImage> source = BlankVarnexRom(Store(), Backup());
        // The source has been appended once already: append from a chain too.
        CRefPtr<IROMImage> result =
            NewFlash()->AppendVarnexToRomChain(target.get(), source.get(), nullptr);
        ASSERT_EQ(result.get(), target.get());
        EXPECT_TRUE(target->GetOffsetMode());

        const int32_t varnex = target->FindNBSIObject(nbsi::kTypeVarnexImage);
        ASSERT_NE(varnex, -1);
        EXPECT_EQ((varnex + window) % 4096, 0u);
        const std::vector<int32_t> blocks = Blocks(target.get());
        ASSERT_EQ(blocks.size(), 3u);
        EXPECT_EQ(blocks[2], target->FindNBSIBlock());
        EXPECT_EQ(blocks[2], 0x8E00);
        // Blocks that carry a checksum still sum to 0; the Varnex block says
        // it carries none.
        for (size_t i = 0; i < 2; ++i)
        {
            EXPECT_EQ(target->Sum8(blocks[i], blocks[i] + target->GetPCIBlockLength(blocks[i])), 0)
                << "block " << i;
        }
        uint8_t indicator = 0;
        ASSERT_TRUE(target->GetPCIRIndicator(indicator, blocks[1]));
        EXPECT_EQ(indicator & pcirom::kLastImage, 0);
        EXPECT_EQ(ReadVarnexObjectBytes(target.get(), nbsi::kTypeVarnexImage), Store());
        EXPECT_EQ(ReadVarnexObjectBytes(target.get(), nbsi::kTypeVarnexBackup), Backup());

        // The appended block serves as a source in its turn.
        CRefPtr<IROMImage> again = IROMImage::Create(kROMImageGPU);
        ASSERT_TRUE(NewFlash()->AppendVarnexToRomChain(again.get(), target.get(), nullptr));
        EXPECT_EQ(ReadVarnexObjectBytes(again.get(), nbsi::kTypeVarnexImage), Store());
    }
}

// A source block that does not sit where its layout puts it (its directory
// elsewhere, as after blocks in front of it were removed): its objects reach
// the target laid out afresh, the store on the boundary.
TEST(VarnexChainTest, SourceNotLaidOutForItsPlaceIsLaidOutAfresh)
{
    CRefPtr<IROMImage> misplaced = CGpuImageBuilder()
                                       .Block(CGpuImageBuilder::kX86, 0x1000)
                                       .VarnexBlock(Store(), Backup())
                                       .BuildImage();
    CRefPtr<IROMImage> target =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).Kpde().BuildImage();
    testkit::CapturedLog log;
    ASSERT_TRUE(NewFlash()->AppendVarnexToRomChain(target.get(), misplaced.get(), &log.log));
    EXPECT_NE(log.text.str().find("The Varnex block is not laid out for its place; its objects "
                                  "are laid out afresh.\n"),
              std::string::npos);
    EXPECT_EQ(target->FindNBSIObject(nbsi::kTypeVarnexImage) % 4096, 0);
    EXPECT_EQ(ReadVarnexObjectBytes(target.get(), nbsi::kTypeVarnexImage), Store());
    EXPECT_EQ(ReadVarnexObjectBytes(target.get(), nbsi::kTypeVarnexBackup), Backup());
}

TEST(VarnexChainTest, FailedAppendLeavesTheTarget)
{
    // A source without a Varnex block, before any layout is traced.
    CRefPtr<IROMImage> plain = CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x1000).BuildImage();
    CRefPtr<IROMImage> target =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).Kpde().BuildImage();
    const std::vector<uint8_t> before = BufferOf(target.get());
    testkit::CapturedLog log;
    EXPECT_EQ(ErrorOf([&] { NewFlash()->AppendVarnexToRomChain(target.get(), plain.get(), &log.log); }),
              "Varnex Image size is zero");
    EXPECT_EQ(log.text.str(), "");

    // A target that still holds a Varnex block of its own: the store found
    // after the append is the old one, off the sector boundary, and the
    // appended block is taken out again.
    CRefPtr<IROMImage> holding = CGpuImageBuilder()
                                     .Block(CGpuImageBuilder::kX86, 0x1000)
                                     .VarnexBlock({'R', 'O', 'M', 0, 1}, {})
                                     .BuildImage();
    const std::vector<uint8_t> holdingBefore = BufferOf(holding.get());
    CRefPtr<IROMImage> blank = BlankVarnexRom(Store(), Backup());
    testkit::CapturedLog alignLog;
    EXPECT_FALSE(NewFlash()->AppendVarnexToRomChain(holding.get(), blank.get(), &alignLog.log));
    EXPECT_NE(alignLog.text.str().find("Error: Varnex image is not sector aligned\n"),
              std::string::npos);
    EXPECT_EQ(BufferOf(holding.get()), holdingBefore);
    EXPECT_EQ(holding->GetLoadedSize(), holdingBefore.size());

    // No room left in the image buffer for the block.
    CRefPtr<IROMImage> full =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, kImageBufferSize - 0x2000).BuildImage();
    const std::vector<uint8_t> fullBefore = BufferOf(full.get());
    CRefPtr<IROMImage> source =
        BlankVarnexRom(std::vector<uint8_t>(4096, 0x31), std::vector<uint8_t>(4096, 0x32));
    EXPECT_EQ(ErrorOf([&] { NewFlash()->AppendVarnexToRomChain(full.get(), source.get(), nullptr); }),
              "Invalid PCI block: no room in the image buffer");
    EXPECT_EQ(BufferOf(full.get()), fullBefore);
}
