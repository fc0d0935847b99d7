// The certificate block of a signed GPU image: locations, package walks,
// the certificate-information block, the image hash text, and the signature
// record's range merge.

#include "common/core/crypto/BIOSSignature.h"
#include "testkit/ErrorOf.h"
#include "testkit/crypto/SignedImageBuilder.h"

#include <gtest/gtest.h>

using namespace testkit;

namespace
{
int32_t At(uint32_t offset)
{
    return static_cast<int32_t>(offset);
}
} // namespace

TEST(CertBlockTest, LocatesEveryPieceOfABuiltImage)
{
    const SignedImage signedImage = BuildSignedImage();
    const SignedImageLayout& layout = signedImage.layout;
    CRefPtr<IROMImage> image = signedImage.Image();
    EXPECT_TRUE(image->HasBCRT());
    EXPECT_EQ(image->FindBCRTBlock(), At(layout.package));
    EXPECT_EQ(image->FindBCRTHATBase(), At(layout.hat));
    EXPECT_EQ(image->GetCertificateTableOffset(), At(layout.signatureBlock));
    EXPECT_EQ(image->GetCertInfoBlockOffset(), At(layout.certInfo));
    EXPECT_EQ(image->GetCertInfoBlockEnd(), At(layout.certInfo + 0x40));

    // Vendor entry first, master second.
    EXPECT_EQ(image->GetX509CertificateList(6), At(layout.package));
    const int32_t master = image->GetX509CertificateList(2);
    EXPECT_GT(master, At(layout.package));
    EXPECT_EQ(image->GetX509CertificateList(5), -1);
    EXPECT_EQ(image->FindNextX509Certificate(At(layout.package), 6), -1);
    EXPECT_EQ(image->FindNextX509Certificate(At(layout.package), 2), master);
    // The last entry of the wanted type has no next one.
    EXPECT_EQ(image->FindNextX509Certificate(master, 2), -1);

    SignedImageSpec two;
    two.secondVendor = true;
    CRefPtr<IROMImage> twoVendors = BuildSignedImage(two).Image();
    const int32_t second = twoVendors->FindNextX509Certificate(At(layout.package), 6);
    EXPECT_GT(second, At(layout.package));
    EXPECT_LT(second, twoVendors->GetX509CertificateList(2));
}

TEST(CertBlockTest, UnsignedAndMalformedBlocksAnswerNone)
{
    SignedImage signedImage = BuildSignedImage();
    // A directory that is not "ISBN" makes the image unsigned.
    std::vector<uint8_t> bytes = signedImage.bytes;
    bytes[signedImage.layout.package - 28] = 'X';
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_FALSE(image->HasBCRT());
    EXPECT_EQ(image->FindBCRTHATBase(), -1);
    EXPECT_EQ(image->GetCertificateTableOffset(), -1);
    EXPECT_EQ(image->GetImageHashText(true), "Not Supported");

    SignedImageSpec noInfo;
    noInfo.certInfoBlock = false;
    image = BuildSignedImage(noInfo).Image();
    EXPECT_EQ(image->GetCertInfoBlockOffset(), -1);
    EXPECT_EQ(image->GetCertInfoBlockEnd(), -1);
    const uint8_t some[4] = {1, 2, 3, 4};
    EXPECT_EQ(ErrorOf([&] { image->WriteCertInfoBlock(some, 4); }),
              "WriteCertInfoBlock: no certificate information block");

    // An entry whose next offset points back into itself ends the walk.
    bytes = signedImage.bytes;
    bytes[signedImage.layout.package + 12] = 4;
    bytes[signedImage.layout.package + 13] = 0;
    image = IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(image->FindBCRTHATBase(), -1);
    EXPECT_EQ(image->GetX509CertificateList(2), -1);
}

TEST(CertBlockTest, WalksRaiseAtTheFiftyFirstEntry)
{
    SignedImageSpec spec;
    spec.fillerEntries = 49; // vendor, 49 fillers, master: 51 entries
    CRefPtr<IROMImage> image = BuildSignedImage(spec).Image();
    EXPECT_EQ(ErrorOf([&] { image->FindBCRTHATBase(); }),
              "BCRT Error: Max count exceeded for finding BCRTHAT Base");
    EXPECT_EQ(ErrorOf([&] { image->GetX509CertificateList(2); }),
              "BCRT Error: Max number of x509 Certificates reached");
    EXPECT_EQ(ErrorOf([&] { image->FindNextX509Certificate(image->FindBCRTBlock(), 6); }),
              "BCRT Error: Max count exceeded for finding next x509 Certificate");
    EXPECT_EQ(image->GetX509CertificateList(6), image->FindBCRTBlock());

    spec.fillerEntries = 48;
    image = BuildSignedImage(spec).Image();
    EXPECT_NE(image->FindBCRTHATBase(), -1);
}

TEST(CertBlockTest, ImageHashText)
{
    const SignedImage signedImage = BuildSignedImage();
    CRefPtr<IROMImage> image = signedImage.Image();
    const int32_t hash = At(signedImage.layout.signatureBlock + 36 + 128);
    for (int32_t i = 0; i < 16; ++i)
    {
        image->SetByte(hash + i, 0);
    }
    image->SetByte(hash, 0x01);
    image->SetByte(hash + 1, 0xAB);
    EXPECT_EQ(image->GetImageHashText(true), "01AB" + std::string(28, '0'));
    EXPECT_EQ(image->GetImageHashText(false), "00000001"
                                              "10101011" +
                                                  std::string(112, '0'));
    EXPECT_EQ(IROMImage::Create(kROMImageBridgeZX22)->GetImageHashText(true), "Not Supported");
}

TEST(CertBlockTest, WriteCertInfoBlockStaysInsideTheCertificateBlock)
{
    const SignedImage signedImage = BuildSignedImage();
    CRefPtr<IROMImage> image = signedImage.Image();
    std::vector<uint8_t> info(0x40, 0x5C);
    info[20] = 0x40;
    info[21] = info[22] = info[23] = 0;
    image->WriteCertInfoBlock(info.data(), static_cast<uint32_t>(info.size()));
    EXPECT_EQ(image->GetByte(At(signedImage.layout.certInfo)), 0x5C);
    EXPECT_EQ(image->GetCertInfoBlockEnd(), At(signedImage.layout.certInfo + 0x40));
    const int32_t block = At(signedImage.layout.certificateBlock);
    const uint32_t length = image->GetPCIBlockLength(block);
    // The checksum was fixed: fixing it again changes nothing.
    const int32_t checksum = image->GetPCIBlockEnd(block);
    const uint8_t written = image->GetByte(checksum);
    image->FixPCIBlockChecksum(block);
    EXPECT_EQ(image->GetByte(checksum), written);
    EXPECT_NE(written, signedImage.bytes[signedImage.layout.certificateBlock + length - 1]);

    const std::vector<uint8_t> tooLong(length, 0x11);
    EXPECT_EQ(ErrorOf([&] { image->WriteCertInfoBlock(tooLong.data(), length); }),
              "WriteCertInfoBlock: the information block does not fit in the certificate block");
    EXPECT_EQ(image->GetByte(At(signedImage.layout.certInfo)), 0x5C);
}

TEST(SignatureRecordTest, MergesAdjacentPreservedRangesOnly)
{
    struct Case
    {
        const char* name;
        BCRTSignedRange second;
        std::vector<BCRTSignedRange> expected;
    };
    const BCRTSignedRange first{0x100, 0x10, 0x0100};
    const Case cases[] = {
        {"adjacent", {0x110, 0x20, 0x0100}, {{0x100, 0x30, 0x0100}}},
        {"free bits differ", {0x110, 0x20, 0x0F0100}, {{0x100, 0x30, 0x0100}}},
        {"instance differs", {0x110, 0x20, 0x0101}, {first, {0x110, 0x20, 0x0101}}},
        {"gap", {0x111, 0x20, 0x0100}, {first, {0x111, 0x20, 0x0100}}},
    };
    for (const Case& c : cases)
    {
        CRefPtr<CBCRTBIOSSignature> record = CreateBIOSSignature();
        record->AddSignedRange(0x500, 4, 0x0800); // a body range sorts after them
        record->AddSignedRange(c.second.offset, c.second.size, c.second.attributes);
        record->AddSignedRange(first.offset, first.size, first.attributes);
        record->MergeSignedRanges();
        std::vector<BCRTSignedRange> expected = c.expected;
        expected.push_back({0x500, 4, 0x0800});
        EXPECT_EQ(record->GetSignedRanges(), expected) << c.name;
    }
    CRefPtr<CBCRTBIOSSignature> record = CreateBIOSSignature();
    EXPECT_EQ(record->GetVersion(), 1u);
    EXPECT_EQ(record->GetHeaderSize(), 36u);
    EXPECT_EQ(record->GetPciHeaderTemplate()[0x18], 0x20);
}
