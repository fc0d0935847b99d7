// Fuzzes the certificate block of a signed image: the input is a list of
// byte patches (16-bit offset into the certificate block, value) applied to a
// complete signed image from the test kit, after which every certificate
// block operation and the whole chain-of-trust check run. Any input must end
// in a value or in one of the checks' exceptions, never in a read outside the
// image or an endless walk. The seeds patch the package, the signature block
// and the certificate-information block of the builder's image.

#include "common/core/crypto/ChainOfTrust.h"
#include "fuzz/FuzzSeeds.h"
#include "testkit/crypto/SignedImageBuilder.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

namespace
{
template <class F> void Try(F&& action)
{
    try
    {
        action();
    }
    catch (const std::exception&)
    {
    }
}

const testkit::SignedImage& Template()
{
    static const testkit::SignedImage image = []
    {
        testkit::SignedImageSpec spec;
        spec.bodyLength = 0x1000;
        spec.preserveSignature = true;
        return testkit::BuildSignedImage(spec);
    }();
    return image;
}

// One patch: the offset from the certificate block, then the value.
std::vector<uint8_t> PatchAt(uint32_t windowOffset, uint8_t value)
{
    const uint32_t at = windowOffset - Template().layout.certificateBlock;
    return {static_cast<uint8_t>(at), static_cast<uint8_t>(at >> 8), value};
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    const testkit::SignedImageLayout& layout = Template().layout;
    return {
        {"unchanged", {}},
        {"block-header", PatchAt(layout.certificateBlock + 4, 0x7F)},
        {"package", PatchAt(layout.package + 8, 0x01)},
        {"signature-block", PatchAt(layout.signatureBlock + 2, 0x00)},
        {"cert-info", PatchAt(layout.certInfo + 1, 0xFF)},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const testkit::SignedImage& signedImage = Template();
    std::vector<uint8_t> bytes = signedImage.bytes;
    const size_t block = signedImage.layout.certificateBlock;
    for (size_t i = 0; i + 3 <= size; i += 3)
    {
        const size_t at = block + (size_t{data[i]} | size_t{data[i + 1]} << 8);
        if (at < bytes.size())
        {
            bytes[at] = data[i + 2];
        }
    }
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    Try([&] { image->HasBCRT(); });
    Try([&] { image->GetX509CertificateList(2); });
    Try([&] { image->FindNextX509Certificate(image->FindBCRTBlock(), 6); });
    Try([&] { image->GetCertInfoBlockEnd(); });
    Try([&] { image->GetImageHashText(false); });
    Try(
        [&]
        {
            static const std::vector<uint8_t> root = testkit::TestRootContainer();
            static const std::vector<uint8_t> phrase = testkit::TestRootPassPhrase();
            CBCRTChainOfTrust chain(root, phrase);
            chain.VerifyCertificateChain(image.get(), nullptr);
        });
    return 0;
}
