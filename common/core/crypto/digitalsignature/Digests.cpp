// Digests and the RSA check on the crypto library's EVP and BN interfaces.

#include "common/core/crypto/digitalsignature/Digests.h"

#include "common/core/crypto/digitalsignature/OpenSslHandles.h"

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace crypto_handles;

void Sha256(const uint8_t* data, size_t length, uint8_t digest[kSha256Size])
{
    static const uint8_t kNothing = 0;
    unsigned int written = 0;
    if (EVP_Digest(length == 0 ? &kNothing : data, length, digest, &written, EVP_sha256(),
                   nullptr) != 1 ||
        written != kSha256Size)
    {
        throw std::runtime_error("SHA-256 digest failed");
    }
}

namespace
{
constexpr uint64_t kFnvPrime = 0x100000001B3ULL;

uint64_t LoadLane(const uint8_t* bytes)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
    {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void StoreLane(uint8_t* bytes, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
    {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}
} // namespace

void FnvDualHash64(const uint8_t* data, size_t length, uint8_t state[kImageHashStateSize])
{
    uint64_t lane0 = LoadLane(state);
    uint64_t lane1 = LoadLane(state + 8);
    size_t i = 0;
    for (; i + 1 < length; i += 2)
    {
        lane0 = (lane0 ^ data[i]) * kFnvPrime;
        lane1 = (lane1 ^ data[i + 1]) * kFnvPrime;
    }
    if (i < length)
    {
        lane0 = (lane0 ^ data[i]) * kFnvPrime;
        lane1 = (lane1 ^ 0xFF) * kFnvPrime;
    }
    StoreLane(state, lane0);
    StoreLane(state + 8, lane1);
}

namespace
{
constexpr size_t kChunkSize = 256;
constexpr size_t kBlockSize = 16;
constexpr uint8_t kChunkFill = 0xED;

// One Davies-Meyer step: the block is the AES key, the chaining value the
// cipher text. The cipher stays set up; only the key changes from step to step.
class CDaviesMeyer
{
public:
    explicit CDaviesMeyer(uint8_t* state) : m_state(state), m_context(EVP_CIPHER_CTX_new())
    {
        if (!m_context ||
            EVP_DecryptInit_ex(m_context.get(), EVP_aes_128_ecb(), nullptr, nullptr, nullptr) != 1)
        {
            throw std::runtime_error("AES-128 set-up failed");
        }
        EVP_CIPHER_CTX_set_padding(m_context.get(), 0);
    }

    void Step(const uint8_t* key)
    {
        uint8_t plain[kBlockSize];
        int written = 0;
        if (EVP_DecryptInit_ex(m_context.get(), nullptr, nullptr, key, nullptr) != 1 ||
            EVP_DecryptUpdate(m_context.get(), plain, &written, m_state, kBlockSize) != 1 ||
            written != static_cast<int>(kBlockSize))
        {
            throw std::runtime_error("AES-128 decryption failed");
        }
        for (size_t i = 0; i < kBlockSize; ++i)
        {
            m_state[i] ^= plain[i];
        }
    }

private:
    uint8_t* m_state;
    CipherContext m_context;
};

#if defined(__x86_64__)
// The same steps with the processor's AES instructions. Every step needs the
// key schedule of its own block, and setting a new key up through EVP costs
// far more than the decryption: here the schedules of a group of blocks are
// expanded together (they depend on the message only), and the chaining
// value then runs through the group's decryptions.
#define ROMVISE_AES_TARGET __attribute__((target("aes,ssse3")))

// One round of the key expansion. SubWord(RotWord(w3)) xor rcon comes from
// AESENCLAST of the rotated last word broadcast to every column (ShiftRows
// moves nothing when the columns are equal), which costs far less here than
// AESKEYGENASSIST.
ROMVISE_AES_TARGET inline __attribute__((always_inline)) __m128i NextRoundKey(__m128i key, int rcon)
{
    const __m128i rotated = _mm_shuffle_epi8(
        key, _mm_setr_epi8(13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12, 13, 14, 15, 12));
    const __m128i word = _mm_aesenclast_si128(rotated, _mm_set1_epi32(rcon));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 8));
    return _mm_xor_si128(key, word);
}

// The decryption schedule of one block: round key 10 first, the middle
// ones through the inverse mix columns, round key 0 last.
struct DecryptSchedule
{
    __m128i keys[11];
};

ROMVISE_AES_TARGET inline __attribute__((always_inline)) void ExpandForDecryption(const uint8_t* block, DecryptSchedule& out)
{
    __m128i k[11];
    k[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
    k[1] = NextRoundKey(k[0], 0x01);
    k[2] = NextRoundKey(k[1], 0x02);
    k[3] = NextRoundKey(k[2], 0x04);
    k[4] = NextRoundKey(k[3], 0x08);
    k[5] = NextRoundKey(k[4], 0x10);
    k[6] = NextRoundKey(k[5], 0x20);
    k[7] = NextRoundKey(k[6], 0x40);
    k[8] = NextRoundKey(k[7], 0x80);
    k[9] = NextRoundKey(k[8], 0x1B);
    k[10] = NextRoundKey(k[9], 0x36);
    out.keys[0] = k[10];
    for (int round = 1; round < 10; ++round)
    {
        out.keys[round] = _mm_aesimc_si128(k[10 - round]);
    }
    out.keys[10] = k[0];
}

ROMVISE_AES_TARGET inline __attribute__((always_inline)) __m128i DecryptStep(__m128i chaining, const DecryptSchedule& schedule)
{
    __m128i text = _mm_xor_si128(chaining, schedule.keys[0]);
    for (int round = 1; round < 10; ++round)
    {
        text = _mm_aesdec_si128(text, schedule.keys[round]);
    }
    text = _mm_aesdeclast_si128(text, schedule.keys[10]);
    return _mm_xor_si128(chaining, text);
}

// The dual FNV steps over a run of an even number of bytes.
inline __attribute__((always_inline)) void FnvPairs(const uint8_t* data, size_t length,
                                                    uint64_t& lane0, uint64_t& lane1)
{
    for (size_t i = 0; i < length; i += 2)
    {
        lane0 = (lane0 ^ data[i]) * kFnvPrime;
        lane1 = (lane1 ^ data[i + 1]) * kFnvPrime;
    }
}

// The steps over whole 16-byte blocks of `data`, on `state`; with `fnv`, the
// dual FNV steps over the same bytes too, in the same pass, so the
// multiplications run beside the decryptions instead of after them.
ROMVISE_AES_TARGET void DaviesMeyerBlocksAesNi(const uint8_t* data, size_t length, uint8_t* state,
                                               uint8_t* fnv)
{
    constexpr size_t kGroup = 2;
    constexpr size_t kGroupBytes = kGroup * kBlockSize;
    __m128i chaining = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    uint64_t lane0 = fnv != nullptr ? LoadLane(fnv) : 0;
    uint64_t lane1 = fnv != nullptr ? LoadLane(fnv + 8) : 0;
    DecryptSchedule schedules[kGroup];
    size_t at = 0;
    for (; at + kGroupBytes <= length; at += kGroupBytes)
    {
        for (size_t i = 0; i < kGroup; ++i)
        {
            ExpandForDecryption(data + at + i * kBlockSize, schedules[i]);
        }
        for (size_t i = 0; i < kGroup; ++i)
        {
            chaining = DecryptStep(chaining, schedules[i]);
        }
        if (fnv != nullptr)
        {
            FnvPairs(data + at, kGroupBytes, lane0, lane1);
        }
    }
    for (; at + kBlockSize <= length; at += kBlockSize)
    {
        ExpandForDecryption(data + at, schedules[0]);
        chaining = DecryptStep(chaining, schedules[0]);
        if (fnv != nullptr)
        {
            FnvPairs(data + at, kBlockSize, lane0, lane1);
        }
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), chaining);
    if (fnv != nullptr)
    {
        StoreLane(fnv, lane0);
        StoreLane(fnv + 8, lane1);
    }
}

bool HasAesInstructions()
{
    static const bool has =
        __builtin_cpu_supports("aes") != 0 && __builtin_cpu_supports("ssse3") != 0;
    return has;
}
#endif
} // namespace

namespace
{
// The steps over whole 16-byte blocks, with the processor's instructions
// when it has them; with `fnv`, the dual FNV hash of the same bytes too.
void DaviesMeyerBlocks(const uint8_t* data, size_t length, uint8_t* state, uint8_t* fnv)
{
#if defined(__x86_64__)
    if (HasAesInstructions())
    {
        DaviesMeyerBlocksAesNi(data, length, state, fnv);
        return;
    }
#endif
    CDaviesMeyer hash(state);
    for (size_t at = 0; at + kBlockSize <= length; at += kBlockSize)
    {
        hash.Step(data + at);
    }
    if (fnv != nullptr)
    {
        FnvDualHash64(data, length, fnv);
    }
}

// The end of a message of `length` bytes whose whole chunks went through
// already: the rest in a filled chunk (a whole one for an empty message),
// then the length block.
void FinishDaviesMeyer(const uint8_t* rest, size_t restLength, size_t length, uint8_t* state)
{
    uint8_t tail[kChunkSize + kBlockSize];
    size_t tailLength = 0;
    if (length == 0 || restLength != 0)
    {
        std::fill(tail, tail + kChunkSize, kChunkFill);
        std::copy_n(rest, restLength, tail);
        tailLength = kChunkSize;
    }
    uint8_t* final = tail + tailLength;
    std::fill(final, final + kBlockSize, 0);
    final[0] = 0x80;
    const auto bits = static_cast<uint32_t>(length * 8);
    final[12] = static_cast<uint8_t>(bits >> 24);
    final[13] = static_cast<uint8_t>(bits >> 16);
    final[14] = static_cast<uint8_t>(bits >> 8);
    final[15] = static_cast<uint8_t>(bits);
    DaviesMeyerBlocks(tail, tailLength + kBlockSize, state, nullptr);
}
} // namespace

void AesDaviesMeyerHash(const uint8_t* data, size_t length, uint8_t state[kImageHashStateSize])
{
    const size_t whole = length / kChunkSize * kChunkSize;
    DaviesMeyerBlocks(data, whole, state, nullptr);
    FinishDaviesMeyer(data + whole, length - whole, length, state);
}

void ImageStageHashes::Add(const uint8_t* bytes, size_t size)
{
    // The whole chunks are an even number of bytes: the FNV lanes go on
    // from them to the rest as one pass over all would take them.
    const size_t whole = size / kChunkSize * kChunkSize;
    DaviesMeyerBlocks(bytes, whole, dm.data(), fnv.data());
    FinishDaviesMeyer(bytes + whole, size - whole, size, dm.data());
    FnvDualHash64(bytes + whole, size - whole, fnv.data());
}

bool VerifyPkcs1Signature(std::span<const uint8_t, kRsa1024Size> modulus, uint32_t exponent,
                          std::span<const uint8_t, kRsa1024Size> signature,
                          std::span<const uint8_t> digest)
{
    const size_t d = digest.size();
    if (d != 16 && d != kSha256Size)
    {
        return false;
    }
    std::array<uint8_t, kRsa1024Size> expected{};
    expected[1] = 0x01;
    std::fill(expected.begin() + 2, expected.end() - static_cast<ptrdiff_t>(d) - 1, 0xFF);
    std::copy(digest.begin(), digest.end(), expected.end() - static_cast<ptrdiff_t>(d));

    BigNumber n(BN_bin2bn(modulus.data(), kRsa1024Size, nullptr));
    BigNumber s(BN_bin2bn(signature.data(), kRsa1024Size, nullptr));
    BigNumber e(BN_new());
    BigNumber m(BN_new());
    BigNumberContext context(BN_CTX_new());
    if (!n || !s || !e || !m || !context || BN_set_word(e.get(), exponent) != 1)
    {
        throw std::bad_alloc();
    }
    if (BN_is_zero(n.get()) || BN_mod_exp(m.get(), s.get(), e.get(), n.get(), context.get()) != 1)
    {
        return false;
    }
    std::array<uint8_t, kRsa1024Size> recovered{};
    if (BN_bn2binpad(m.get(), recovered.data(), kRsa1024Size) != static_cast<int>(kRsa1024Size))
    {
        return false;
    }
    return recovered == expected;
}

void ReverseBytes(uint8_t* destination, const uint8_t* source, size_t length)
{
    if (destination == source)
    {
        std::reverse(destination, destination + length);
        return;
    }
    std::reverse_copy(source, source + length, destination);
}
