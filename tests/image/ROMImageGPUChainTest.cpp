// GPU images: the PCI expansion-ROM chain (walks, sizes, KPDE rules,
// checksums, listing) and the init-from-ROM window.

#include "image/IROMImage.h"
#include "image/ROMImageGPUImpl.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/TextCount.h"
#include "testkit/image/GpuImageBuilder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;

namespace
{
constexpr uint8_t kX86 = CGpuImageBuilder::kX86;
constexpr uint8_t kEfi = CGpuImageBuilder::kEfi;
constexpr uint8_t kNbsi = CGpuImageBuilder::kNbsi;

// The error text of an action, "" when it succeeds.
CGpuImageBuilder TwoBlocks()
{
    CGpuImageBuilder builder;
    builder.Block(kX86, 0x10000).Block(kEfi, 0x8000);
    return builder;
}

// Offsets of the blocks NextPCIBlock visits from 0.
std::vector<int32_t> Walk(IROMImage* image)
{
    std::vector<int32_t> blocks;
    for (int32_t block = image->HasPCIR() ? 0 : -1; block != -1 && blocks.size() < 64;
         block = image->NextPCIBlock(block))
    {
        blocks.push_back(block);
    }
    return blocks;
}

struct ChainCase
{
    const char* name;
    CGpuImageBuilder builder;
    uint32_t romSize;
    std::vector<int32_t> walk;
    int32_t efiBlock;
};

// Chains of every shape the walk meets, with the ROM size, the block offsets
// and the EFI block the lookups must give.
std::vector<ChainCase> ChainCases()
{
    return {
        {"one 64 KiB block", CGpuImageBuilder().Block(kX86, 0x10000), 0x10000, {0}, -1},
        {"x86 then EFI", TwoBlocks(), 0x18000, {0, 0x10000}, 0x10000},
        {"private chain",
         CGpuImageBuilder().Block(kX86, 0x800).Private().Block(kEfi, 0x400).Private(),
         0xC00,
         {0, 0x800},
         0x800},
        {"alternate mark",
         CGpuImageBuilder().Block(kX86, 0x800).Mark(0xBB77).Block(kEfi, 0x400),
         0xC00,
         {0, 0x800},
         0x800},
        // A SuperImage: the PCIR length covers the next block, the KPDE
        // sub-image length (with its own last-image byte) gives the step.
        {"KPDE 0x0101 sub-image, indicator byte",
         CGpuImageBuilder()
             .Block(kX86, 0x10000)
             .PcirLength(0x18000)
             .Kpde(0x0101, 12)
             .KpdeSubImageLength(0x10000)
             .KpdeIndicator(0)
             .Block(kEfi, 0x8000),
         0x18000,
         {0, 0x10000},
         0x10000},
        // Without the indicator byte the PCIR last bit is cleared because the
        // sub-image is shorter than the PCIR image.
        {"KPDE structure of 10 bytes",
         CGpuImageBuilder()
             .Block(kX86, 0x10000)
             .PcirLength(0x18000)
             .PcirIndicator(0x80)
             .Kpde(0x0101, 10)
             .KpdeSubImageLength(0x10000)
             .Block(kEfi, 0x8000),
         0x18000,
         {0, 0x10000},
         0x10000},
        // Version 0x0102: the chain rules ignore the extension, the plain
        // next-block step still follows its sub-image length and indicator.
        {"KPDE version 0x0102",
         CGpuImageBuilder()
             .Block(kX86, 0x8000)
             .PcirLength(0x10000)
             .Kpde(0x0102, 12)
             .KpdeSubImageLength(0x8000)
             .LastImage(true)
             .KpdeIndicator(0)
             .Block(kEfi, 0x8000),
         0x10000,
         {0, 0x8000},
         -1},
        {"NBSI blocks behind the code",
         CGpuImageBuilder().Block(kX86, 0x800).VarnexBlock({1, 2, 3}, {}).NbsiBlock({}),
         0x800 + 0x200 + 0x200,
         {0, 0x800, 0xA00},
         -1},
        {"trailing bytes beyond the chain",
         CGpuImageBuilder().Block(kX86, 0x800).Trailer(std::vector<uint8_t>(0x300, 0x11)),
         0x800,
         {0},
         -1},
        {"zero length", CGpuImageBuilder().Block(kX86, 0x800).PcirLength(0), 0x800, {0}, -1},
        {"truncated inside the second header", TwoBlocks().Truncate(0x10010), 0x10000, {0}, -1},
        {"truncated inside the second block",
         TwoBlocks().Truncate(0x14000),
         0,
         {0, 0x10000},
         0x10000},
    };
}

TEST(GpuChainTest, WalkAndSizeFollowTheEffectiveLengths)
{
    for (const ChainCase& c : ChainCases())
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = c.builder.BuildImage();
        EXPECT_EQ(image->GetROMSize(), c.romSize);
        EXPECT_EQ(Walk(image.get()), c.walk);
        EXPECT_EQ(image->FindPCIBlockByCodeType(kEfi, 0), c.efiBlock);
    }
}

TEST(GpuChainTest, KpdeVersion0102KeepsItsOwnLengthForTheLookups)
{
    CRefPtr<IROMImage> image = CGpuImageBuilder()
                                   .Block(kX86, 0x10000)
                                   .Kpde(0x0102, 12)
                                   .KpdeSubImageLength(0x8000)
                                   .BuildImage();
    EXPECT_EQ(image->GetKPDEImageLength(0), 0x8000u);
    EXPECT_EQ(image->GetROMSize(), 0x10000u);
}

struct MalformationCase
{
    const char* name;
    CGpuImageBuilder builder;
    std::string romSize;
    std::string chainCheck;
    std::string newBlock;
    std::string nbsiSearch;
    // The blocks both listings show before they stop at the corrupt link.
    std::vector<std::string> listed;
};

// The listing of the blocks, then the error that ends it.
std::string CorruptListing(const std::vector<std::string>& blocks)
{
    std::string text = "Location        Size Type           \n";
    for (const std::string& block : blocks)
    {
        text += block + "\n";
    }
    return text + "\nPCI Block corrupted 3";
}

using testkit::CountOf;

TEST(GpuChainTest, MalformedChainsEndInCleanErrors)
{
    const std::string noLast = "PCI Block corrupted - size mismatch";
    const std::string none = "(no error)";
    const std::vector<MalformationCase> cases = {
        {"missing last flag",
         TwoBlocks().LastImage(false),
         noLast,
         "PCI block chain corrupted",
         "PCI block chain corrupted - GetNewPCIBlockInfo failed",
         "PCI Block chain corrupted - PCI block search failed",
         {"000000:00FFFF  65536 x86            ", "010000:017FFF  32768 EFI            "}},
        {"zero length first block",
         CGpuImageBuilder().Block(kX86, 0x800).PcirLength(0),
         none,
         "PCI Block corrupted 2",
         "PCI Block corrupted - invalid PCI block size. GetNewPCIBlockInfo failed",
         none,
         {}},
        {"length running past the image",
         CGpuImageBuilder().Block(kX86, 0x800).PcirLength(0x1000).LastImage(false),
         noLast,
         "PCI block chain corrupted",
         "PCI block chain corrupted - GetNewPCIBlockInfo failed",
         "PCI Block chain corrupted - PCI block search failed",
         {"000000:000FFF   4096 x86            "}},
        {"no PCI data structure",
         CGpuImageBuilder().Block(kX86, 0x800).PcirSignature("XXXX"),
         none,
         "PCI Block corrupted 1.OffsetMode is true",
         "PCI Block corrupted - no valid PCI data structure found. GetNewPCIBlockInfo failed",
         none,
         {}},
        {"PCIR pointer outside the image",
         CGpuImageBuilder().Block(kX86, 0x800).PcirOffset(0xFFF0),
         none,
         "PCI Block corrupted 1.OffsetMode is true",
         "PCI Block corrupted - no valid PCI data structure found. GetNewPCIBlockInfo failed",
         none,
         {}},
        {"zero length in the second block",
         TwoBlocks().PcirLength(0),
         noLast,
         "PCI Block corrupted 2",
         "PCI Block corrupted - invalid PCI block size. GetNewPCIBlockInfo failed",
         none,
         {"000000:00FFFF  65536 x86            "}},
        {"truncated mid-chain",
         TwoBlocks().Truncate(0x10010),
         none,
         "PCI Block corrupted 1.OffsetMode is true",
         "PCI Block corrupted - no valid PCI data structure found. GetNewPCIBlockInfo failed",
         none,
         {"000000:00FFFF  65536 x86            "}},
    };
    for (const MalformationCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = c.builder.BuildImage();
        EXPECT_EQ(ErrorOf([&] { image->GetROMSize(); }), c.romSize);
        EXPECT_EQ(ErrorOf([&] { image->CheckOffsetModeChain(); }), c.chainCheck);
        EXPECT_EQ(ErrorOf([&] { image->GetOffsetNewPCIBlock(); }), c.newBlock);
        EXPECT_EQ(ErrorOf([&] { image->FindPCIBlockByCodeType(kNbsi, 0); }), c.nbsiSearch);
        // Both listings show the blocks up to the corrupt link, then fail.
        EXPECT_EQ(ErrorOf([&] { image->DumpPCIBlocks(1); }), CorruptListing(c.listed));
        const std::string detailed = ErrorOf([&] { image->DumpPCIBlocks(3); });
        EXPECT_TRUE(detailed.ends_with("\nPCI Block corrupted 3")) << detailed;
        EXPECT_EQ(CountOf(detailed, "------- PCI BLOCK -------"), c.listed.size());
        for (const std::string& block : c.listed)
        {
            EXPECT_NE(detailed.find(block + "\n"), std::string::npos) << block;
        }
    }
}

TEST(GpuChainTest, OpenFirmwareFirstBlockIsRefused)
{
    const std::vector<uint8_t> bytes =
        CGpuImageBuilder().Block(CGpuImageBuilder::kOpenFirmware, 0x800).Build();
    EXPECT_EQ(
        ErrorOf(
            [&]
            { IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size())); }),
        "Unsupported code type: 0x01. FCode support deprecated.");
}

TEST(GpuChainTest, LoadingANewFileForgetsTheOldWindow)
{
    // Through the old image's 0x1000-byte window the new file's second block
    // (Open Firmware) would look like its first.
    CRefPtr<IROMImage> image =
        CGpuImageBuilder().InitFromRom(0x1000).Block(kX86, 0x800).BuildImage();
    ASSERT_EQ(image->GetWindowOffset(), 0x1000u);
    const std::vector<uint8_t> bytes = CGpuImageBuilder()
                                           .Block(kX86, 0x1000)
                                           .Block(CGpuImageBuilder::kOpenFirmware, 0x800)
                                           .Build();
    const testkit::CScratchDirectory folder;
    const std::string path = folder.WriteBytes("window.rom", bytes);
    EXPECT_EQ(ErrorOf([&] { image->LoadFromFile(path); }), "(no error)");
    EXPECT_EQ(image->GetWindowOffset(), 0u);
    EXPECT_EQ(image->GetROMSize(), 0x1800u);
}

TEST(GpuChainTest, KpdeSitsOnTheSixteenByteBoundaryAfterThePcir)
{
    for (uint16_t structureLength : {0x18, 0x24})
    {
        CRefPtr<IROMImage> image = CGpuImageBuilder()
                                       .Block(kX86, 0x800)
                                       .PcirOffset(0x1C)
                                       .PcirStructureLength(structureLength)
                                       .Kpde()
                                       .BuildImage();
        EXPECT_EQ(image->FindPCIR(0), 0x1C);
        EXPECT_EQ(image->FindKPDE(0), 0x40) << structureLength;
        EXPECT_EQ(image->GetKPDELength(0x40), 12u);
    }
}

TEST(GpuChainTest, SearchesByCodeType)
{
    CRefPtr<IROMImage> image = CGpuImageBuilder()
                                   .Block(kX86, 0x800)
                                   .NbsiBlock({})
                                   .Block(kEfi, 0x400)
                                   .NbsiBlock({})
                                   .BuildImage();
    EXPECT_EQ(image->FindPCIBlockByCodeType(kEfi, 0), 0xA00);
    EXPECT_EQ(image->FindNthPCIBlock(kNbsi, 0), 0x800);
    EXPECT_EQ(image->FindNthPCIBlock(kNbsi, 1), 0xE00);
    EXPECT_EQ(image->FindNthPCIBlock(kNbsi, 2), -1);
    EXPECT_EQ(image->FindPCIBlockByCodeType(0xE0, 0), -1);
    EXPECT_EQ(image->GetPCIBlockEnd(0xA00), 0xDFF);
    EXPECT_EQ(image->GetPCIBlockEnd(0x123), -1);

    std::vector<uint8_t> payload;
    EXPECT_TRUE(image->ReadPCIBlockPayload(payload, kEfi));
    EXPECT_EQ(payload.size(), 0x400u - 0x98);
    EXPECT_FALSE(image->ReadPCIBlockPayload(payload, 0xE0));
    EXPECT_TRUE(payload.empty());
}

TEST(GpuChainTest, FixPCIBlockChecksumRestoresTheBlockSum)
{
    const std::vector<uint8_t> good = TwoBlocks().Build();
    CRefPtr<IROMImage> image = TwoBlocks().BadChecksum().BuildImage();
    EXPECT_NE(image->Sum8(0x10000, 0x18000), 0);
    image->FixPCIBlockChecksum(0x10000);
    EXPECT_EQ(image->Sum8(0x10000, 0x18000), 0);
    EXPECT_EQ(image->CompareRange(CGpuImageBuilder(TwoBlocks()).BuildImage().get(), 0, 0x18000),
              -1);
    EXPECT_EQ(image->GetByte(0x17FFF), good[0x17FFF]);

    // A block whose KPDE says it carries no checksum is left alone.
    CRefPtr<IROMImage> unchecked =
        CGpuImageBuilder().Block(kX86, 0x800).Kpde().KpdeFlags(0x04).BadChecksum().BuildImage();
    const uint8_t before = unchecked->GetByte(0x7FF);
    unchecked->FixPCIBlockChecksum(0);
    EXPECT_EQ(unchecked->GetByte(0x7FF), before);

    EXPECT_EQ(ErrorOf([&] { image->FixPCIBlockChecksum(0x123); }),
              "PCI Block corrupted - PCI Block size invalid");
}

TEST(GpuChainTest, FixChecksumCoversTheHeaderSize)
{
    CRefPtr<IROMImage> image = CGpuImageBuilder().Block(kX86, 0x800).BadChecksum().BuildImage();
    image->FixChecksum();
    EXPECT_EQ(image->Sum8(0, 0x800), 0);

    CRefPtr<IROMImage> zero = CGpuImageBuilder().Block(kX86, 0x800).InitSize(0).BuildImage();
    EXPECT_EQ(ErrorOf([&] { zero->FixChecksum(); }), "Invalid offset");
}

TEST(GpuChainTest, DumpListsEveryBlock)
{
    CRefPtr<IROMImage> image = TwoBlocks().BuildImage();
    EXPECT_EQ(image->DumpPCIBlocks(1), "Location        Size Type           \n"
                                       "000000:00FFFF  65536 x86            \n"
                                       "010000:017FFF  32768 EFI            \n");

    CRefPtr<IROMImage> detailed = CGpuImageBuilder()
                                      .Block(0x42, 0x400)
                                      .Kpde(0x0101, 12)
                                      .KpdeFlags(0x05)
                                      .DeviceId(0x1C03)
                                      .BuildImage();
    EXPECT_EQ(detailed->DumpPCIBlocks(3), "Location        Size Type           \n"
                                          "000000:0003FF   1024 Unknown[       42]\n"
                                          "------- PCI BLOCK -------\n"
                                          " Signature    = PCIR\n"
                                          " Vendor ID    = 7E2B\n"
                                          " Device ID    = 1C03\n"
                                          " Class-code   = 003\n"
                                          " Length       = 0002\n"
                                          " Last Image   = 80\n"
                                          "------- KPDE BLOCK ------\n"
                                          " Signature    = KPDE\n"
                                          " Length       = 00\n"
                                          " Last Image   = 80\n"
                                          " Flags-0      = 05\n"
                                          "-------------------------\n");

    // A SuperImage whose PCIR says "last": detail 1 follows the PCIR lengths,
    // detail 2 the effective ones into the contained block.
    CRefPtr<IROMImage> super = CGpuImageBuilder()
                                   .Block(kX86, 0x10000)
                                   .PcirLength(0x18000)
                                   .PcirIndicator(0x80)
                                   .Kpde()
                                   .KpdeSubImageLength(0x10000)
                                   .KpdeIndicator(0)
                                   .Block(kEfi, 0x8000)
                                   .BuildImage();
    EXPECT_EQ(super->DumpPCIBlocks(1), "Location        Size Type           \n"
                                       "000000:017FFF  98304 x86            \n");
    EXPECT_EQ(super->DumpPCIBlocks(2), "Location        Size Type           \n"
                                       "000000:017FFF  98304 x86            \n"
                                       "010000:017FFF  32768 EFI            \n");

    CRefPtr<IROMImage> broken = TwoBlocks().LastImage(false).BuildImage();
    EXPECT_EQ(ErrorOf([&] { broken->DumpPCIBlocks(1); }), "Location        Size Type           \n"
                                                          "000000:00FFFF  65536 x86            \n"
                                                          "010000:017FFF  32768 EFI            \n"
                                                          "\nPCI Block corrupted 3");
}

TEST(GpuChainTest, KpdeFlagsAreCachedFromTheFirstBlock)
{
    struct Case
    {
        const char* name;
        CGpuImageBuilder builder;
        bool flag1;
        bool flag3;
    };
    const std::vector<Case> cases = {
        {"no KPDE", CGpuImageBuilder().Block(kX86, 0x800), false, false},
        {"no sub-image length", CGpuImageBuilder().Block(kX86, 0x800).Kpde().KpdeFlags(0x0A), false,
         false},
        {"flags byte",
         CGpuImageBuilder().Block(kX86, 0x800).Kpde().KpdeSubImageLength(0x800).KpdeFlags(0x0A),
         true, true},
        {"version 0x0100 takes the PCIR revision",
         CGpuImageBuilder()
             .Block(kX86, 0x800)
             .PcirRevision(3)
             .Kpde(0x0100)
             .KpdeSubImageLength(0x800)
             .KpdeFlags(0x08),
         true, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = c.builder.BuildImage();
        EXPECT_EQ(image->GetKPDEFlag1(), c.flag1);
        EXPECT_EQ(image->GetKPDEFlag3(), c.flag3);
    }
}

TEST(GpuChainTest, ValidityKindAndErasedTests)
{
    CRefPtr<IROMImage> image = TwoBlocks().BuildImage();
    EXPECT_TRUE(image->IsValid());
    EXPECT_TRUE(image->IsPCIROM());
    EXPECT_FALSE(image->IsErased());
    EXPECT_EQ(image->GetTypeName(), "x86, PC-AT");

    CRefPtr<IROMImage> privateChain = CGpuImageBuilder().Block(kX86, 0x800).Private().BuildImage();
    EXPECT_TRUE(privateChain->IsValid());
    EXPECT_FALSE(privateChain->IsPCIROM());

    const std::vector<uint8_t> erased(129, 0xFF);
    CRefPtr<IROMImage> blank = IROMImage::CreateFromBuffer(erased.data(), 129);
    EXPECT_TRUE(blank->IsErased());
    EXPECT_EQ(blank->GetTypeName(), "Erased");
    CRefPtr<IROMImage> small = IROMImage::CreateFromBuffer(erased.data(), 128);
    EXPECT_EQ(ErrorOf([&] { small->IsErased(); }),
              "Not enough of image read to determine if EEPROM is erased");
}

TEST(GpuChainTest, UpdateROMSizeWritesEveryFieldOrNone)
{
    CRefPtr<IROMImage> image = CGpuImageBuilder().Block(kX86, 0x800).Kpde().BuildImage();
    const int32_t pcir = image->FindPCIR(0);
    const int32_t kpde = image->FindKPDE(0);
    image->UpdateROMSize(0x1000);
    EXPECT_EQ(image->GetByte(2), 8);
    EXPECT_EQ(image->GetWord(pcir + 16), 8);
    EXPECT_EQ(image->GetWord(kpde + 8), 8);

    // 256 units do not fit the header byte: refused, nothing written.
    EXPECT_EQ(ErrorOf([&] { image->UpdateROMSize(0x20000); }),
              "ROM size does not fit the image header: 131072");
    EXPECT_EQ(image->GetByte(2), 8);
    EXPECT_EQ(image->GetWord(pcir + 16), 8);
}

TEST(GpuChainTest, IndicatorsChangeOnlyTheirBits)
{
    CRefPtr<IROMImage> image = CGpuImageBuilder().Block(kX86, 0x800).Kpde().BuildImage();
    uint8_t indicator = 0;
    ASSERT_TRUE(image->ClearPCIRLastImage(0, 0x01));
    ASSERT_TRUE(image->GetPCIRIndicator(indicator, 0));
    EXPECT_EQ(indicator, 0x00);
    ASSERT_TRUE(image->SetKPDELastImage(0, 0x02));
    ASSERT_TRUE(image->GetKPDEIndicator(indicator, 0));
    EXPECT_EQ(indicator, 0x82);

    CRefPtr<IROMImage> noKpde = CGpuImageBuilder().Block(kX86, 0x800).BuildImage();
    EXPECT_FALSE(noKpde->GetKPDEIndicator(indicator, 0));
    EXPECT_FALSE(noKpde->SetKPDELastImage(0, 0));
    EXPECT_FALSE(noKpde->SetPCIRLastImage(0x100, 0));
}

// ---- init-from-ROM window -----------------------------------------------

TEST(GpuWindowTest, OffsetModeSeesTheChainBehindTheSegment)
{
    CRefPtr<IROMImage> image = TwoBlocks().InitFromRom(0x1000, 0x7E2B, 0x1234).BuildImage();
    EXPECT_TRUE(image->GetOffsetMode());
    EXPECT_EQ(image->GetWindowOffset(), 0x1000u);
    EXPECT_EQ(image->GetWord(0), 0xAA55);
    EXPECT_EQ(image->GetBuffer()[0], 0x55);
    EXPECT_EQ(image->GetLoadedSize(), 0x19000u);
    EXPECT_EQ(image->GetROMSize(), 0x18000u);
    EXPECT_EQ(image->GetIFRImageSize(), 0x1000u);
    EXPECT_EQ(image->GetIFRSubsystemID(), 0x12347E2Bu);
    EXPECT_EQ(image->GetIFRDataSize(), 28u);
    EXPECT_NE(image->GetIFRHeader(), nullptr);

    image->SetOffsetMode(false);
    EXPECT_EQ(image->GetWindowOffset(), 0u);
    EXPECT_EQ(image->GetWord(0), 0x524B); // "KR"
    // Counted from the buffer start, the size includes the segment.
    EXPECT_EQ(image->GetROMSize(), 0x19000u);
    EXPECT_FALSE(image->GetOffsetMode());
    image->SetOffsetMode(true);

    // Window-relative ranges end at the loaded size less the window.
    std::vector<uint8_t> out(8);
    EXPECT_EQ(ErrorOf([&] { image->ReadBlock(out.data(), 0x18000 - 4, 8); }),
              "Source block is out of range");
    EXPECT_EQ(ErrorOf([&] { image->ReadBlock(out.data(), 0x18000 - 8, 8); }), "(no error)");
    EXPECT_EQ(ErrorOf([&] { image->GetCRC32(0x18001); }), "Improper size used for CRC calculation");
}

TEST(GpuWindowTest, DoubtfulHeadersGiveNoWindowOrNoSize)
{
    CRefPtr<IROMImage> versionZero =
        TwoBlocks().InitFromRom(0x1000).InitFromRomVersion(0).BuildImage();
    EXPECT_EQ(versionZero->GetIFRImageSize(), 0u);
    EXPECT_EQ(versionZero->GetWindowOffset(), 0x1000u);

    // A segment size beyond the loaded bytes gives no window at all.
    CRefPtr<IROMImage> beyond =
        TwoBlocks().InitFromRom(0x1000).InitFromRomSizeField(0x2F0000).BuildImage();
    EXPECT_EQ(beyond->GetWindowOffset(), 0u);
    EXPECT_FALSE(beyond->IsValid());
    EXPECT_EQ(beyond->GetROMSize(), 0u);

    // 27 bytes that start with the signature: a header but no window.
    std::vector<uint8_t> bytes = TwoBlocks().InitFromRom(0x1000).Build();
    CRefPtr<IROMImage> shortImage = IROMImage::CreateFromBuffer(bytes.data(), 27);
    EXPECT_EQ(shortImage->GetWindowOffset(), 0u);
    EXPECT_NE(shortImage->GetIFRHeader(), nullptr);

    CRefPtr<IROMImage> empty = IROMImage::Create(kROMImageGPU);
    EXPECT_TRUE(empty->GetOffsetMode());
    EXPECT_EQ(empty->GetWindowOffset(), 0u);
    EXPECT_EQ(empty->GetIFRHeader(), nullptr);
    EXPECT_EQ(empty->GetIFRImageSize(), 0u);
}

TEST(GpuWindowTest, OffsetModeIsRestoredWhenAChainOperationFails)
{
    CRefPtr<IROMImage> image = TwoBlocks().LastImage(false).InitFromRom(0x1000).BuildImage();
    image->SetOffsetMode(false);
    EXPECT_EQ(ErrorOf([&] { image->GetROMSize(); }), "PCI Block corrupted - size mismatch");
    EXPECT_FALSE(image->GetOffsetMode());
    EXPECT_EQ(ErrorOf([&] { image->ConvertToPrivateChain(); }), "(no error)");
    EXPECT_FALSE(image->GetOffsetMode());
}

TEST(GpuWindowTest, CloneKeepsTheSegmentAndTheMode)
{
    CRefPtr<IROMImage> image =
        TwoBlocks().InitFromRom(0x1000).Trailer(std::vector<uint8_t>(0x200, 0x66)).BuildImage();
    CRefPtr<IROMImage> copy = IROMImage::Clone(image.get());
    EXPECT_TRUE(copy->GetOffsetMode());
    EXPECT_TRUE(image->GetOffsetMode());
    EXPECT_EQ(copy->GetLoadedSize(), 0x19000u);
    EXPECT_EQ(copy->GetWindowOffset(), 0x1000u);
    EXPECT_EQ(copy->CompareRange(image.get(), 0, 0x18000), -1);
}
} // namespace

namespace
{
// Reaches the image's protected pattern search.
class CSearchableGPUImage : public CROMImageGPUImpl
{
public:
    CSearchableGPUImage(const std::vector<uint8_t>& bytes)
        : CROMImageGPUImpl(bytes.data(), static_cast<uint32_t>(bytes.size()))
    {
    }
    using CROMImageGPUImpl::FindBytes;
};

TEST(GpuWindowTest, FindBytesSearchesOnlyTheWindowsLoadedBytes)
{
    std::vector<uint8_t> bytes = CGpuImageBuilder().InitFromRom(0x400).Block(kX86, 0x800).Build();
    const uint8_t pattern[] = {'F', 'I', 'N', 'D'};
    std::copy(pattern, pattern + 4, bytes.begin() + 0x100);         // in the segment
    std::copy(pattern, pattern + 4, bytes.begin() + 0x400 + 0x300); // in the chain
    // The last loaded bytes start a pattern that goes on into the unloaded
    // fill (0xFF): found only by a search that reads past the loaded end.
    const uint8_t end[] = {'E', 'N', 'D'};
    const uint8_t endAndFill[] = {'E', 'N', 'D', 0xFF};
    std::copy(end, end + 3, bytes.end() - 3);
    const int32_t endOffset = static_cast<int32_t>(bytes.size()) - 3;
    CRefPtr<CSearchableGPUImage> image(new CSearchableGPUImage(bytes));
    EXPECT_EQ(image->FindBytes(pattern, 4), 0x300);
    EXPECT_EQ(image->FindBytes(end, 3), endOffset - 0x400);
    EXPECT_EQ(image->FindBytes(endAndFill, 4), -1);
    image->SetOffsetMode(false);
    EXPECT_EQ(image->FindBytes(pattern, 4), 0x100);
    EXPECT_EQ(image->FindBytes(end, 3), endOffset);
    EXPECT_EQ(image->FindBytes(endAndFill, 4), -1);
}
} // namespace
