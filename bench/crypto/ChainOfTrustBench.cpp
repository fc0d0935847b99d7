// The whole chain-of-trust check of a signed 1 MiB image beside the floor of
// its own work, in the same run: the image hashes over the ranges the check
// hashes (the preserve stage's data ranges, then the body stage's body and
// package ranges), DMOVERAES128 and the dual FNV-1a-64 fused in one pass with
// the processor's AES instructions (each block's key schedule expanded
// through AESENCLAST on the rotated word, which is cheaper here than
// AESKEYGENASSIST), plus the four RSA-1024 verifications the check makes
// (master and vendor certificates, preserve and body signatures). Prints
// both (the best of several runs) and their ratio; and, for reference, the
// openssl command line doing one SHA-256 digest and one verification, whose
// time is mostly process start-up.

#include "common/core/crypto/BIOSSignature.h"
#include "common/core/crypto/ChainOfTrust.h"
#include "common/core/crypto/digitalsignature/Digests.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/crypto/OpenSslCommand.h"
#include "testkit/crypto/SignedImageBuilder.h"

#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

namespace
{
// The check takes about a millisecond: the best of many runs is the one
// other processes on the machine did not slow down.
constexpr int kRuns = 200;
constexpr int kCommandRuns = 5;
constexpr int kChainVerifications = 4;
constexpr size_t kChunk = 256;
constexpr uint64_t kFnvPrime = 0x100000001B3ULL;

double BestSeconds(const std::function<void()>& action, int runs = kRuns)
{
    double best = 1e9;
    for (int run = 0; run < runs; ++run)
    {
        const auto start = std::chrono::steady_clock::now();
        action();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

#define FLOOR_TARGET __attribute__((target("aes,ssse3")))

// One round of the AES-128 key expansion: SubWord(RotWord(w3)) xor rcon in
// every column through AESENCLAST of the rotated word broadcast (ShiftRows
// moves nothing when the columns are equal).
FLOOR_TARGET inline __attribute__((always_inline)) __m128i ExpandRound(__m128i key, int rcon)
{
    const __m128i rotated =
        _mm_shuffle_epi8(key, _mm_setr_epi8(13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13,
                                            14, 15, 12));
    const __m128i word = _mm_aesenclast_si128(rotated, _mm_set1_epi32(rcon));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 8));
    return _mm_xor_si128(key, word);
}

// H := AES-128-Decrypt(key block, H) xor H.
FLOOR_TARGET inline __attribute__((always_inline)) __m128i DaviesMeyerStep(__m128i chaining,
                                                                           const uint8_t* block)
{
    static const int kRcon[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36};
    __m128i k[11];
    k[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
    for (int round = 0; round < 10; ++round)
    {
        k[round + 1] = ExpandRound(k[round], kRcon[round]);
    }
    __m128i text = _mm_xor_si128(chaining, k[10]);
    for (int round = 9; round >= 1; --round)
    {
        text = _mm_aesdec_si128(text, _mm_aesimc_si128(k[round]));
    }
    return _mm_xor_si128(chaining, _mm_aesdeclast_si128(text, k[0]));
}

struct FloorState
{
    __m128i dm;
    uint64_t lane0 = 0;
    uint64_t lane1 = 0;
};

// One range into both hashes: whole chunks fused, then the filled last chunk
// and the length block for DMOVERAES128 and the odd end for FNV.
FLOOR_TARGET void FloorRange(FloorState& state, const uint8_t* bytes, size_t size)
{
    const size_t whole = size / kChunk * kChunk;
    __m128i h = state.dm;
    uint64_t lane0 = state.lane0;
    uint64_t lane1 = state.lane1;
    for (size_t at = 0; at < whole; at += 16)
    {
        h = DaviesMeyerStep(h, bytes + at);
        for (size_t i = at; i < at + 16; i += 2)
        {
            lane0 = (lane0 ^ bytes[i]) * kFnvPrime;
            lane1 = (lane1 ^ bytes[i + 1]) * kFnvPrime;
        }
    }
    uint8_t tail[kChunk + 16];
    size_t tailLength = 0;
    if (size == 0 || size != whole)
    {
        std::memset(tail, 0xED, kChunk);
        std::memcpy(tail, bytes + whole, size - whole);
        tailLength = kChunk;
    }
    std::memset(tail + tailLength, 0, 16);
    tail[tailLength] = 0x80;
    const auto bits = static_cast<uint32_t>(size * 8);
    for (int i = 0; i < 4; ++i)
    {
        tail[tailLength + 12 + i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
    }
    for (size_t at = 0; at < tailLength + 16; at += 16)
    {
        h = DaviesMeyerStep(h, tail + at);
    }
    size_t i = whole;
    for (; i + 1 < size; i += 2)
    {
        lane0 = (lane0 ^ bytes[i]) * kFnvPrime;
        lane1 = (lane1 ^ bytes[i + 1]) * kFnvPrime;
    }
    if (i < size)
    {
        lane0 = (lane0 ^ bytes[i]) * kFnvPrime;
        lane1 = (lane1 ^ 0xFF) * kFnvPrime;
    }
    state = {h, lane0, lane1};
}

uint32_t Dword(const std::vector<uint8_t>& bytes, size_t at)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

// The ranges each stage of the check hashes, as spans of the image: the
// preserved data; then the init-from-ROM, body and package ranges.
struct StageRanges
{
    std::vector<std::span<const uint8_t>> preserve;
    std::vector<std::span<const uint8_t>> body;
};

StageRanges RangesOf(const testkit::SignedImage& signedImage)
{
    const std::vector<uint8_t>& bytes = signedImage.bytes;
    CRefPtr<IROMImage> image = signedImage.Image();
    const uint32_t hat = signedImage.layout.hat;
    const uint32_t first = hat + Dword(bytes, hat + 4);
    const uint32_t count = Dword(bytes, hat + 8);
    StageRanges ranges;
    for (uint32_t k = 0; k < count; ++k)
    {
        const BCRTSignedRange range{Dword(bytes, first + 12 * k), Dword(bytes, first + 12 * k + 4),
                                    Dword(bytes, first + 12 * k + 8)};
        const bool package = range.Kind() == BCRT_RANGE_PACKAGE;
        const int64_t base = package ? image->FindBCRTBlock()
                                     : image->FindNthPCIBlock(range.CodeType(), 0);
        const std::span<const uint8_t> span(bytes.data() + base + range.offset, range.size);
        if (range.Kind() == BCRT_RANGE_PRESERVE_DATA)
        {
            ranges.preserve.push_back(span);
        }
        else if (range.Kind() == BCRT_RANGE_BODY || package)
        {
            ranges.body.push_back(span);
        }
    }
    return ranges;
}

// The stage's two hashes, in the state layout of the check's.
FLOOR_TARGET ImageStageHashes HashStage(const std::vector<std::span<const uint8_t>>& ranges)
{
    FloorState state{_mm_set1_epi8(static_cast<char>(0xBE))};
    for (const std::span<const uint8_t> range : ranges)
    {
        FloorRange(state, range.data(), range.size());
    }
    ImageStageHashes hashes;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hashes.dm.data()), state.dm);
    std::memcpy(hashes.fnv.data(), &state.lane0, 8);
    std::memcpy(hashes.fnv.data() + 8, &state.lane1, 8);
    return hashes;
}

// The floor computes what the check computes.
bool SameAsTheCheck(const std::vector<std::span<const uint8_t>>& ranges)
{
    ImageStageHashes check;
    for (const std::span<const uint8_t> range : ranges)
    {
        check.Add(range.data(), range.size());
    }
    const ImageStageHashes floor = HashStage(ranges);
    return check.dm == floor.dm && check.fnv == floor.fnv;
}

volatile uint8_t g_sink = 0;

size_t TotalSize(const std::vector<std::span<const uint8_t>>& ranges)
{
    size_t total = 0;
    for (const std::span<const uint8_t> range : ranges)
    {
        total += range.size();
    }
    return total;
}
// The same image's SHA-256 digest and one RSA verification by the openssl
// command line, process start-up included.
double OpensslSeconds(const std::vector<uint8_t>& bytes, const testkit::CTestKey& vendor)
{
    testkit::CScratchDirectory scratch("chainbench");
    uint8_t sha[kSha256Size];
    Sha256(bytes.data(), bytes.size(), sha);
    const std::string imageFile = scratch.WriteBytes("image.rom", bytes);
    const std::string keyFile = scratch.WriteText("vendor.pub", vendor.PublicPem());
    const std::string signatureFile = scratch.WriteBytes("image.sig", vendor.SignDigest(sha));
    const std::string digestFile = (scratch / "image.sha256").string();
    const std::string command = "openssl dgst -sha256 -binary -out " + digestFile + " " +
                                imageFile + " && openssl pkeyutl -verify -pubin -inkey " + keyFile +
                                " -in " + digestFile + " -sigfile " + signatureFile;
    return BestSeconds([&] { testkit::RunCommand(command + " >/dev/null"); }, kCommandRuns);
}
} // namespace

int main()
{
    if (!__builtin_cpu_supports("aes") || !__builtin_cpu_supports("ssse3"))
    {
        std::fprintf(stderr, "the floor needs the processor's AES instructions\n");
        return 1;
    }
    testkit::SignedImageSpec spec;
    spec.bodyLength = 0x100000 - 0x600; // with its 0x600-byte certificate block: 1 MiB
    spec.preserveSignature = true;
    const testkit::SignedImage signedImage = testkit::BuildSignedImage(spec);
    CRefPtr<IROMImage> image = signedImage.Image();
    const std::vector<uint8_t> root = testkit::TestRootContainer();
    const std::vector<uint8_t> phrase = testkit::TestRootPassPhrase();

    int32_t level = 0;
    const double check = BestSeconds(
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

    const StageRanges ranges = RangesOf(signedImage);
    const testkit::CTestKey& vendor = testkit::CTestKey::Get(testkit::kVendorKey);
    const std::array<uint8_t, 16> digest{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::vector<uint8_t> signature = vendor.SignDigest(digest);
    const std::array<uint8_t, kRsa1024Size> modulus = vendor.Modulus();
    if (!SameAsTheCheck(ranges.preserve) || !SameAsTheCheck(ranges.body))
    {
        std::fprintf(stderr, "the floor's hashes differ from the check's\n");
        return 1;
    }
    bool verified = true;
    const double floor = BestSeconds(
        [&]
        {
            g_sink = HashStage(ranges.preserve).dm[0] ^ HashStage(ranges.body).fnv[0];
            for (int i = 0; i < kChainVerifications; ++i)
            {
                verified = VerifyPkcs1Signature(modulus, vendor.Exponent(),
                                                std::span<const uint8_t, kRsa1024Size>(
                                                    signature.data(), kRsa1024Size),
                                                digest) &&
                           verified;
            }
        });
    if (!verified)
    {
        std::fprintf(stderr, "the floor's signature did not verify\n");
        return 1;
    }

    const double openssl = OpensslSeconds(signedImage.bytes, vendor);

    std::printf("image                          : %zu bytes, level %d\n", signedImage.bytes.size(),
                level);
    std::printf("chain of trust check           : %8.3f ms\n", check * 1e3);
    std::printf("the Part's hash floor          : %8.3f ms (DMOVERAES128 + dual FNV fused, AES-NI, "
                "over the preserve stage's %zu and the body stage's %zu bytes; %d RSA-1024 "
                "verifications)\n",
                floor * 1e3, TotalSize(ranges.preserve), TotalSize(ranges.body),
                kChainVerifications);
    std::printf("ratio to the Part's hash floor : %8.3f (goal at most 1.3)\n", check / floor);
    std::printf("openssl dgst + pkeyutl         : %8.3f ms (process start-up included)\n",
                openssl * 1e3);
    return 0;
}
