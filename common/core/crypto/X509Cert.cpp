// X.509 certificates: type from the subject, issuer check, attributes and
// validity dates from the PEM text.

#include "common/core/crypto/X509Cert.h"

#include "common/core/crypto/Cert20KRCert.h"
#include "common/core/crypto/CertificateTime.h"
#include "core/UserFile.h"


X509NameFields ExpectedX509Issuer(bool master)
{
    X509NameFields fields;
    fields.country = "US";
    fields.state = "California";
    fields.locality = "San Jose";
    fields.organization = "Korvan Corp.";
    fields.organizationUnit = master ? "Root Certificate" : "Master Certificate";
    return fields;
}

uint32_t X509TypeBitOfUnit(const std::optional<std::string>& unit)
{
    static const std::array<std::pair<const char*, uint32_t>, 9> kTypes{{
        {"Master Certificate", 1},
        {"Chip Certificate", 2},
        {"Feature Certificate", 4},
        {"Debug Certificate", 8},
        {"AE Debug Certificate", 16},
        {"KR Authenticated Certificate", 32},
        {"Partner Certificate", 64},
        {"Partner Debug Certificate", 128},
        {"Partner XOC Certificate", 256},
    }};
    if (!unit)
    {
        return 0;
    }
    for (const auto& [text, bit] : kTypes)
    {
        if (*unit == text)
        {
            return bit;
        }
    }
    return 0;
}

std::span<X509AttributeRow> X509VendorAttributes()
{
    static std::array<X509AttributeRow, 4> table{{
        {1, "1.2.3.4", ""},
        {2, "1.2.3.5", ""},
        {3, "1.2.3.6", ""},
        {5, "1.2.3.7", ""},
    }};
    return table;
}

std::span<X509AttributeRow> X509MasterAttributes()
{
    static std::array<X509AttributeRow, 1> table{{{4, "1.2.3.4", ""}}};
    return table;
}

namespace
{
// C, ST, L, O and OU must match; CN and emailAddress are not compared.
bool IssuerMatches(const X509NameFields& issuer, const X509NameFields& expected)
{
    return issuer.country == expected.country && issuer.state == expected.state &&
           issuer.locality == expected.locality && issuer.organization == expected.organization &&
           issuer.organizationUnit == expected.organizationUnit;
}

const X509AttributeRow* RowWithId(std::span<X509AttributeRow> table, int32_t id)
{
    for (const X509AttributeRow& row : table)
    {
        if (row.id == id)
        {
            return &row;
        }
    }
    return nullptr;
}
} // namespace

CBCRTx509Cert::CBCRTx509Cert(const std::string& path, uint32_t options, uint32_t options2)
    : CBCRTCertBase(1, options, options2), m_fileName(path)
{
    const UserFileContents file = ReadUserFile(path, UserFileFormat::kCertificate);
    if (file.Read())
    {
        m_text.assign(file.bytes.begin(), file.bytes.end());
    }
    const std::optional<X509NameFields> subject =
        X509GetNameFields(m_text.data(), m_text.size(), kX509Subject, &m_errorText);
    m_info.certType = subject ? X509TypeBitOfUnit(subject->organizationUnit) : 0;
    if (m_info.certType == 0)
    {
        m_error = m_structureError = BCRT_ERROR_CODE_X509CERT_SUBJECT_INVALID;
        return;
    }
    m_valid = true;
    const std::optional<X509NameFields> issuer =
        X509GetNameFields(m_text.data(), m_text.size(), kX509Issuer, &m_errorText);
    if (!issuer)
    {
        m_valid = false;
        m_error = m_structureError = BCRT_ERROR_CODE_X509CERT_SUBJECT_INVALID;
        return;
    }
    const bool master = m_info.certType == kX509MasterTypeBit;
    if (!IssuerMatches(*issuer, ExpectedX509Issuer(master)))
    {
        m_valid = false;
        m_error = m_structureError = BCRT_ERROR_CODE_X509CERT_ISSUER_INVALID;
        return;
    }
    if ((m_info.certType & kX509VendorTypeMask) != 0)
    {
        X509ReadAttributes(m_text.data(), m_text.size(), X509VendorAttributes(), &m_errorText);
        const X509AttributeRow* server = RowWithId(X509VendorAttributes(), 1);
        if (server != nullptr && !server->value.empty())
        {
            TimeServerList().push_back(server->value);
        }
    }
    else if (master)
    {
        X509ReadAttributes(m_text.data(), m_text.size(), X509MasterAttributes(), &m_errorText);
    }
    CheckValidityPeriod(kTimeSourceLocalClock);
}

int32_t CBCRTx509Cert::ReadValidityDate(int32_t which, BCRTValidityDate& date)
{
    const std::optional<BCRTValidityDate> read =
        X509GetValidityDate(m_text.data(), m_text.size(), which, &m_errorText);
    if (!read)
    {
        return BCRT_ERROR_CODE_DATE_UNREADABLE;
    }
    date = *read;
    return 0;
}

std::optional<std::string> CBCRTx509Cert::GetAttribute(int32_t id, int32_t kind)
{
    std::span<X509AttributeRow> table;
    if (kind == 3 && id != 4)
    {
        table = X509VendorAttributes();
    }
    else if (kind == 2 && id == 4)
    {
        table = X509MasterAttributes();
    }
    const X509AttributeRow* row = RowWithId(table, id);
    if (row == nullptr)
    {
        return std::nullopt;
    }
    return id == 2 && kind == 3 ? LookupSigningProfileToken(row->value)
                                : std::optional<std::string>(row->value);
}

bool CBCRTx509Cert::IsVendorCertificate()
{
    return (m_info.certType & kX509VendorTypeMask) != 0 && (m_info.options2 & 0x80000000u) == 0;
}

// A master certificate is the master type bit; the vendor test does not
// answer for it.
bool CBCRTx509Cert::IsMasterCertificate()
{
    return m_info.certType == kX509MasterTypeBit && (m_info.options2 & 0x80000000u) == 0;
}

CRefPtr<IBCRTCert> CreateCertificate(const std::string& path, uint32_t options, uint32_t options2)
{
    if ((options & kCertOptionsFormat20) != 0)
    {
        return CRefPtr<IBCRTCert>(new CBCRT20KRCert(path, options, options2));
    }
    return CRefPtr<IBCRTCert>(new CBCRTx509Cert(path, options, options2));
}
