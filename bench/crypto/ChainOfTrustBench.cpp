// The whole chain-of-trust check of a signed 1 MiB image beside the least
// that checks the same bytes in this process: OpenSSL's EVP SHA-256 of the
// signed bytes (everything before the certificate block) and the four RSA
// verifications the chain needs (master and vendor certificates, preserve
// and body signatures). Prints both (the best of several runs) and their
// ratio, and, for reference, the openssl command line doing one digest and
// one verification, whose time is mostly process start-up.

#include "common/core/crypto/ChainOfTrust.h"
#include "common/core/crypto/digitalsignature/Digests.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/crypto/OpenSslCommand.h"
#include "testkit/crypto/SignedImageBuilder.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>

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
// SHA-256 of the bytes through EVP, as a library user would take it.
void EvpSha256(const uint8_t* bytes, size_t length, uint8_t* digest)
{
    unsigned int size = 0;
    if (EVP_Digest(bytes, length, digest, &size, EVP_sha256(), nullptr) != 1)
    {
        throw std::runtime_error("EVP SHA-256 failed");
    }
}

constexpr int kChainVerifications = 4;
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

    const std::vector<uint8_t> signature = vendor.SignDigest(digest);
    const std::array<uint8_t, kRsa1024Size> modulus = vendor.Modulus();
    const size_t signedLength = signedImage.layout.certificateBlock;
    bool boundVerified = true;
    const double bound = BestSeconds(
        [&]
        {
            uint8_t signedDigest[kSha256Size];
            EvpSha256(signedImage.bytes.data(), signedLength, signedDigest);
            for (int i = 0; i < kChainVerifications; ++i)
            {
                boundVerified = VerifyPkcs1Signature(
                                    modulus, vendor.Exponent(),
                                    std::span<const uint8_t, kRsa1024Size>(signature.data(),
                                                                           kRsa1024Size),
                                    digest) &&
                                boundVerified;
            }
        });
    if (!boundVerified)
    {
        std::fprintf(stderr, "the bound's signature did not verify\n");
        return 1;
    }
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
    std::printf("in-process bound           : %8.3f ms (EVP SHA-256 of %zu bytes + %d RSA-1024 "
                "verifications)\n",
                bound * 1e3, signedLength, kChainVerifications);
    std::printf("ratio (ours / bound)       : %8.3f (target at most 2)\n", ours / bound);
    std::printf("openssl dgst + pkeyutl     : %8.3f ms (process start-up included)\n",
                openssl * 1e3);
    return 0;
}
