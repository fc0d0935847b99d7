#pragma once
// The routines of the certificate subsystem that go through the crypto
// library: PEM certificates (public key, validity dates, name fields,
// extension values), RSA public decryption of a signature, and the OpenSSL
// "Salted__" container. Library failures never throw: the routines answer
// nothing and leave the library's text for its last error (at most 120
// characters) in the caller's error text.

#include "common/core/crypto/Certificate.h"
#include "common/core/crypto/digitalsignature/OpenSslHandles.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Format argument of the PEM routines.
inline constexpr int32_t kCertificateFormatPem = 3;

// The name fields of an X.509 name, each possibly absent.
struct X509NameFields
{
    std::optional<std::string> country;          // C
    std::optional<std::string> state;            // ST
    std::optional<std::string> locality;         // L
    std::optional<std::string> organization;     // O
    std::optional<std::string> organizationUnit; // OU
    std::optional<std::string> commonName;       // CN
    std::optional<std::string> email;            // emailAddress
    bool operator==(const X509NameFields&) const = default;
};

// One attribute of an X.509 certificate, found by its extension OID.
struct X509AttributeRow
{
    int32_t id = 0;
    std::string oid;
    std::string value;
};

struct DecryptResult
{
    std::vector<uint8_t> data;
    int32_t length = 0;
    unsigned long libraryError = 0;
};

// Which name or date a routine reads.
inline constexpr int32_t kX509Issuer = 1;
inline constexpr int32_t kX509Subject = 2;
inline constexpr int32_t kX509NotBefore = 1;
inline constexpr int32_t kX509NotAfter = 2;

crypto_handles::PublicKey X509ReadPublicKey(const char* text, size_t length, int32_t format,
                                            std::string* errorText);
std::optional<BCRTValidityDate> X509GetValidityDate(const char* text, size_t length, int32_t which,
                                                    std::string* errorText);
// The date of an ASN.1 time string, UTCTime (two-digit year) or
// GeneralizedTime (four-digit year); the error text otherwise.
std::optional<BCRTValidityDate> ParseAsn1Time(const std::string& time, bool generalized,
                                              std::string* errorText);
std::optional<X509NameFields> X509GetNameFields(const char* text, size_t length, int32_t which,
                                                std::string* errorText);
X509AttributeRow* FindAttributeByOid(const std::string& oid, std::span<X509AttributeRow> table);
// Copies each extension's value (control characters dropped) into the row of
// its OID; answers the row of the last extension, or nothing.
X509AttributeRow* X509ReadAttributes(const char* text, size_t length,
                                     std::span<X509AttributeRow> table, std::string* errorText);
// The signature decrypted with the certificate's RSA public key, PKCS#1 v1.5
// padding removed. No key, or no RSA key: library error 5.
void RsaPublicDecrypt(std::span<const uint8_t> signature, const char* text, size_t length,
                      int32_t format, DecryptResult& result);

// Codes of DecryptSaltedContainer.
enum SaltedContainerCode : int32_t
{
    kSaltedOk = 0,
    kSaltedNoMagic = 1,
    kSaltedUnknownCipher = 2,
    kSaltedSetupFailed = 6,
    kSaltedNoStream = 7,
    kSaltedFinalFailed = 8,
};
// "Salted__", an 8-byte salt and the cipher text; key and IV from the pass
// phrase by EVP_BytesToKey with MD5 and one iteration. Cipher ids 1 to 8 are
// AES-128 and AES-192 in ECB, CBC, OFB and CFB; encrypt 0 deciphers. The
// output replaces the contents of out.
int32_t DecryptSaltedContainer(std::span<const uint8_t> passPhrase,
                               std::span<const uint8_t> container, std::vector<uint8_t>& out,
                               int32_t cipherId, int32_t encrypt);
