// Validity-period check and the lookup tables both certificate formats share.

#include "common/core/crypto/CertificateBase.h"

#include "common/core/crypto/CertificateTime.h"

#include <array>
#include <cstring>
#include <utility>

int32_t CBCRTCertBase::CheckValidityPeriod(int32_t timeSource)
{
    // A certificate that did not parse, or whose signature failed, stays
    // invalid whatever the time.
    if (m_structureError != 0)
    {
        m_valid = false;
        m_error = m_structureError;
        return 0;
    }
    NtpTimeQuery query;
    if (timeSource == kTimeSourceLocalClock)
    {
        query.UseLocalClock();
    }
    else
    {
        query.QueryServer();
    }
    m_timeStatus = query.status;
    if (query.status != NtpTimeQuery::kStatusAvailable)
    {
        m_error = BCRT_ERROR_CODE_NO_TIME;
        return 0;
    }
    const BCRTValidityDate now = UtcDate(query.times[0]);
    for (const auto& [which, date] : {std::pair{1, &m_notBefore}, std::pair{2, &m_notAfter}})
    {
        const int32_t code = ReadValidityDate(which, *date);
        if (code != 0)
        {
            m_valid = false;
            m_error = BCRT_ERROR_CODE_DATE_UNREADABLE;
            return code;
        }
    }
    m_valid = m_notBefore <= now && now <= m_notAfter;
    if (!m_valid)
    {
        m_error = BCRT_ERROR_CODE_X509CERT_DATE_INVALID;
    }
    return 0;
}

namespace
{
struct SigningProfile
{
    const char* name;
    const char* token;
};

constexpr std::array<SigningProfile, 9> kSigningProfiles{{
    {"DOZU KRVBIOS", "Qm7tLx2vRb9kWc4D"},
    {"DOZU KRBuildmeister", "Hs3nVe8pZa1uYf6J"},
    {"DOZU KRInternal", "Kd5rTw0gNc7mXq2B"},
    {"DOZU KRAuthenticated", "Kd5rTw0gNc7mXq2B"},
    {"DOZU KRAE Debug", "Kd5rTw0gNc7mXq2B"},
    {"DOZU KRPartner Debug", "Pz8yFb4hLs1vGe9R"},
    {"DOZU KRPartner XOC", "Pz8yFb4hLs1vGe9R"},
    {"DOZU KRPartner Prod", "Wj2kMu6tDa3xSn0C"},
    {"DOZU Default", "Ev9c-Qo5wHr4iTbL"},
}};

struct VendorPrivilege
{
    const char* text;
    int32_t code;
};
constexpr std::array<VendorPrivilege, 1> kVendorPrivileges{{{"Allow-PP", 1}}};
} // namespace

int32_t LookupPrivilegeCode(const char* text)
{
    if (text == nullptr)
    {
        return 0;
    }
    for (const VendorPrivilege& row : kVendorPrivileges)
    {
        if (std::strcmp(row.text, text) == 0)
        {
            return row.code;
        }
    }
    return 0;
}

std::optional<std::string> LookupSigningProfileToken(const std::string& name)
{
    for (const SigningProfile& row : kSigningProfiles)
    {
        if (name == row.name)
        {
            return row.token;
        }
    }
    return std::nullopt;
}
