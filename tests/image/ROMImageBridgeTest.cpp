// The bridge EEPROM images: the ZX22 bridge's validity, IDs, version and
// checksum from its token 'R', and the PLX switch's register IDs and CRC.

#include "tests/image/ImageBytes.h"
#include "image/IROMImage.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/image/BridgeImageBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using testkit::CPlxImageBuilder;
using testkit::CZx22ImageBuilder;
using testkit::ErrorOf;

namespace
{
std::vector<uint8_t> Streamed(IROMImage* image)
{
    std::ostringstream out(std::ios::binary);
    image->WriteToStream(out, 0, image->GetLoadedSize());
    const std::string text = out.str();
    return {text.begin(), text.end()};
}

uint32_t Dword(const std::vector<uint8_t>& bytes, size_t at)
{
    return bytes.at(at) | bytes.at(at + 1) << 8 | bytes.at(at + 2) << 16 |
           static_cast<uint32_t>(bytes.at(at + 3)) << 24;
}

const testkit::BridgeRecord kRecord{0x04030201, 0x05, 0, "12/31/99", "ZX22 Bridge"};
} // namespace

TEST(BridgeImageTest, Zx22ReadsItsRecordAndIds)
{
    CRefPtr<IROMImage> image = FromBytes(CZx22ImageBuilder()
                                             .Revision(0x00010002)
                                             .DeviceDigit(0x3)
                                             .Subsystem(0x1043, 0x8765)
                                             .Record(kRecord)
                                             .Build());
    ASSERT_EQ(image->GetImageType(), kROMImageBridgeZX22);
    EXPECT_TRUE(image->IsValid());
    EXPECT_FALSE(image->IsErased());
    EXPECT_EQ(image->GetTypeName(), "ZX22");
    EXPECT_EQ(image->GetVersionString(0), "04.03.02.01.05 REV:00010002");
    EXPECT_EQ(image->GetVersionNumber(), 0x04030201u);
    EXPECT_EQ(image->GetVersionByte(0), 0x04);
    EXPECT_EQ(image->GetVersionByte(4), 0x05);
    EXPECT_EQ(image->GetVersionByte(5), 0);
    EXPECT_EQ(image->GetVendorID(), 0x7E2B);
    EXPECT_EQ(image->GetDeviceID(), 0x05B0 | 0x30);
    EXPECT_EQ(image->GetSubsystemVendorID(), 0x1043);
    EXPECT_EQ(image->GetSubsystemDeviceID(), 0x8765);
    EXPECT_EQ(image->GetModificationDate(), "12/31/99");
    EXPECT_EQ(image->GetProductName(), "ZX22 Bridge");
    EXPECT_EQ(image->GetROMSize(), 0x800u);
    // Neutral answers of an image without a PCI chain.
    EXPECT_TRUE(image->IsPCIROM());
    EXPECT_EQ(image->DumpPCIBlocks(1), "Unavailable");
    EXPECT_EQ(image->GetSignOnMessage(), "Unavailable");
    EXPECT_EQ(image->GetRuntimePackRecord(0), 0);
    EXPECT_EQ(image->GetIEEE1394GUIDOffset(), -1);

    image->UpdateROMSize(0x20000);
    EXPECT_EQ(image->GetROMSize(), 0x20000u);
}

TEST(BridgeImageTest, Zx22WithoutItsRecordOrValidity)
{
    // No BIT: the version is not found and the ROM size is the loaded size.
    CRefPtr<IROMImage> noBit = FromBytes(CZx22ImageBuilder().NoBit().Revision(7).BadChecksum().Build());
    EXPECT_EQ(noBit->GetVersionString(0), "(Not Found)    REV:00000007");
    EXPECT_EQ(noBit->GetROMSize(), 0x800u);
    EXPECT_EQ(noBit->GetProductName(), "Unavailable");
    const std::vector<uint8_t> before = Streamed(noBit.get());
    noBit->FixChecksum();
    EXPECT_EQ(Streamed(noBit.get()), before);

    // 367 bytes carry a valid signature but are not a valid image; 368 are.
    struct Case
    {
        uint32_t size;
        bool valid;
    };
    for (const Case& c : {Case{367, false}, Case{368, true}})
    {
        SCOPED_TRACE(c.size);
        std::vector<uint8_t> bytes = CZx22ImageBuilder().Size(0x200).Record(kRecord).Build();
        bytes.resize(c.size);
        CRefPtr<IROMImage> image = FromBytes(bytes);
        EXPECT_TRUE(image->HasValidSignature());
        EXPECT_EQ(image->IsValid(), c.valid);
    }
    std::vector<uint8_t> bytes = CZx22ImageBuilder().Size(0x200).Record(kRecord).Build();
    bytes.resize(367);
    CRefPtr<IROMImage> invalid = FromBytes(bytes);
    EXPECT_EQ(invalid->GetVersionString(0), "Unavailable (Invalid)      ");
    EXPECT_EQ(invalid->GetROMSize(), 0u);
    EXPECT_EQ(invalid->GetVendorID(), 0);
    EXPECT_EQ(invalid->GetModificationDate(), "");
}

TEST(BridgeImageTest, Zx22ErasedAndChecksum)
{
    // An empty image has no middle or last byte to look at.
    CRefPtr<IROMImage> empty = IROMImage::Create(kROMImageBridgeZX22);
    EXPECT_TRUE(empty->IsErased());
    EXPECT_EQ(empty->GetTypeName(), "Erased");
    empty->SetLoadedSize(0x800);
    EXPECT_TRUE(empty->IsErased());
    empty->SetByte(0x400, 0); // the middle byte
    EXPECT_FALSE(empty->IsErased());

    CRefPtr<IROMImage> image = FromBytes(CZx22ImageBuilder().Record(kRecord).BadChecksum().Build());
    EXPECT_NE(image->Sum8(0, 0x800), 0);
    image->FixChecksum();
    EXPECT_EQ(image->Sum8(0, 0x800), 0);
}

// CRC values worked out by hand from the polynomial 0xDB710641 for the
// switch's own layout: no entries, one entry and two entries (whose last
// value has a zero high half).
TEST(BridgeImageTest, PlxCrcMatchesKnownValues)
{
    struct Case
    {
        const char* name;
        CPlxImageBuilder builder;
        uint32_t crcOffset;
        uint32_t crc;
    };
    const std::vector<Case> cases = {
        {"no entries", CPlxImageBuilder(), 4, 0x9226F562},
        {"one entry", CPlxImageBuilder().Register(0x00, 0, 0x874710B5), 10, 0xB3CD5474},
        {"two entries",
         CPlxImageBuilder().Register(0x00, 0, 0x874710B5).Register(0xA8, 0, 0x12347E2B), 16,
         0xD715FB43},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> built = c.builder.Build();
        EXPECT_EQ(testkit::PlxCrc(built), c.crc);
        // A wrong stored CRC is replaced when the image is streamed out.
        std::vector<uint8_t> wrong = built;
        wrong[c.crcOffset] ^= 0xFF;
        CRefPtr<IROMImage> image = FromBytes(wrong);
        ASSERT_EQ(image->GetImageType(), kROMImageBridgePLX8747);
        EXPECT_EQ(Dword(Streamed(image.get()), c.crcOffset), c.crc);
    }
}

TEST(BridgeImageTest, PlxIdsAndSaving)
{
    CRefPtr<IROMImage> image = FromBytes(CPlxImageBuilder()
                                             .Register(0x04, 0, 0x11111111)
                                             .Register(0x00, 0, 0x87491234)
                                             .Register(0xA8, 1, 0x55556666) // another port
                                             .Register(0xA8, 0, 0x12347E2B)
                                             .Build());
    EXPECT_TRUE(image->IsValid());
    EXPECT_EQ(image->GetTypeName(), "PLX8747");
    EXPECT_EQ(image->GetVendorID(), 0x1234);
    EXPECT_EQ(image->GetDeviceID(), 0x8749);
    EXPECT_EQ(image->GetSubsystemVendorID(), 0x7E2B);
    EXPECT_EQ(image->GetSubsystemDeviceID(), 0x1234);
    EXPECT_EQ(image->GetVersionString(0), "(Not Found)   ");

    CRefPtr<IROMImage> bare = FromBytes(CPlxImageBuilder().Build());
    EXPECT_EQ(bare->GetVendorID(), 0x10B5);
    EXPECT_EQ(bare->GetDeviceID(), 0x8747);
    EXPECT_EQ(bare->GetSubsystemVendorID(), 0x10B5);
    EXPECT_EQ(bare->GetSubsystemDeviceID(), 0x8747);

    // Any first byte other than 0x5A is an erased switch EEPROM.
    std::vector<uint8_t> bytes = CPlxImageBuilder().Build();
    CRefPtr<IROMImage> erased = IROMImage::Create(kROMImageBridgePLX8747);
    erased->WriteBlock(bytes.data(), 0, static_cast<uint32_t>(bytes.size()));
    erased->SetByte(0, 0x5B);
    EXPECT_TRUE(erased->IsErased());
    EXPECT_EQ(erased->GetTypeName(), "Erased");

    testkit::CScratchDirectory folder;
    const std::string path = (folder / "plx.bin").string();
    CRefPtr<IROMImage> wrong = FromBytes(CPlxImageBuilder().Register(0, 0, 1).BadCrc().Build());
    wrong->SaveToFile(path, 0, wrong->GetLoadedSize());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(Dword(saved, 10), testkit::PlxCrc(saved));

    // One entry needs 14 loaded bytes for its CRC; nothing is written without.
    std::vector<uint8_t> cut = CPlxImageBuilder().Register(0, 0, 1).Build();
    cut.resize(13);
    CRefPtr<IROMImage> shortImage = FromBytes(cut);
    const std::string shortPath = (folder / "short.bin").string();
    EXPECT_EQ(ErrorOf([&] { shortImage->SaveToFile(shortPath, 0, 13); }), "Invalid offset for CRC");
    EXPECT_FALSE(std::filesystem::exists(shortPath));
}
