// Test keys made with the crypto library at test time.

#include "testkit/crypto/TestKeys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <map>
#include <memory>
#include <stdexcept>

using namespace crypto_handles;

namespace testkit
{
CTestKey::CTestKey() : m_key(EVP_RSA_gen(1024))
{
    if (!m_key)
    {
        throw std::runtime_error("cannot make an RSA test key");
    }
}

CTestKey::CTestKey(PublicKey key) : m_key(std::move(key)) {}

namespace
{
std::map<size_t, std::unique_ptr<CTestKey>>& Keys()
{
    static std::map<size_t, std::unique_ptr<CTestKey>> keys;
    return keys;
}
} // namespace

const CTestKey& CTestKey::Get(size_t index)
{
    auto& slot = Keys()[index];
    if (!slot)
    {
        slot.reset(new CTestKey());
    }
    return *slot;
}

void CTestKey::Adopt(size_t index, const std::string& privatePem)
{
    Bio bio(BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
    PublicKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) != 1024)
    {
        throw std::runtime_error("not a 1024-bit RSA private key");
    }
    auto& slot = Keys()[index];
    if (slot)
    {
        throw std::runtime_error("test key " + std::to_string(index) + " is already in use");
    }
    slot.reset(new CTestKey(std::move(key)));
}

std::array<uint8_t, 128> CTestKey::Modulus() const
{
    BIGNUM* n = nullptr;
    if (EVP_PKEY_get_bn_param(m_key.get(), OSSL_PKEY_PARAM_RSA_N, &n) != 1)
    {
        throw std::runtime_error("cannot read the test key's modulus");
    }
    BigNumber owned(n);
    std::array<uint8_t, 128> bytes{};
    BN_bn2binpad(n, bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
}

std::vector<uint8_t> CTestKey::SignDigest(std::span<const uint8_t> digest) const
{
    KeyContext context(EVP_PKEY_CTX_new(m_key.get(), nullptr));
    std::vector<uint8_t> signature(128);
    size_t length = signature.size();
    // Without a message digest set, PKCS#1 signing pads the bytes as given.
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) != 1)
    {
        throw std::runtime_error("cannot sign with the test key");
    }
    signature.resize(length);
    return signature;
}

namespace
{
std::string BioText(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(size));
}
} // namespace

std::string CTestKey::PrivatePem() const
{
    Bio bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), m_key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return BioText(bio.get());
}

std::string CTestKey::PublicPem() const
{
    Bio bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PUBKEY(bio.get(), m_key.get());
    return BioText(bio.get());
}
} // namespace testkit
