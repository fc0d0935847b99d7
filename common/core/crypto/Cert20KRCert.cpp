// Certificate 2.0: parse, extension lookup, signature check, validity dates
// and attributes.

#include "common/core/crypto/Cert20KRCert.h"

#include "common/core/crypto/CertificateTime.h"
#include "common/core/crypto/digitalsignature/Digests.h"
#include "core/ByteOrder.h"
#include "core/Range.h"
#include "core/UserFile.h"


using namespace cert20;

namespace
{
std::vector<uint8_t> ReadWholeFile(const std::string& path, bool& opened)
{
    UserFileContents file = ReadUserFile(path, UserFileFormat::kCertificate);
    opened = file.Read();
    return opened ? std::move(file.bytes) : std::vector<uint8_t>{};
}
} // namespace

CBCRT20KRCert::CBCRT20KRCert(const std::string& path, uint32_t options, uint32_t options2)
    : CBCRTCertBase(2, options, options2), m_fileName(path)
{
    bool opened = false;
    m_bytes = ReadWholeFile(path, opened);
    if (!opened)
    {
        m_error = BCRT_ERROR_CODE_CERT20_CERT_FILE_ERROR_OR_NOT_FOUND;
        return;
    }
    Parse();
    m_structureError = m_error;
    if (m_error != 0)
    {
        return;
    }
    if (IsVendorCertificate())
    {
        const std::optional<std::string> server = ExtensionText(kExtTimeServer);
        if (server && !server->empty())
        {
            TimeServerList().push_back(*server);
        }
    }
    CheckValidityPeriod(kTimeSourceLocalClock);
}

CBCRT20KRCert::CBCRT20KRCert(std::span<const uint8_t> bytes, uint32_t options, uint32_t options2)
    : CBCRTCertBase(2, options, options2), m_bytes(bytes.begin(), bytes.end())
{
    Parse();
    m_structureError = m_error;
    m_valid = m_error == 0;
}

CBCRT20KRCert::CBCRT20KRCert(std::span<const uint8_t> bytes, std::span<const uint8_t> issuer,
                             uint32_t options, uint32_t options2)
    : CBCRTCertBase(2, options, options2), m_bytes(bytes.begin(), bytes.end()),
      m_issuer(issuer.begin(), issuer.end()), m_hasIssuer(issuer.data() != nullptr)
{
    Parse();
    if (m_error == 0)
    {
        m_error = VerifySignature();
    }
    m_structureError = m_error;
    m_valid = m_error == 0;
}

uint32_t CBCRT20KRCert::Word(uint32_t at) const
{
    return LoadLE32(&m_bytes[at]);
}

void CBCRT20KRCert::Parse()
{
    // Bytes too few for the main structure cannot be read at all.
    if (!HasMainStructure())
    {
        m_error = BCRT_ERROR_CODE_CERT_BLOCK_MISSING;
        return;
    }
    m_info.certType = Word(kType);
    if (Word(kIssuerId) != kRequiredIssuerId)
    {
        m_error = BCRT_ERROR_CODE_CERT20_TYPE_ISSUER_INVALID;
        return;
    }
    m_error = CheckHeader();
}

int32_t CBCRT20KRCert::CheckHeader()
{
    if (Word(kVersion) != kVersion20)
    {
        return BCRT_ERROR_CODE_CERT20_UNSUPPORTED_VERSION;
    }
    // The certificate size bounds every later read; it must lie in the bytes
    // given and hold the main structure.
    const uint32_t size = Word(kCertSize);
    const uint32_t mainSize = Word(kMainSize);
    if (size > m_bytes.size() || mainSize < kMainStructureSize || mainSize > size)
    {
        return BCRT_ERROR_CODE_CERT_BLOCK_MISSING;
    }
    if ((GetFlags() & kExtensionPresent) != 0)
    {
        if (!RangeFits(mainSize, kExtensionHeaderSize, size))
        {
            return BCRT_ERROR_CODE_CERT_BLOCK_MISSING;
        }
        m_extensionBase = mainSize + kExtensionHeaderSize;
    }
    return 0;
}

CBCRT20KRCert::Extension CBCRT20KRCert::FindExtension(uint32_t type)
{
    if (!HasMainStructure() || m_extensionBase == 0)
    {
        return {BCRT_ERROR_CODE_CERT20_NO_EXTENSION_EXIST, 0, {}};
    }
    const uint64_t size = Word(kCertSize);
    const uint32_t area = Word(kMainSize);
    const uint32_t count = Word(area + kExtensionCount);
    uint64_t entry = uint64_t{area} + Word(area + kExtensionFirstOffset);
    // Every entry is at least its header long and the walk only goes
    // forward, so it ends within size / 16 steps whatever the count says.
    for (uint32_t i = 0; i < count && RangeFits(entry, kEntryHeaderSize, size); ++i)
    {
        const auto at = static_cast<uint32_t>(entry);
        const uint64_t next = uint64_t{m_extensionBase} + Word(at + kEntryNext);
        const uint64_t dataStart = entry + kEntryHeaderSize;
        if (Word(at + kEntryType) == type)
        {
            if (next < dataStart || next > size || next - dataStart >= kMaxExtensionData)
            {
                break;
            }
            Extension found{0,
                            at,
                            {m_bytes.begin() + static_cast<ptrdiff_t>(dataStart),
                             m_bytes.begin() + static_cast<ptrdiff_t>(next)}};
            found.data.push_back(0);
            return found;
        }
        if ((Word(at + kEntryFlags) & kEntryLast) != 0 || next < dataStart)
        {
            break;
        }
        entry = next;
    }
    return {BCRT_ERROR_CODE_CERT20_EXT_NOT_FOUND, 0, {}};
}

int32_t CBCRT20KRCert::VerifySignature()
{
    if (!m_hasIssuer)
    {
        return BCRT_ERROR_CODE_CERT20_CERT_NO_CA_SPEFICIFIED;
    }
    uint32_t length = Word(kCertSize);
    if (AlgorithmByte(3) == kAltCrypto3Aes128)
    {
        if (length < kAltSignatureSize)
        {
            return BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_VERIFICATION_FAILED;
        }
        length -= kAltSignatureSize;
    }
    if (AlgorithmByte(1) != kCryptoRsa1024)
    {
        return BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_NOT_FOUND;
    }
    // Only SHA-256 has a digest here; any other hash fails closed. The
    // signature must follow the main structure, and the issuer must be long
    // enough to hold its key.
    if (AlgorithmByte(0) != kHashSha256 || length < kMainStructureSize + kRsa1024Size ||
        m_issuer.size() < kMainStructureSize)
    {
        return BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_VERIFICATION_FAILED;
    }
    const uint32_t body = length - kRsa1024Size;
    uint8_t digest[kSha256Size];
    Sha256(m_bytes.data(), body, digest);
    const uint32_t exponent = LoadLE32(&m_issuer[kExponent]);
    const bool good = VerifyPkcs1Signature(
        std::span<const uint8_t, kRsa1024Size>(m_issuer.data() + kModulus, kRsa1024Size), exponent,
        std::span<const uint8_t, kRsa1024Size>(m_bytes.data() + body, kRsa1024Size), digest);
    return good ? 0 : BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_VERIFICATION_FAILED;
}

int32_t CBCRT20KRCert::GetValidityDate(int32_t which, BCRTValidityDate& date)
{
    if ((which != 1 && which != 2) || !HasMainStructure())
    {
        date = UtcDate(0);
        return BCRT_ERROR_CODE_CERT20_DATE_TYPE_INVALID;
    }
    date = UtcDate(Word(which == 1 ? kNotBefore : kNotAfter));
    return 0;
}

std::span<const uint8_t, 128> CBCRT20KRCert::GetModulus() const
{
    return std::span<const uint8_t, 128>(m_bytes.data() + kModulus, kRsa1024Size);
}

std::optional<std::string> CBCRT20KRCert::ExtensionText(uint32_t type)
{
    const Extension found = FindExtension(type);
    if (found.code != 0)
    {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(found.data.data()));
}

std::string CBCRT20KRCert::GetExtensionText()
{
    return ExtensionText(kExtVendorName).value_or("");
}

std::optional<std::string> CBCRT20KRCert::GetAttribute(int32_t id, int32_t kind)
{
    if (kind == 2 && id == 4)
    {
        return "3";
    }
    if (kind != 3 || !IsVendorCertificate())
    {
        return std::nullopt;
    }
    switch (id)
    {
    case 1:
        return ExtensionText(kExtTimeServer);
    case 2:
    {
        const std::optional<std::string> profile = ExtensionText(kExtSigningProfile);
        return profile ? LookupSigningProfileToken(*profile) : std::nullopt;
    }
    case 3:
        return ExtensionText(kExtExpirationDays);
    case 5:
        return ExtensionText(kExtVendorPrivilege);
    case 6:
        return ExtensionText(kExtVendorName);
    default:
        return std::nullopt;
    }
}

int32_t CBCRT20KRCert::GetOwnerId()
{
    return HasMainStructure() ? static_cast<int32_t>(Word(kOwnerId)) : -1;
}

bool CBCRT20KRCert::IsVendorCertificate()
{
    return m_info.certType >= kCertTypeFirstVendor && m_info.certType <= kCertTypeLastVendor;
}

bool CBCRT20KRCert::IsMasterCertificate()
{
    return m_info.certType == kCertTypeMaster;
}

uint32_t CBCRT20KRCert::GetGpuId()
{
    const Extension found = FindExtension(kExtGpuId);
    if (found.code != 0 || found.data.size() < 5)
    {
        return 0;
    }
    return LoadLE32(found.data.data());
}
