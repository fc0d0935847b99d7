// PEM certificates, RSA public decryption and "Salted__" containers on the
// crypto library (EVP and X509 get0 interfaces only).

#include "common/core/crypto/digitalsignature/DigitalSignature.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <array>
#include <cctype>
#include <cstring>
#include <limits>

using namespace crypto_handles;

namespace
{
constexpr size_t kErrorTextSize = 120;

void SetLibraryError(std::string* errorText)
{
    if (errorText == nullptr)
    {
        return;
    }
    char buffer[kErrorTextSize] = {};
    ERR_error_string_n(ERR_peek_last_error(), buffer, sizeof buffer);
    *errorText = buffer;
}

// The certificate of a PEM text; a length of 0 means no text was given.
Certificate ReadPem(const char* text, size_t length, std::string* errorText)
{
    ERR_clear_error();
    if (text == nullptr || length == 0 ||
        length > static_cast<size_t>(std::numeric_limits<int>::max()))
    {
        SetLibraryError(errorText);
        return nullptr;
    }
    Bio memory(BIO_new_mem_buf(text, static_cast<int>(length)));
    Certificate certificate(memory ? PEM_read_bio_X509(memory.get(), nullptr, nullptr, nullptr)
                                   : nullptr);
    if (!certificate)
    {
        SetLibraryError(errorText);
    }
    return certificate;
}

int TwoDigits(const std::string& text, size_t at)
{
    return (text[at] - '0') * 10 + (text[at + 1] - '0');
}
} // namespace

PublicKey X509ReadPublicKey(const char* text, size_t length, int32_t format, std::string* errorText)
{
    if (format != kCertificateFormatPem)
    {
        return nullptr;
    }
    Certificate certificate = ReadPem(text, length, errorText);
    if (!certificate)
    {
        return nullptr;
    }
    PublicKey key(X509_get_pubkey(certificate.get()));
    if (!key)
    {
        SetLibraryError(errorText);
    }
    return key;
}

std::optional<BCRTValidityDate> ParseAsn1Time(const std::string& time, bool generalized,
                                              std::string* errorText)
{
    auto fail = [&](const char* message) -> std::optional<BCRTValidityDate>
    {
        if (errorText != nullptr)
        {
            *errorText = message;
        }
        return std::nullopt;
    };
    // GeneralizedTime carries two more year digits; every later field moves
    // by two characters.
    const size_t shift = generalized ? 2 : 0;
    if (time.size() < 10 + shift)
    {
        return fail("BCRT: x509 cert: Bad time Format");
    }
    bool digits = true;
    for (size_t i = 0; i < 10 + shift; ++i)
    {
        digits = digits && std::isdigit(static_cast<unsigned char>(time[i])) != 0;
    }
    BCRTValidityDate date;
    if (generalized)
    {
        date.year = TwoDigits(time, 0) * 100 + TwoDigits(time, 2);
    }
    else
    {
        const int yy = TwoDigits(time, 0);
        date.year = yy < 50 ? 2000 + yy : 1900 + yy;
    }
    date.month = TwoDigits(time, 2 + shift);
    if (date.month < 1 || date.month > 12)
    {
        return fail("BCRT: x509 cert: Invalid month");
    }
    if (!digits)
    {
        return fail("BCRT: x509 cert: Bad time value");
    }
    date.day = TwoDigits(time, 4 + shift);
    date.hour = TwoDigits(time, 6 + shift);
    date.minute = TwoDigits(time, 8 + shift);
    const size_t seconds = 10 + shift;
    if (time.size() >= seconds + 2 && std::isdigit(static_cast<unsigned char>(time[seconds])) &&
        std::isdigit(static_cast<unsigned char>(time[seconds + 1])))
    {
        date.second = TwoDigits(time, seconds);
    }
    return date;
}

std::optional<BCRTValidityDate> X509GetValidityDate(const char* text, size_t length, int32_t which,
                                                    std::string* errorText)
{
    Certificate certificate = ReadPem(text, length, errorText);
    if (!certificate)
    {
        return std::nullopt;
    }
    const ASN1_TIME* time = which == kX509NotBefore ? X509_get0_notBefore(certificate.get())
                                                    : X509_get0_notAfter(certificate.get());
    if (time == nullptr)
    {
        SetLibraryError(errorText);
        return std::nullopt;
    }
    const std::string value(reinterpret_cast<const char*>(ASN1_STRING_get0_data(time)),
                            static_cast<size_t>(ASN1_STRING_length(time)));
    return ParseAsn1Time(value, ASN1_STRING_type(time) == V_ASN1_GENERALIZEDTIME, errorText);
}

std::optional<X509NameFields> X509GetNameFields(const char* text, size_t length, int32_t which,
                                                std::string* errorText)
{
    Certificate certificate = ReadPem(text, length, errorText);
    if (!certificate)
    {
        return std::nullopt;
    }
    const X509_NAME* name = which == kX509Issuer ? X509_get_issuer_name(certificate.get())
                                                 : X509_get_subject_name(certificate.get());
    if (name == nullptr)
    {
        SetLibraryError(errorText);
        return std::nullopt;
    }
    X509NameFields fields;
    const std::array<std::pair<const char*, std::optional<std::string>*>, 7> slots{{
        {"C", &fields.country},
        {"ST", &fields.state},
        {"L", &fields.locality},
        {"O", &fields.organization},
        {"OU", &fields.organizationUnit},
        {"CN", &fields.commonName},
        {"emailAddress", &fields.email},
    }};
    for (int i = 0; i < X509_NAME_entry_count(name); ++i)
    {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
        const int nid = OBJ_obj2nid(object);
        char oid[80] = {};
        const char* shortName = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
        if (shortName == nullptr)
        {
            OBJ_obj2txt(oid, sizeof oid, object, 1);
            shortName = oid;
        }
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
        for (const auto& [key, slot] : slots)
        {
            if (std::strcmp(key, shortName) == 0)
            {
                *slot = std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                                    static_cast<size_t>(ASN1_STRING_length(data)));
            }
        }
    }
    return fields;
}

X509AttributeRow* FindAttributeByOid(const std::string& oid, std::span<X509AttributeRow> table)
{
    for (X509AttributeRow& row : table)
    {
        if (row.oid == oid)
        {
            return &row;
        }
    }
    return nullptr;
}

X509AttributeRow* X509ReadAttributes(const char* text, size_t length,
                                     std::span<X509AttributeRow> table, std::string* errorText)
{
    // Longer extension values are cut to this many bytes.
    constexpr size_t kMaxValue = 255;
    Certificate certificate = ReadPem(text, length, errorText);
    if (!certificate)
    {
        return nullptr;
    }
    X509AttributeRow* last = nullptr;
    for (int i = 0; i < X509_get_ext_count(certificate.get()); ++i)
    {
        X509_EXTENSION* extension = X509_get_ext(certificate.get(), i);
        char oid[80] = {};
        OBJ_obj2txt(oid, sizeof oid, X509_EXTENSION_get_object(extension), 1);
        last = FindAttributeByOid(oid, table);
        if (last == nullptr)
        {
            continue;
        }
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
        const auto* bytes = ASN1_STRING_get0_data(data);
        const size_t size =
            std::min<size_t>(static_cast<size_t>(ASN1_STRING_length(data)), kMaxValue);
        std::string value;
        for (size_t j = 0; j < size; ++j)
        {
            const uint8_t c = bytes[j];
            if ((c >= 32 && c != 127) || c == '\n' || c == '\r')
            {
                value.push_back(static_cast<char>(c));
            }
        }
        if (!value.empty())
        {
            last->value = value;
        }
    }
    return last;
}

void RsaPublicDecrypt(std::span<const uint8_t> signature, const char* text, size_t length,
                      int32_t format, DecryptResult& result)
{
    constexpr unsigned long kNoRsaKey = 5;
    result = {};
    PublicKey key = X509ReadPublicKey(text, length, format, nullptr);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
    {
        result.libraryError = kNoRsaKey;
        return;
    }
    ERR_clear_error();
    KeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr));
    std::vector<uint8_t> plain(static_cast<size_t>(EVP_PKEY_get_size(key.get())));
    size_t written = plain.size();
    if (!context || EVP_PKEY_verify_recover_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(context.get(), plain.data(), &written, signature.data(),
                                signature.size()) != 1)
    {
        result.libraryError = ERR_peek_last_error();
        return;
    }
    plain.resize(written);
    result.length = static_cast<int32_t>(written);
    result.data = std::move(plain);
}

namespace
{
constexpr std::array<const char*, 8> kCipherNames{"aes-128-ecb", "aes-128-cbc", "aes-128-ofb",
                                                  "aes-128-cfb", "aes-192-ecb", "aes-192-cbc",
                                                  "aes-192-ofb", "aes-192-cfb"};
constexpr char kSaltedMagic[] = "Salted__";
constexpr size_t kMagicSize = 8;
constexpr size_t kSaltSize = 8;
constexpr size_t kFeedSize = 8192;
constexpr size_t kPartSize = 4096;
} // namespace

int32_t DecryptSaltedContainer(std::span<const uint8_t> passPhrase,
                               std::span<const uint8_t> container, std::vector<uint8_t>& out,
                               int32_t cipherId, int32_t encrypt)
{
    if (cipherId < 1 || static_cast<size_t>(cipherId) > kCipherNames.size())
    {
        return kSaltedUnknownCipher;
    }
    Cipher cipher(
        EVP_CIPHER_fetch(nullptr, kCipherNames[static_cast<size_t>(cipherId - 1)], nullptr));
    if (!cipher)
    {
        return kSaltedUnknownCipher;
    }
    if (container.size() < kMagicSize + kSaltSize ||
        std::memcmp(container.data(), kSaltedMagic, kMagicSize) != 0)
    {
        return kSaltedNoMagic;
    }
    const uint8_t* salt = container.data() + kMagicSize;
    std::array<uint8_t, EVP_MAX_KEY_LENGTH> key{};
    std::array<uint8_t, EVP_MAX_IV_LENGTH> iv{};
    if (EVP_BytesToKey(cipher.get(), EVP_md5(), salt, passPhrase.data(),
                       static_cast<int>(passPhrase.size()), 1, key.data(), iv.data()) == 0)
    {
        return kSaltedSetupFailed;
    }
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context)
    {
        return kSaltedNoStream;
    }
    if (EVP_CipherInit_ex(context.get(), cipher.get(), nullptr, key.data(), iv.data(),
                          encrypt != 0 ? 1 : 0) != 1)
    {
        return kSaltedSetupFailed;
    }
    const std::span<const uint8_t> text = container.subspan(kMagicSize + kSaltSize);
    out.clear();
    std::vector<uint8_t> produced(kPartSize + EVP_MAX_BLOCK_LENGTH);
    for (size_t fed = 0; fed < text.size(); fed += kFeedSize)
    {
        const std::span<const uint8_t> piece =
            text.subspan(fed, std::min(kFeedSize, text.size() - fed));
        for (size_t part = 0; part < piece.size(); part += kPartSize)
        {
            const size_t size = std::min(kPartSize, piece.size() - part);
            int written = 0;
            if (EVP_CipherUpdate(context.get(), produced.data(), &written, piece.data() + part,
                                 static_cast<int>(size)) != 1)
            {
                return kSaltedFinalFailed;
            }
            out.insert(out.end(), produced.begin(), produced.begin() + written);
        }
    }
    int written = 0;
    if (EVP_CipherFinal_ex(context.get(), produced.data(), &written) != 1)
    {
        return kSaltedFinalFailed;
    }
    out.insert(out.end(), produced.begin(), produced.begin() + written);
    return kSaltedOk;
}
