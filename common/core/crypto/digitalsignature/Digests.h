#pragma once
// The digests and the RSA check of certificates 2.0 and image signatures:
// SHA-256, the dual FNV-1a-64 hash and the AES-128 Davies-Meyer hash
// (DMOVERAES128) of image ranges, and the PKCS#1 v1.5 signature check that
// compares the whole encoded block (there is no DigestInfo in it).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr size_t kSha256Size = 32;
inline constexpr size_t kImageHashStateSize = 16;
inline constexpr size_t kRsa1024Size = 128;

using ImageHashState = std::array<uint8_t, kImageHashStateSize>;

// One-shot SHA-256 (FIPS 180-4).
void Sha256(const uint8_t* data, size_t length, uint8_t digest[kSha256Size]);

// Continues the dual FNV-1a-64 hash: two 64-bit lanes, little-endian in the
// state, fed two bytes a step; an odd end feeds 0xFF to lane 1.
void FnvDualHash64(const uint8_t* data, size_t length, uint8_t state[kImageHashStateSize]);

// The starting states the image check uses.
inline constexpr ImageHashState kFnvStart{};
inline constexpr ImageHashState kDaviesMeyerStart{0xBE, 0xBE, 0xBE, 0xBE, 0xBE, 0xBE, 0xBE, 0xBE,
                                                  0xBE, 0xBE, 0xBE, 0xBE, 0xBE, 0xBE, 0xBE, 0xBE};

// Continues the DMOVERAES128 hash: 256-byte chunks (the last one filled with
// 0xED), H = AES-128-Decrypt(key block, H) XOR H for each 16-byte block, and a
// final length block. Every call ends with its own final block.
void AesDaviesMeyerHash(const uint8_t* data, size_t length, uint8_t state[kImageHashStateSize]);

// The two hashes of one stage of the image check, carried from range to
// range: each range goes through DMOVERAES128 and dual FNV, the states as
// AesDaviesMeyerHash and FnvDualHash64 would leave them, in one pass.
struct ImageStageHashes
{
    ImageHashState fnv = kFnvStart;
    ImageHashState dm = kDaviesMeyerStart;

    void Add(const uint8_t* bytes, size_t size);
};

// True when signature^exponent mod modulus equals 0x00 0x01 0xFF.. 0x00
// digest exactly (128 bytes, digest of 16 or 32 bytes). An exponent of 0,
// a zero modulus or any other digest length fails.
bool VerifyPkcs1Signature(std::span<const uint8_t, kRsa1024Size> modulus, uint32_t exponent,
                          std::span<const uint8_t, kRsa1024Size> signature,
                          std::span<const uint8_t> digest);

// The bytes in reverse order; destination and source may be the same buffer.
void ReverseBytes(uint8_t* destination, const uint8_t* source, size_t length);
