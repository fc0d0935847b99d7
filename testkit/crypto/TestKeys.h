#pragma once
// RSA-1024 keys made in memory for the tests (no key is stored anywhere unless
// a tool adopts its own), and
// the signatures the certificate and image checks expect: PKCS#1 v1.5 type 1
// padding around the bare digest, without DigestInfo.

#include "common/core/crypto/digitalsignature/OpenSslHandles.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace testkit
{
class CTestKey
{
public:
    // The key of that index, made on first use and kept for the process, so
    // every test of a run signs with the same few keys.
    static const CTestKey& Get(size_t index);
    // Makes the key of that index the one whose private key the PEM text
    // holds, for tools that sign with the same keys from run to run; it must
    // come before the index's first use. Throws when the text holds no RSA
    // key of 1024 bits or the index is in use.
    static void Adopt(size_t index, const std::string& privatePem);

    std::array<uint8_t, 128> Modulus() const;
    uint32_t Exponent() const { return 65537; }
    // 128 bytes: digest^d mod n of 0x00 0x01 0xFF.. 0x00 digest.
    std::vector<uint8_t> SignDigest(std::span<const uint8_t> digest) const;
    EVP_PKEY* Key() const { return m_key.get(); }
    // The private key as PEM text, for the openssl command line.
    std::string PrivatePem() const;
    std::string PublicPem() const;

private:
    CTestKey();
    explicit CTestKey(crypto_handles::PublicKey key);
    crypto_handles::PublicKey m_key;
};

// Named indexes of the keys the test kit uses.
inline constexpr size_t kRootKey = 0;
inline constexpr size_t kMasterKey = 1;
inline constexpr size_t kVendorKey = 2;
inline constexpr size_t kStrangerKey = 3;
} // namespace testkit
