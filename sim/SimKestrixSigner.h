#pragma once
// The signer check of the simulated microcode's image verification (VV): the
// image's certification package must hold a master certificate 2.0 signed by
// the machine's root and a vendor certificate (the image's signing
// certificate) signed by that master. The microcode sees the image only
// through push requests, so the check reads it through a window of the bytes
// pulled so far: when it needs bytes the window does not hold it says which,
// the model raises a push request for them and runs the check again from the
// start once they arrived. The certificates are checked with OpenSSL here,
// independently of the program's own certificate code.

#include "core/platform/ITrustedRootSource.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

// What one push request may ask for: a byte count and an offset of the
// request word's fields.
constexpr uint32_t kSimPushMostBytes = 40;
constexpr uint32_t kSimPushOffsetLimit = 1u << 20;

// The image bytes the microcode has pulled so far.
class CSimImageWindow
{
public:
    void Clear() { m_bytes.clear(); }
    void Keep(uint32_t offset, std::span<const uint8_t> bytes);
    // The bytes at [offset, offset + count), or nothing when some were not
    // pulled yet (`missing` then holds the first of them).
    std::optional<std::vector<uint8_t>> Bytes(uint64_t offset, uint32_t count,
                                              uint64_t& missing) const;

private:
    std::map<uint64_t, uint8_t> m_bytes;
};

// Microcode error codes of the verification.
enum : uint32_t
{
    kSimVVCertificateNotFound = 13,
    kSimVVCertificateParseFailed = 14,
    kSimVVCertificateVerifyFailed = 15,
};

struct SimSignerCheck
{
    // Bytes to pull before the check can go on: offset and count (at most
    // kSimPushMostBytes, the offset below kSimPushOffsetLimit).
    std::optional<std::pair<uint32_t, uint32_t>> pull;
    // Once nothing is to be pulled: 0 accepted, else the error code.
    uint32_t error = 0;
};

// The check over the image as the window holds it, against the root.
SimSignerCheck CheckSimImageSigner(const CSimImageWindow& image, const TrustedRoot& root);
