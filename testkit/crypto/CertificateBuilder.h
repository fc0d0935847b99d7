#pragma once
// Certificates made for the tests: certificates 2.0 signed with a test key
// (every field settable, so each malformation is one field away), X.509
// certificates in PEM text, and OpenSSL "Salted__" containers.

#include "common/core/crypto/digitalsignature/DigitalSignature.h"
#include "testkit/crypto/TestKeys.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testkit
{
struct Cert20Spec
{
    uint32_t version = 0x20;
    uint32_t serial = 1;
    uint32_t type = 6;  // PP, a vendor type
    uint8_t hash = 2;   // SHA-256
    uint8_t crypto = 1; // RSA-1024
    uint8_t altHash = 0;
    uint8_t altCrypto = 0;
    uint32_t flags = 2; // PUBKEY_PRESENT; EXTENSION_PRESENT is added with extensions
    uint32_t issuerId = 1;
    uint32_t ownerId = 7;
    uint32_t notBefore = 1577836800; // 2020-01-01 00:00:00 UTC
    uint32_t notAfter = 2524607999;  // 2049-12-31 23:59:59 UTC
    // (type, data) in order.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> extensions;
    bool productionAltSignature = false;
    bool debugAltSignature = false;
};

// The certificate with the subject's key, signed with the signer's key (SHA-256
// of everything before the signature). Unsigned (zero signature) without one.
std::vector<uint8_t> BuildCert20(const Cert20Spec& spec, const CTestKey& subject,
                                 const CTestKey* signer);
// Extension data of a text, with its zero byte.
std::vector<uint8_t> TextData(const std::string& text);

struct X509Spec
{
    X509NameFields subject;
    X509NameFields issuer;
    // ASN.1 time strings; 13 characters make UTCTime, 15 GeneralizedTime.
    std::string notBefore = "200101000000Z";
    std::string notAfter = "491231235959Z";
    // (dotted OID, raw value bytes) in order.
    std::vector<std::pair<std::string, std::string>> extensions;
};

// A vendor certificate's names as the maker issues them: subject OU given,
// issuer the master.
X509Spec MakerX509Spec(const std::string& subjectUnit);
std::string BuildX509Pem(const X509Spec& spec, const CTestKey& subject, const CTestKey& signer);

// "Salted__", the salt and the plain text enciphered with the cipher id.
std::vector<uint8_t> MakeSaltedContainer(std::span<const uint8_t> passPhrase,
                                         std::span<const uint8_t> plain, int32_t cipherId = 2);
} // namespace testkit
