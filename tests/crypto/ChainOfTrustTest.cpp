// The chain of trust over images from the signed-image test kit: the levels
// of good images, and a tampering table in which every row must fail.

#include "common/core/crypto/ChainOfTrust.h"
#include "core/Exceptions.h"
#include "image/PCIExpansionROM.h"
#include "testkit/ErrorOf.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/varnex/CapturedLog.h"

#include <functional>
#include <gtest/gtest.h>

using namespace testkit;

namespace
{
const char* const kSanity = " Error: Failed certification sanity check.";

CBCRTChainOfTrust TestChain()
{
    return CBCRTChainOfTrust(TestRootContainer(), TestRootPassPhrase());
}

// Bytes of the image file at a window-relative offset of the layout.
uint8_t& ByteAt(SignedImage& image, const SignedImageSpec& spec, uint32_t offset)
{
    return image.bytes.at(spec.initFromRom.value_or(0) + offset);
}
} // namespace

TEST(ChainOfTrustTest, SignedImagesCertifyAtTheirVendorLevel)
{
    struct Case
    {
        const char* name;
        SignedImageSpec spec;
        int32_t level;
    };
    SignedImageSpec withIfr, withPreserveSignature, masterFirst, krd, large;
    withIfr.initFromRom = 0x800;
    withPreserveSignature.preserveSignature = true;
    masterFirst.vendorFirst = false;
    krd.vendorType = 3;
    large.bodyLength = 0x40000;
    large.initFromRom = 0x1000;
    large.preserveSignature = true;
    // A later preserve-hash range replaces the earlier one; size 0 means no
    // preserve hash to check.
    SignedImageSpec noPreserveHash;
    noPreserveHash.extraRanges = {{0x300, 0, 0x0400}};
    const Case cases[] = {
        {"plain", SignedImageSpec{}, 5},
        {"init-from-ROM segment", withIfr, 5},
        {"preserve signature", withPreserveSignature, 5},
        {"master entry first", masterFirst, 5},
        {"KRD vendor", krd, 2},
        {"large", large, 5},
        {"preserve hash range of size 0", noPreserveHash, 5},
    };
    for (const Case& c : cases)
    {
        CRefPtr<IROMImage> image = BuildSignedImage(c.spec).Image();
        CapturedLog captured;
        CBCRTChainOfTrust chain = TestChain();
        EXPECT_EQ(chain.VerifyCertificateChain(image.get(), &captured.log), c.level) << c.name;
        EXPECT_EQ(chain.GetCode(), 0) << c.name;
        EXPECT_EQ(captured.text.str(),
                  "Cert 2.0 root of trust verification: Valid\nCert 2.0 Vendor Cert: Valid\n")
            << c.name;
    }
}

TEST(ChainOfTrustTest, AnImageWithoutPackageIsLevelOne)
{
    CRefPtr<IROMImage> image =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x1000).BuildImage();
    CBCRTChainOfTrust chain = TestChain();
    EXPECT_EQ(chain.VerifyCertificateChain(image.get(), nullptr), kCertificationNoPackage);
}

TEST(ChainOfTrustTest, TheCertInfoBlockWrittenLaterKeepsTheImageCertified)
{
    const SignedImage signedImage = BuildSignedImage();
    CRefPtr<IROMImage> image = signedImage.Image();
    std::vector<uint8_t> info(0x40, 0x77);
    info[20] = 0x40;
    info[21] = info[22] = info[23] = 0;
    image->WriteCertInfoBlock(info.data(), static_cast<uint32_t>(info.size()));
    CBCRTChainOfTrust chain = TestChain();
    EXPECT_EQ(chain.VerifyCertificateChain(image.get(), nullptr), 5);
}

namespace
{
using Mutation = std::function<void(SignedImage&, const SignedImageSpec&)>;

struct TamperCase
{
    const char* name;
    SignedImageSpec spec;
    Mutation mutate;
    int32_t level; // 0: the check must throw `error`
    int32_t code;  // the image check's code, -1 to skip
    const char* error;
    const char* logLine; // a line the log must hold
};

const Mutation kNoChange = [](SignedImage&, const SignedImageSpec&) {};

// A spec with one change from the default.
SignedImageSpec With(const std::function<void(SignedImageSpec&)>& change)
{
    SignedImageSpec spec;
    change(spec);
    return spec;
}

// Changes to the signed image, its ranges and its signatures. Each image
// with an unsigned EFI block is signed with that block in place, so that
// only the block itself can refuse it.
std::vector<TamperCase> ImageTamperCases()
{
    const SignedImageSpec plain;
    const char* const kUnsignedCode = " is not signed. ";
    const char* const kRangeOutside = "       Signed range outside the image. ";
    return {
        {"EFI block before the x86 block",
         With([](SignedImageSpec& s) { s.unsignedEfi = UnsignedEfiBlock::BeforeX86; }), kNoChange,
         8, 8, "", kUnsignedCode},
        {"EFI block between the x86 and the certificate block",
         With([](SignedImageSpec& s) { s.unsignedEfi = UnsignedEfiBlock::AfterX86; }), kNoChange, 8,
         8, "", kUnsignedCode},
        {"EFI block after the certificate block",
         With([](SignedImageSpec& s) { s.unsignedEfi = UnsignedEfiBlock::AfterCertificate; }),
         kNoChange, 8, 8, "", kUnsignedCode},
        {"range of a code type absent before the certificate block",
         With(
             [](SignedImageSpec& s) {
                 s.extraRanges = {{0x100, 16, (uint32_t{pcirom::kCodeEfi} << 24) | 0x0800}};
             }),
         kNoChange, 8, 8, "", kRangeOutside},
        {"range table leaving the certificate block", plain,
         [](SignedImage& i, const SignedImageSpec& s) { ByteAt(i, s, i.layout.hat + 10) = 1; }, 8,
         8, "", "       Signature record outside the certificate block. "},
        {"body byte", plain,
         [](SignedImage& i, const SignedImageSpec& s) { ByteAt(i, s, i.layout.bodyByte) ^= 1; }, 8,
         7, "", "Error Code:8 BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH "},
        {"init-from-ROM byte", With([](SignedImageSpec& s) { s.initFromRom = 0x800; }),
         [](SignedImage& i, const SignedImageSpec&) { i.bytes[0x40] ^= 1; }, 8, 7, "",
         "Error Code:7 BCRT_ERROR_CODE_BODY_FNV_HASH_MISMATCH "},
        {"preserved byte", plain,
         [](SignedImage& i, const SignedImageSpec& s)
         { ByteAt(i, s, i.layout.preservedData + 5) ^= 1; },
         8, 3, "", "Error Code:3 BCRT_ERROR_CODE_PRESERVE_FNV_HASH_MISMATCH "},
        {"preserved byte under a preserve signature",
         With([](SignedImageSpec& s) { s.preserveSignature = true; }),
         [](SignedImage& i, const SignedImageSpec& s)
         { ByteAt(i, s, i.layout.preservedData + 5) ^= 1; },
         8, 4, "", "Error Code:4 BCRT_ERROR_CODE_PRESERVE_SIGNATURE_MISMATCH "},
        {"preserve hash range of 8 bytes",
         With(
             [](SignedImageSpec& s) {
                 s.extraRanges = {{0x300, 8, 0x0400}};
             }),
         kNoChange, 8, 2, "",
         "Error Code:2 BCRT_ERROR_CODE_PRESERVE_HASH_SIZE_MISMATCH \n"
         "       Preserve FNV Hash size larger than the placeholder inside VBIOS image.\n"
         "       Preserve FNV hash not generated to VBIOS image. \n"},
        {"stored body hash", plain,
         [](SignedImage& i, const SignedImageSpec& s)
         { ByteAt(i, s, i.layout.signatureBlock + 36 + 128) ^= 1; },
         8, 7, "", " VBIOS image failed certification sanity check."},
        {"body signature", plain,
         [](SignedImage& i, const SignedImageSpec& s)
         { ByteAt(i, s, i.layout.signatureBlock + 40) ^= 1; },
         8, 8, "", "       VBIOS Signature Check failed. "},
        {"signature size beyond its buffer", plain,
         [](SignedImage& i, const SignedImageSpec& s)
         { ByteAt(i, s, i.layout.signatureBlock + 17) = 2; },
         8, -1, "", "Error Code:8 BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH "},
    };
}

// Changes to the certificates, the package and the signature record's ranges.
std::vector<TamperCase> PackageTamperCases()
{
    const SignedImageSpec plain;
    const char* const kRangeOutside = "       Signed range outside the image. ";
    const char* const kNoLastEntry = "BCRT Error: Certification package has no last entry";
    return {
        {"wrong master key", With([](SignedImageSpec& s) { s.masterSigner = kStrangerKey; }),
         kNoChange, 0, -1, kSanity, "  Error: Master Cert Chain of Trust Failed"},
        {"master certificate of another type",
         With([](SignedImageSpec& s) { s.masterCertType = 3; }), kNoChange, 0, -1, kSanity,
         "  Error: Master Cert Chain of Trust Failed"},
        {"vendor entry claims another type", plain,
         [](SignedImage& i, const SignedImageSpec& s) { ByteAt(i, s, i.layout.package + 16) = 7; },
         0, -1, kSanity, "  Error: Vendor Cert Chain of Trust Failed"},
        {"second vendor",
         With(
             [](SignedImageSpec& s)
             {
                 s.secondVendor = true;
                 s.vendorFirst = false;
             }),
         kNoChange, 8, -1, "", "Cert 2.0 Vendor Cert: Valid"},
        {"second vendor before the master", With([](SignedImageSpec& s) { s.secondVendor = true; }),
         kNoChange, 0, -1, kSanity, "  Error: Master Cert Chain of Trust Failed"},
        {"no last marker", With([](SignedImageSpec& s) { s.markLast = false; }), kNoChange, 8, -1,
         "", kNoLastEntry},
        {"more than 51 entries",
         With(
             [](SignedImageSpec& s)
             {
                 s.fillerEntries = 50;
                 s.vendorFirst = false;
             }),
         kNoChange, 8, -1, "", kNoLastEntry},
        {"X.509 package", With([](SignedImageSpec& s) { s.packageKind = 1; }), kNoChange, 8, -1, "",
         "BCRT Error: Certification package is not chained to the root of trust"},
        {"init-from-ROM range of 0x7FF",
         With(
             [](SignedImageSpec& s)
             {
                 s.initFromRom = 0x800;
                 s.ifrRangeSize = 0x7FF;
             }),
         kNoChange, 8, 55, "", " ERROR:  BCRT_ERROR_CODE_CERT20_HAT_IFR_ENTRY_INVALID"},
        {"range at -1",
         With(
             [](SignedImageSpec& s) {
                 s.extraRanges = {{0xFFFFFFFF, 16, 0x0800}};
             }),
         kNoChange, 8, 8, "", kRangeOutside},
        {"range outside the image",
         With(
             [](SignedImageSpec& s) {
                 s.extraRanges = {{0x100, 0x01000000, 0x0800}};
             }),
         kNoChange, 8, 8, "", kRangeOutside},
        // Image A ends where the certificate block begins.
        {"range running into the certificate block",
         With(
             [](SignedImageSpec& s) {
                 s.extraRanges = {{s.bodyLength - 0x10, 0x20, 0x0800}};
             }),
         kNoChange, 8, 8, "", kRangeOutside},
        {"non-zero base instance",
         With(
             [](SignedImageSpec& s) {
                 s.extraRanges = {{0x100, 16, 0x100800}};
             }),
         kNoChange, 0, -1,
         "Certification Package Parsing failed. Non-zero base instance not supported.",
         "Cert 2.0 Vendor Cert: Valid"},
    };
}

void ExpectTamperOutcome(const TamperCase& c)
{
    SignedImage signedImage = BuildSignedImage(c.spec);
    c.mutate(signedImage, c.spec);
    CRefPtr<IROMImage> image = signedImage.Image();
    CapturedLog captured;
    CBCRTChainOfTrust chain = TestChain();
    int32_t level = 0;
    const std::string error =
        ErrorOf([&] { level = chain.VerifyCertificateChain(image.get(), &captured.log); });
    EXPECT_EQ(level, c.level) << c.name;
    EXPECT_EQ(error, c.level == 0 ? std::string(c.error) : "(no error)") << c.name;
    if (c.code != -1)
    {
        EXPECT_EQ(chain.GetCode(), c.code) << c.name;
    }
    EXPECT_NE(captured.text.str().find(c.logLine), std::string::npos) << c.name << "\n"
                                                                      << captured.text.str();
}
} // namespace

TEST(ChainOfTrustTest, TamperingTable)
{
    for (const TamperCase& c : ImageTamperCases())
    {
        ExpectTamperOutcome(c);
    }
    for (const TamperCase& c : PackageTamperCases())
    {
        ExpectTamperOutcome(c);
    }
}

TEST(ChainOfTrustTest, TheBuiltInRootDoesNotTrustTheTestRoot)
{
    CRefPtr<IROMImage> image = BuildSignedImage().Image();
    CBCRTChainOfTrust chain;
    CapturedLog captured;
    EXPECT_EQ(ErrorOf([&] { chain.VerifyCertificateChain(image.get(), &captured.log); }), kSanity);
    EXPECT_EQ(captured.text.str(),
              "  Error: Master Cert Chain of Trust Failed\n\n"
              "BCRT Error: BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_VERIFICATION_FAILED\n\n");

    const std::vector<uint8_t> wrongPhrase(64, 'x');
    CBCRTChainOfTrust locked(TestRootContainer(), wrongPhrase);
    EXPECT_EQ(ErrorOf([&] { locked.VerifyCertificateChain(image.get(), nullptr); }), kSanity);
}
