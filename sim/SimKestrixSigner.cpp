// The simulated microcode's signer check: it walks the image's expansion-ROM
// chain to the certificate block (code type 0x70), reads the certification
// package behind the block's object directory, and verifies master and
// vendor certificate 2.0 up to the root, each as SHA-256 of its body under
// PKCS#1 v1.5 type-1 padding without DigestInfo.

#include "sim/SimKestrixSigner.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace
{
// The chain.
constexpr uint16_t kPublicMark = 0xAA55;
constexpr uint16_t kPrivateMark = 0x4B52;
constexpr uint16_t kAlternateMark = 0xBB77;
constexpr uint32_t kPcirPointer = 0x18;
constexpr uint32_t kPcirSignatures[] = {0x52494350, 0x5344504B, 0x53494752}; // PCIR KPDS RGIS
constexpr uint32_t kPcirStructureLength = 10;
constexpr uint32_t kPcirImageLength = 16;
constexpr uint32_t kPcirCodeType = 20;
constexpr uint32_t kPcirIndicator = 21;
constexpr uint32_t kKpdeSignature = 0x4544504B;
constexpr uint32_t kKpdeStructureLength = 6;
constexpr uint32_t kKpdeImageLength = 8;
constexpr uint32_t kKpdeIndicator = 10;
constexpr uint8_t kLastImage = 0x80;
constexpr uint8_t kCertificateBlock = 0x70;
constexpr uint32_t kUnit = 512;
constexpr int kMostBlocks = 64;

// The certificate block and its package.
constexpr uint32_t kDirectorySignature = 0x4E425349; // "ISBN"
constexpr uint32_t kPackageFromDirectory = 28;
constexpr uint32_t kPackageOfCertificates20 = 2;
constexpr uint32_t kEntryHeaderSize = 28;
constexpr int kMostEntries = 51;
constexpr uint32_t kMasterType = 2;
constexpr uint32_t kFirstVendorType = 3;
constexpr uint32_t kLastVendorType = 8;
constexpr uint32_t kLastEntry = 1u << 1;
constexpr uint32_t kSkippedEntry = 1u << 31;
constexpr uint32_t kMostCertificateBytes = 0x1000;

// A certificate 2.0.
constexpr uint32_t kCertificateVersion = 0x20;
constexpr size_t kMainStructureSize = 176;
constexpr size_t kModulusAt = 44;
constexpr size_t kModulusSize = 128;
constexpr size_t kExponentAt = 172;
constexpr size_t kSignatureSize = 128;
constexpr size_t kAlternateSignatureSize = 32;
constexpr uint8_t kSha256 = 2;
constexpr uint8_t kRsa1024 = 1;
constexpr uint8_t kTripleAes = 2;

struct Need
{
    uint64_t offset;
};

struct Refusal
{
    uint32_t code;
};

uint32_t Le32(std::span<const uint8_t> bytes, size_t at)
{
    return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                 static_cast<uint32_t>(bytes[at + 3]) << 24);
}

// Reads the pulled image; a byte not pulled yet ends the run with Need.
class CReader
{
public:
    explicit CReader(const CSimImageWindow& window) : m_window(window) {}

    std::vector<uint8_t> Bytes(uint64_t offset, uint32_t count, uint32_t failure) const
    {
        if (offset + count > kSimPushOffsetLimit)
        {
            throw Refusal{failure}; // beyond what a push request can reach
        }
        uint64_t missing = 0;
        std::optional<std::vector<uint8_t>> bytes = m_window.Bytes(offset, count, missing);
        if (!bytes)
        {
            throw Need{missing};
        }
        return *bytes;
    }
    uint32_t Dword(uint64_t offset, uint32_t failure) const
    {
        return Le32(Bytes(offset, 4, failure), 0);
    }
    uint16_t Word(uint64_t offset, uint32_t failure) const
    {
        const std::vector<uint8_t> bytes = Bytes(offset, 2, failure);
        return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    }
    uint8_t Byte(uint64_t offset, uint32_t failure) const { return Bytes(offset, 1, failure)[0]; }

private:
    const CSimImageWindow& m_window;
};

// The PCI data structure of the certificate block, found by walking the
// chain from the image's start.
uint64_t FindCertificateBlockPcir(const CReader& image)
{
    constexpr uint32_t kFailure = kSimVVCertificateNotFound;
    uint64_t block = 0;
    for (int step = 0; step < kMostBlocks; ++step)
    {
        const uint16_t mark = image.Word(block, kFailure);
        if (mark != kPublicMark && mark != kPrivateMark && mark != kAlternateMark)
        {
            break;
        }
        const uint64_t pcir = block + image.Word(block + kPcirPointer, kFailure);
        const uint32_t signature = image.Dword(pcir, kFailure);
        if (std::find(std::begin(kPcirSignatures), std::end(kPcirSignatures), signature) ==
            std::end(kPcirSignatures))
        {
            break;
        }
        if (image.Byte(pcir + kPcirCodeType, kFailure) == kCertificateBlock)
        {
            return pcir;
        }
        uint32_t units = image.Word(pcir + kPcirImageLength, kFailure);
        uint8_t indicator = image.Byte(pcir + kPcirIndicator, kFailure);
        // A block's extension may give the length of its own image.
        const uint64_t kpde =
            (pcir + image.Word(pcir + kPcirStructureLength, kFailure) + 15) & ~uint64_t{15};
        if (image.Dword(kpde, kFailure) == kKpdeSignature)
        {
            const uint16_t subUnits = image.Word(kpde + kKpdeImageLength, kFailure);
            units = subUnits != 0 ? subUnits : units;
            if (image.Word(kpde + kKpdeStructureLength, kFailure) > kKpdeIndicator)
            {
                indicator = image.Byte(kpde + kKpdeIndicator, kFailure);
            }
        }
        if ((indicator & kLastImage) != 0 || units == 0)
        {
            break;
        }
        block += uint64_t{units} * kUnit;
    }
    throw Refusal{kSimVVCertificateNotFound};
}

struct Certificates
{
    std::vector<uint8_t> master;
    std::vector<uint8_t> vendor;
};

// The master and the vendor certificate of the package.
Certificates ReadPackage(const CReader& image, uint64_t pcir)
{
    constexpr uint32_t kFailure = kSimVVCertificateParseFailed;
    const uint64_t directory = pcir + image.Word(pcir + kPcirStructureLength, kFailure);
    if (image.Dword(directory, kFailure) != kDirectorySignature)
    {
        throw Refusal{kSimVVCertificateNotFound};
    }
    const uint64_t package = directory + kPackageFromDirectory;
    if (image.Dword(package, kFailure) != kPackageOfCertificates20)
    {
        throw Refusal{kFailure};
    }
    std::optional<std::vector<uint8_t>> master;
    std::optional<std::vector<uint8_t>> vendor;
    uint64_t entry = package;
    for (int count = 0; count < kMostEntries; ++count)
    {
        const std::vector<uint8_t> header = image.Bytes(entry, kEntryHeaderSize, kFailure);
        const uint64_t start = entry + Le32(header, 4);
        const uint64_t end = package + Le32(header, 12);
        const uint32_t type = Le32(header, 16);
        const uint32_t attributes = Le32(header, 24);
        const bool isMaster = type == kMasterType;
        const bool isVendor = type >= kFirstVendorType && type <= kLastVendorType &&
                              (attributes & kSkippedEntry) == 0;
        if (isMaster || isVendor)
        {
            std::optional<std::vector<uint8_t>>& slot = isMaster ? master : vendor;
            if (slot || end < start || end - start > kMostCertificateBytes)
            {
                throw Refusal{kFailure};
            }
            slot = image.Bytes(start, static_cast<uint32_t>(end - start), kFailure);
        }
        if ((attributes & kLastEntry) != 0)
        {
            break;
        }
        if (end <= entry)
        {
            throw Refusal{kFailure}; // a walk that does not move on
        }
        entry = end;
    }
    if (!master || !vendor)
    {
        throw Refusal{kSimVVCertificateNotFound};
    }
    return {std::move(*master), std::move(*vendor)};
}

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// The RSA public key a certificate 2.0 carries.
Key PublicKeyOf(std::span<const uint8_t> certificate)
{
    Key none(nullptr, EVP_PKEY_free);
    if (certificate.size() < kMainStructureSize)
    {
        return none;
    }
    std::unique_ptr<BIGNUM, decltype(&BN_free)> n(
        BN_bin2bn(certificate.data() + kModulusAt, kModulusSize, nullptr), BN_free);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> e(BN_new(), BN_free);
    std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(),
                                                                          OSSL_PARAM_BLD_free);
    if (!n || !e || !build || BN_set_word(e.get(), Le32(certificate, kExponentAt)) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
    {
        return none;
    }
    std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(
        OSSL_PARAM_BLD_to_param(build.get()), OSSL_PARAM_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    {
        return none;
    }
    return Key(key, EVP_PKEY_free);
}

// Whether the certificate is a certificate 2.0 with an RSA-1024 signature
// over the SHA-256 of its body that the issuer's key verifies.
bool SignedBy(std::span<const uint8_t> certificate, std::span<const uint8_t> issuer)
{
    if (certificate.size() < kMainStructureSize || Le32(certificate, 0) != kCertificateVersion)
    {
        return false;
    }
    const uint32_t algorithm = Le32(certificate, 20);
    const auto hash = static_cast<uint8_t>(algorithm);
    const auto crypto = static_cast<uint8_t>(algorithm >> 8);
    const auto alternateCrypto = static_cast<uint8_t>(algorithm >> 24);
    uint64_t length = Le32(certificate, 12);
    if (alternateCrypto == kTripleAes)
    {
        length = length < kAlternateSignatureSize ? 0 : length - kAlternateSignatureSize;
    }
    if (hash != kSha256 || crypto != kRsa1024 || length > certificate.size() ||
        length < kMainStructureSize + kSignatureSize)
    {
        return false;
    }
    const size_t body = static_cast<size_t>(length) - kSignatureSize;
    std::array<uint8_t, 32> digest{};
    unsigned int digestSize = 0;
    if (EVP_Digest(certificate.data(), body, digest.data(), &digestSize, EVP_sha256(), nullptr) !=
        1)
    {
        return false;
    }
    const Key key = PublicKeyOf(issuer);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr, EVP_PKEY_CTX_free);
    std::array<uint8_t, kModulusSize> recovered{};
    size_t recoveredSize = recovered.size();
    return context && EVP_PKEY_verify_recover_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_verify_recover(context.get(), recovered.data(), &recoveredSize,
                                   certificate.data() + body, kSignatureSize) == 1 &&
           recoveredSize == digest.size() &&
           std::equal(digest.begin(), digest.end(), recovered.begin());
}

// The root certificate inside its "Salted__" container (aes-128-cbc, key and
// IV from the pass phrase by EVP_BytesToKey with MD5); empty when it does not
// open.
std::vector<uint8_t> OpenRoot(const TrustedRoot& root)
{
    constexpr size_t kHeader = 16;
    const std::vector<uint8_t>& box = root.container;
    if (box.size() < kHeader || std::memcmp(box.data(), "Salted__", 8) != 0)
    {
        return {};
    }
    std::array<uint8_t, EVP_MAX_KEY_LENGTH> key{};
    std::array<uint8_t, EVP_MAX_IV_LENGTH> iv{};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
    std::vector<uint8_t> plain(box.size() + EVP_MAX_BLOCK_LENGTH);
    int written = 0;
    int last = 0;
    if (EVP_BytesToKey(EVP_aes_128_cbc(), EVP_md5(), box.data() + 8, root.passPhrase.data(),
                       static_cast<int>(root.passPhrase.size()), 1, key.data(), iv.data()) == 0 ||
        !context ||
        EVP_DecryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data()) !=
            1 ||
        EVP_DecryptUpdate(context.get(), plain.data(), &written, box.data() + kHeader,
                          static_cast<int>(box.size() - kHeader)) != 1 ||
        EVP_DecryptFinal_ex(context.get(), plain.data() + written, &last) != 1)
    {
        return {};
    }
    plain.resize(static_cast<size_t>(written + last));
    return plain;
}
} // namespace

void CSimImageWindow::Keep(uint32_t offset, std::span<const uint8_t> bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        m_bytes[uint64_t{offset} + i] = bytes[i];
    }
}

std::optional<std::vector<uint8_t>> CSimImageWindow::Bytes(uint64_t offset, uint32_t count,
                                                           uint64_t& missing) const
{
    std::vector<uint8_t> bytes;
    bytes.reserve(count);
    for (uint64_t at = offset; at < offset + count; ++at)
    {
        const auto found = m_bytes.find(at);
        if (found == m_bytes.end())
        {
            missing = at;
            return std::nullopt;
        }
        bytes.push_back(found->second);
    }
    return bytes;
}

SimSignerCheck CheckSimImageSigner(const CSimImageWindow& window, const TrustedRoot& root)
{
    const CReader image(window);
    Certificates certificates;
    try
    {
        certificates = ReadPackage(image, FindCertificateBlockPcir(image));
    }
    catch (const Need& need)
    {
        // What is asked next runs from the first byte missing, as much as one
        // request carries and the push offset reaches.
        const uint64_t room = kSimPushOffsetLimit - need.offset;
        return {std::make_pair(static_cast<uint32_t>(need.offset),
                               static_cast<uint32_t>(std::min<uint64_t>(kSimPushMostBytes, room))),
                0};
    }
    catch (const Refusal& refusal)
    {
        return {std::nullopt, refusal.code};
    }
    const std::vector<uint8_t> rootCertificate = OpenRoot(root);
    const bool chained = !rootCertificate.empty() &&
                         SignedBy(certificates.master, rootCertificate) &&
                         SignedBy(certificates.vendor, certificates.master);
    return {std::nullopt, chained ? 0u : uint32_t{kSimVVCertificateVerifyFailed}};
}
