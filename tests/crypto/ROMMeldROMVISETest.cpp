// The certifying meld: the level of each check kept as the meld's
// certification result, a failed image refused, and every image of the meld
// checked even after one has failed.

#include "common/core/crypto/ROMMeldROMVISEImpl.h"
#include "core/Exceptions.h"
#include "testkit/ErrorOf.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/varnex/CapturedLog.h"

#include <gtest/gtest.h>

using namespace testkit;

namespace
{
CRefPtr<CROMMeldROMVISEImpl> TestMeld()
{
    return CROMMeldROMVISEImpl::Create(TestRootContainer(), TestRootPassPhrase());
}

CRefPtr<IROMImage> Signed(uint32_t vendorType = 6)
{
    SignedImageSpec spec;
    spec.vendorType = vendorType;
    return BuildSignedImage(spec).Image();
}

CRefPtr<IROMImage> Tampered()
{
    SignedImage image = BuildSignedImage();
    image.bytes.at(image.layout.bodyByte) ^= 1;
    return image.Image();
}

CRefPtr<IROMImage> Unsigned()
{
    return CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x1000).BuildImage();
}

size_t Count(const std::string& text, const std::string& line)
{
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
    {
        ++count;
    }
    return count;
}

const char* const kRefused = "\nBCRT Error: Certificate verification failed\n";
const char* const kPackRefused = "\nBCRT Error: KRR Certificate verification failed\n";
} // namespace

TEST(ROMMeldROMVISE, OneImageKeepsItsLevelAndOnlyAFailureIsRefused)
{
    struct Case
    {
        const char* name;
        CRefPtr<IROMImage> image;
        bool accepted;
        uint32_t result;
    };
    const Case cases[] = {
        {"signed", Signed(), true, 5},
        {"KRD vendor", Signed(3), true, 2},
        {"no package", Unsigned(), true, 1},
        {"tampered body", Tampered(), false, 8},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<CROMMeldROMVISEImpl> meld = TestMeld();
        CapturedLog captured;
        EXPECT_EQ(meld->VerifyImageCertificate(c.image.get(), &captured.log), c.accepted);
        EXPECT_EQ(meld->GetCertificationResult(), c.result);
        const std::string text = captured.text.str();
        EXPECT_EQ(text.ends_with(kRefused), !c.accepted) << text;
    }
}

TEST(ROMMeldROMVISE, AllImagesAreCheckedAndOneFailureFailsThePack)
{
    CRefPtr<CROMMeldROMVISEImpl> good = TestMeld();
    good->AddImage(Signed());
    good->AddImage(Signed(3));
    CapturedLog goodLog;
    EXPECT_TRUE(good->VerifyAllCertificates(&goodLog.log));
    EXPECT_EQ(good->GetCertificationResult(), 2u);

    CRefPtr<CROMMeldROMVISEImpl> meld = TestMeld();
    meld->AddImage(Signed());
    meld->AddImage(Tampered());
    meld->AddImage(Signed(3));
    CapturedLog captured;
    EXPECT_FALSE(meld->VerifyAllCertificates(&captured.log));
    EXPECT_EQ(meld->GetCertificationResult(), 8u);
    const std::string text = captured.text.str();
    EXPECT_EQ(Count(text, "Cert 2.0 Vendor Cert: Valid\n"), 3u) << text;
    EXPECT_TRUE(text.ends_with(kPackRefused)) << text;
    EXPECT_EQ(Count(text, kRefused), 0u);
}

TEST(ROMMeldROMVISE, TheBuiltInRootDoesNotTrustTheTestChain)
{
    CRefPtr<CROMMeldROMVISEImpl> meld = CROMMeldROMVISEImpl::Create();
    EXPECT_EQ(ErrorOf([&] { meld->VerifyImageCertificate(Signed().get(), nullptr); }),
              " Error: Failed certification sanity check.");
    EXPECT_TRUE(meld->VerifyImageCertificate(Unsigned().get(), nullptr));
    EXPECT_EQ(meld->GetCertificationResult(), 1u);
}
