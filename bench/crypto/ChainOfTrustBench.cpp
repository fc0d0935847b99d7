// The whole chain-of-trust check of a signed 1 MiB image beside the openssl
// command line doing the least that checks the same bytes: a SHA-256 digest
// of the image (openssl dgst -sha256) and one RSA verification of a
// signature over it with the same vendor key (openssl pkeyutl -verify).
// Prints both wall times (the best of several runs) and their ratio.

#include "common/core/crypto/ChainOfTrust.h"
#include "common/core/crypto/digitalsignature/Digests.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/crypto/OpenSslCommand.h"
#include "testkit/crypto/SignedImageBuilder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

namespace
{
constexpr int kRuns = 15;

double BestSeconds(const std::function<void()>& action)
{
    double best = 1e9;
    for (int run = 0; run < kRuns; ++run)
    {
        const auto start = std::chrono::steady_clock::now();
        action();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}
} // namespace

int main()
{
    testkit::SignedImageSpec spec;
    spec.bodyLength = 0x100000 - 0x600; // with its 0x600-byte certificate block: 1 MiB
    spec.preserveSignature = true;
    const testkit::SignedImage signedImage = testkit::BuildSignedImage(spec);
    CRefPtr<IROMImage> image = signedImage.Image();
    const std::vector<uint8_t> root = testkit::TestRootContainer();
    const std::vector<uint8_t> phrase = testkit::TestRootPassPhrase();

    int32_t level = 0;
    const double ours = BestSeconds(
        [&]
        {
            CBCRTChainOfTrust chain(root, phrase);
            level = chain.VerifyCertificateChain(image.get(), nullptr);
        });
    if (level != 5)
    {
        std::fprintf(stderr, "the signed image did not certify (level %d)\n", level);
        return 1;
    }

    testkit::CScratchDirectory scratch("chainbench");
    const testkit::CTestKey& vendor = testkit::CTestKey::Get(testkit::kVendorKey);
    uint8_t digest[kSha256Size];
    Sha256(signedImage.bytes.data(), signedImage.bytes.size(), digest);
    const std::string imageFile = scratch.WriteBytes("image.rom", signedImage.bytes);
    const std::string keyFile = scratch.WriteText("vendor.pub", vendor.PublicPem());
    const std::string signatureFile = scratch.WriteBytes("image.sig", vendor.SignDigest(digest));
    const std::string digestFile = (scratch / "image.sha256").string();
    const std::string command = "openssl dgst -sha256 -binary -out " + digestFile + " " +
                                imageFile + " && openssl pkeyutl -verify -pubin -inkey " + keyFile +
                                " -in " + digestFile + " -sigfile " + signatureFile;
    const double openssl = BestSeconds([&] { testkit::RunCommand(command + " >/dev/null"); });

    std::printf("image                      : %zu bytes, level %d\n", signedImage.bytes.size(),
                level);
    std::printf("chain of trust check       : %8.3f ms\n", ours * 1e3);
    std::printf("openssl dgst + pkeyutl     : %8.3f ms\n", openssl * 1e3);
    std::printf("ratio (ours / openssl)     : %8.3f (target at most 1.2)\n", ours / openssl);
    return 0;
}
