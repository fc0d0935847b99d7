// Certificates 2.0, X.509 PEM texts and "Salted__" containers for the tests.

#include "testkit/crypto/CertificateBuilder.h"

#include "common/core/crypto/Cert20KRCert.h"
#include "common/core/crypto/X509Cert.h"
#include "common/core/crypto/digitalsignature/Digests.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <stdexcept>

using namespace crypto_handles;

namespace testkit
{
namespace
{
void PutWord(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
    {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}
} // namespace

std::vector<uint8_t> TextData(const std::string& text)
{
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

std::vector<uint8_t> BuildCert20(const Cert20Spec& spec, const CTestKey& subject,
                                 const CTestKey* signer)
{
    using namespace cert20;
    std::vector<uint8_t> bytes(kMainStructureSize);
    uint32_t flags = spec.flags;
    if (!spec.extensions.empty())
    {
        flags |= kExtensionPresent;
        const size_t area = bytes.size();
        bytes.resize(area + kExtensionHeaderSize);
        PutWord(bytes, area, 0x10);
        PutWord(bytes, area + 4, 0x10);
        PutWord(bytes, area + 8, 0x10);
        PutWord(bytes, area + 12, static_cast<uint32_t>(spec.extensions.size()));
        const size_t base = bytes.size();
        for (size_t i = 0; i < spec.extensions.size(); ++i)
        {
            const auto& [type, data] = spec.extensions[i];
            const size_t entry = bytes.size();
            bytes.resize(entry + kEntryHeaderSize);
            PutWord(bytes, entry, 0);
            PutWord(bytes, entry + 4,
                    static_cast<uint32_t>(entry + kEntryHeaderSize + data.size() - base));
            PutWord(bytes, entry + 8, type);
            PutWord(bytes, entry + 12,
                    (i == 0 ? kEntryFirst : 0) |
                        (i + 1 == spec.extensions.size() ? kEntryLast : 0));
            bytes.insert(bytes.end(), data.begin(), data.end());
        }
    }
    const size_t signatureAt = bytes.size();
    if (spec.crypto == kCryptoRsa1024)
    {
        bytes.resize(bytes.size() + kRsa1024Size);
    }
    const size_t altSignatures =
        (spec.debugAltSignature ? 1 : 0) + (spec.productionAltSignature ? 1 : 0);
    bytes.resize(bytes.size() + altSignatures * kAltSignatureSize, 0xA5);
    if (spec.debugAltSignature)
    {
        flags |= kDebugAltSigPresent;
    }
    if (spec.productionAltSignature)
    {
        flags |= kProdAltSigPresent;
    }

    PutWord(bytes, kVersion, spec.version);
    PutWord(bytes, kMainSize, kMainStructureSize);
    PutWord(bytes, kSerial, spec.serial);
    PutWord(bytes, kCertSize, static_cast<uint32_t>(bytes.size()));
    PutWord(bytes, kType, spec.type);
    PutWord(bytes, kAlgorithm,
            uint32_t{spec.hash} | uint32_t{spec.crypto} << 8 | uint32_t{spec.altHash} << 16 |
                uint32_t{spec.altCrypto} << 24);
    PutWord(bytes, kFlags, flags);
    PutWord(bytes, kIssuerId, spec.issuerId);
    PutWord(bytes, kOwnerId, spec.ownerId);
    PutWord(bytes, kNotBefore, spec.notBefore);
    PutWord(bytes, kNotAfter, spec.notAfter);
    const std::array<uint8_t, 128> modulus = subject.Modulus();
    std::copy(modulus.begin(), modulus.end(), bytes.begin() + kModulus);
    PutWord(bytes, kExponent, subject.Exponent());

    if (signer != nullptr && spec.crypto == kCryptoRsa1024)
    {
        // The check takes the signature from 128 bytes before the end, less
        // one alternate signature for 3AES128.
        const size_t end =
            bytes.size() - (spec.altCrypto == kAltCrypto3Aes128 ? kAltSignatureSize : 0);
        const size_t at = end >= kRsa1024Size ? end - kRsa1024Size : signatureAt;
        uint8_t digest[kSha256Size];
        Sha256(bytes.data(), at, digest);
        const std::vector<uint8_t> signature = signer->SignDigest(digest);
        std::copy(signature.begin(), signature.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
    }
    return bytes;
}

X509Spec MakerX509Spec(const std::string& subjectUnit)
{
    X509Spec spec;
    spec.subject.country = "US";
    spec.subject.organization = "Korvan Corp.";
    spec.subject.organizationUnit = subjectUnit;
    spec.subject.commonName = "Test " + subjectUnit;
    spec.issuer = ExpectedX509Issuer(subjectUnit == "Master Certificate");
    spec.issuer.commonName = "Test issuer";
    return spec;
}

namespace
{
void AddNameFields(X509_NAME* name, const X509NameFields& fields)
{
    const std::pair<const char*, const std::optional<std::string>*> slots[] = {
        {"C", &fields.country},           {"ST", &fields.state},
        {"L", &fields.locality},          {"O", &fields.organization},
        {"OU", &fields.organizationUnit}, {"CN", &fields.commonName},
        {"emailAddress", &fields.email}};
    for (const auto& [key, value] : slots)
    {
        if (*value)
        {
            X509_NAME_add_entry_by_txt(name, key, MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>((*value)->c_str()),
                                       -1, -1, 0);
        }
    }
}

void SetTime(ASN1_TIME* time, const std::string& text)
{
    if (ASN1_STRING_set(time, text.data(), static_cast<int>(text.size())) != 1)
    {
        throw std::runtime_error("cannot set a certificate time");
    }
    time->type = text.size() >= 15 ? V_ASN1_GENERALIZEDTIME : V_ASN1_UTCTIME;
}
} // namespace

std::string BuildX509Pem(const X509Spec& spec, const CTestKey& subject, const CTestKey& signer)
{
    Certificate certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    SetTime(X509_getm_notBefore(certificate.get()), spec.notBefore);
    SetTime(X509_getm_notAfter(certificate.get()), spec.notAfter);
    AddNameFields(X509_get_subject_name(certificate.get()), spec.subject);
    AddNameFields(X509_get_issuer_name(certificate.get()), spec.issuer);
    X509_set_pubkey(certificate.get(), subject.Key());
    for (const auto& [oid, value] : spec.extensions)
    {
        ASN1_OBJECT* object = OBJ_txt2obj(oid.c_str(), 1);
        ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(data, reinterpret_cast<const unsigned char*>(value.data()),
                              static_cast<int>(value.size()));
        X509_EXTENSION* extension = X509_EXTENSION_create_by_OBJ(nullptr, object, 0, data);
        X509_add_ext(certificate.get(), extension, -1);
        X509_EXTENSION_free(extension);
        ASN1_OCTET_STRING_free(data);
        ASN1_OBJECT_free(object);
    }
    if (X509_sign(certificate.get(), signer.Key(), EVP_sha256()) == 0)
    {
        throw std::runtime_error("cannot sign the X.509 test certificate");
    }
    Bio bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), certificate.get());
    char* text = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &text);
    return std::string(text, static_cast<size_t>(size));
}

std::vector<uint8_t> MakeSaltedContainer(std::span<const uint8_t> passPhrase,
                                         std::span<const uint8_t> plain, int32_t cipherId)
{
    const std::string head = "Salted__";
    std::vector<uint8_t> input(head.begin(), head.end());
    const uint8_t salt[8] = {0x5E, 0x11, 0xA7, 0x02, 0x9C, 0x33, 0xD4, 0x68};
    input.insert(input.end(), std::begin(salt), std::end(salt));
    std::vector<uint8_t> container = input;
    input.insert(input.end(), plain.begin(), plain.end());
    std::vector<uint8_t> cipherText;
    if (DecryptSaltedContainer(passPhrase, input, cipherText, cipherId, 1) != kSaltedOk)
    {
        throw std::runtime_error("cannot encipher the test container");
    }
    container.insert(container.end(), cipherText.begin(), cipherText.end());
    return container;
}
} // namespace testkit
