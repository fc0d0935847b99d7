#include "testkit/image/UefiBuilder.h"

#include "testkit/image/EfiCompressor.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

namespace testkit
{
namespace
{
void PutLe(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width)
{
    if (bytes.size() < at + width)
    {
        bytes.resize(at + width, 0);
    }
    for (size_t i = 0; i < width; ++i)
    {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void AppendBytes(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
}

template <class T, void (*Free)(T*)> struct Deleter
{
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;

void Require(bool ok, const char* step)
{
    if (!ok)
    {
        throw std::runtime_error(std::string("SignedData for a test failed at ") + step);
    }
}

CertPtr SelfSignedCertificate(EVP_PKEY* key, const std::string& commonName)
{
    CertPtr cert(X509_new());
    Require(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x1234);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* organisation = reinterpret_cast<const unsigned char*>("Korvan Test");
    const auto* cn = reinterpret_cast<const unsigned char*>(commonName.c_str());
    Require(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, organisation, -1, -1, 0) == 1, "O");
    Require(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) == 1, "CN");
    X509_set_issuer_name(cert.get(), name);
    Require(X509_sign(cert.get(), key, EVP_sha256()) > 0, "X509_sign");
    return cert;
}
} // namespace

std::vector<uint8_t>
UefiBuildRecord(const std::vector<std::pair<std::string, std::string>>& entries, uint16_t version,
                std::optional<uint8_t> lengthField)
{
    std::vector<uint8_t> record = {'K', 'R', '-', 'U', 'E', 'F', 'I', '-',
                                   'B', 'L', 'D', '-', 'I', 'N', 'F', 'O'};
    PutLe(record, 16, version, 2);
    PutLe(record, 18, 0, 2);
    for (const auto& [key, value] : entries)
    {
        const std::string entry = key + ":" + value;
        record.insert(record.end(), entry.begin(), entry.end());
        record.push_back(0);
    }
    if (record.size() > 0xFF)
    {
        throw std::invalid_argument("A build record holds at most 255 bytes");
    }
    record[18] = lengthField.value_or(static_cast<uint8_t>(record.size()));
    return record;
}

std::vector<uint8_t> SignedDataFor(const std::string& commonName)
{
    KeyPtr key(EVP_EC_gen("P-256"));
    Require(key != nullptr, "EVP_EC_gen");
    CertPtr cert = SelfSignedCertificate(key.get(), commonName);
    static const char content[] = "romvise test driver digest";
    BioPtr data(BIO_new_mem_buf(content, sizeof content - 1));
    Pkcs7Ptr p7(PKCS7_sign(cert.get(), key.get(), nullptr, data.get(),
                           PKCS7_BINARY | PKCS7_DETACHED | PKCS7_NOSMIMECAP));
    Require(p7 != nullptr, "PKCS7_sign");
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7(p7.get(), &der);
    Require(length > 0, "i2d_PKCS7");
    std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

std::vector<uint8_t> GpuSupportList(uint32_t version, uint32_t driverType,
                                    const std::vector<GpuSupportEntry>& entries, uint32_t capacity,
                                    std::optional<uint32_t> countField)
{
    std::vector<uint8_t> list = {0x9B, 0xAF, 0x2B, 0xA0, 'R', 'U', 'S', 'H'};
    PutLe(list, 8, version, 4);
    PutLe(list, 12, driverType, 4);
    PutLe(list, 16, countField.value_or(static_cast<uint32_t>(entries.size())), 4);
    size_t first = 20;
    uint32_t room = 10;
    if (version == 2)
    {
        PutLe(list, 20, capacity, 4);
        first = 24;
        room = capacity;
    }
    list.resize(first + 8 * std::max<size_t>(room, entries.size()), 0);
    for (size_t i = 0; i < entries.size(); ++i)
    {
        PutLe(list, first + 8 * i, entries[i].deviceId, 2);
        PutLe(list, first + 8 * i + 2, entries[i].boardId, 2);
        PutLe(list, first + 8 * i + 4, entries[i].vbiosMagic, 4);
    }
    return list;
}

// ---- PE driver ---------------------------------------------------------------

CUefiDriverBuilder& CUefiDriverBuilder::Pe32Plus(bool on)
{
    m_pe32Plus = on;
    return *this;
}

CUefiDriverBuilder& CUefiDriverBuilder::BuildInfo(std::vector<uint8_t> record)
{
    return Extra(std::move(record));
}

CUefiDriverBuilder& CUefiDriverBuilder::Extra(std::vector<uint8_t> bytes)
{
    // Some code-like bytes in front, so the record does not sit at a fixed
    // place.
    for (uint8_t i = 0; i < 24; ++i)
    {
        m_body.push_back(static_cast<uint8_t>(0x90 ^ i));
    }
    AppendBytes(m_body, bytes);
    return *this;
}

CUefiDriverBuilder& CUefiDriverBuilder::BodySize(uint32_t bytes)
{
    m_bodySize = bytes;
    return *this;
}

CUefiDriverBuilder& CUefiDriverBuilder::Certificate(uint16_t type, std::vector<uint8_t> data,
                                                    std::optional<uint32_t> lengthField)
{
    m_certificates.push_back({type, std::move(data), lengthField});
    return *this;
}

CUefiDriverBuilder& CUefiDriverBuilder::DirectoryCount(uint32_t count)
{
    m_directoryCount = count;
    return *this;
}

CUefiDriverBuilder& CUefiDriverBuilder::SecurityDirectory(uint32_t offset, uint32_t size)
{
    m_security = std::make_pair(offset, size);
    return *this;
}

std::vector<uint8_t> CUefiDriverBuilder::Build() const
{
    std::vector<uint8_t> image(kPeOffset, 0);
    image[0] = 'M';
    image[1] = 'Z';
    PutLe(image, 0x3C, kPeOffset, 4);

    // COFF header.
    const uint32_t pe = kPeOffset;
    PutLe(image, pe, 0x4550, 4);
    PutLe(image, pe + 4, m_pe32Plus ? 0x8664 : 0x014C, 2);
    const uint32_t countAt = pe + (m_pe32Plus ? 132 : 116);
    const uint32_t directories = countAt + 4;
    const uint32_t optionalSize = directories + 16 * 8 - (pe + 24);
    PutLe(image, pe + 20, optionalSize, 2);
    PutLe(image, pe + 22, 0x2102, 2); // executable, DLL
    // Optional header: magic, subsystem EFI boot service driver, count.
    PutLe(image, pe + 24, m_pe32Plus ? 0x20B : 0x10B, 2);
    PutLe(image, pe + 24 + 68, 11, 2);
    PutLe(image, countAt, m_directoryCount, 4);
    image.resize(directories + 16 * 8, 0);

    // Body, on a 512-byte boundary.
    image.resize((image.size() + 511) / 512 * 512, 0);
    std::vector<uint8_t> body = m_body;
    for (size_t i = body.size(); i < m_bodySize; ++i)
    {
        body.push_back(static_cast<uint8_t>(i * 31 + 7));
    }
    AppendBytes(image, body);

    // Security directory: the certificate table at the end, 8-aligned.
    image.resize((image.size() + 7) / 8 * 8, 0);
    const auto table = static_cast<uint32_t>(image.size());
    for (const CertificatePlan& certificate : m_certificates)
    {
        const size_t at = image.size();
        const auto length = static_cast<uint32_t>(8 + certificate.data.size());
        PutLe(image, at, certificate.lengthField.value_or(length), 4);
        PutLe(image, at + 4, 0x0200, 2);
        PutLe(image, at + 6, certificate.type, 2);
        AppendBytes(image, certificate.data);
        image.resize((image.size() + 7) / 8 * 8, 0);
    }
    const auto tableSize = static_cast<uint32_t>(image.size() - table);
    const uint32_t security = directories + 4 * 8;
    if (m_security)
    {
        PutLe(image, security, m_security->first, 4);
        PutLe(image, security + 4, m_security->second, 4);
    }
    else if (tableSize != 0)
    {
        PutLe(image, security, table, 4);
        PutLe(image, security + 4, tableSize, 4);
    }
    return image;
}

// ---- GPU images ----------------------------------------------------------------

std::vector<uint8_t> EfiPayload(const std::vector<uint8_t>& driver)
{
    return EfiCompress(driver);
}

CGpuImageBuilder UefiGpuImage(EfiPosition position, const std::vector<uint8_t>& driver,
                              uint32_t ifrSize)
{
    return UefiGpuImageWithPayload(position, EfiPayload(driver), ifrSize);
}

CGpuImageBuilder UefiGpuImageWithPayload(EfiPosition position, const std::vector<uint8_t>& payload,
                                         uint32_t ifrSize)
{
    CGpuImageBuilder b;
    if (ifrSize != 0)
    {
        b.InitFromRom(ifrSize);
    }
    b.Block(CGpuImageBuilder::kX86, 0x1000);
    if (position == EfiPosition::Hidden)
    {
        b.Kpde().LastImage(true).KpdeIndicator(0);
    }
    if (position == EfiPosition::None)
    {
        return b;
    }
    b.Block(CGpuImageBuilder::kEfi, 0x200).Payload(payload);
    if (position == EfiPosition::Placeholder)
    {
        b.PcirSignature("KPDS");
    }
    return b;
}
} // namespace testkit
