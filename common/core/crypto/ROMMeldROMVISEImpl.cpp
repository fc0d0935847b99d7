// The certifying multi-image ROM file.

#include "common/core/crypto/ROMMeldROMVISEImpl.h"

namespace
{
void LogFailure(CLog* log, const char* text)
{
    if (log)
    {
        *log << LogLevel(4) << "\n" << text << LogEndl;
    }
}
} // namespace

CRefPtr<CROMMeldROMVISEImpl> CROMMeldROMVISEImpl::Create()
{
    return new CROMMeldROMVISEImpl(CBCRTChainOfTrust());
}

CRefPtr<CROMMeldROMVISEImpl> CROMMeldROMVISEImpl::Create(std::span<const uint8_t> rootContainer,
                                                         std::span<const uint8_t> passPhrase)
{
    return new CROMMeldROMVISEImpl(CBCRTChainOfTrust(rootContainer, passPhrase));
}

int32_t CROMMeldROMVISEImpl::VerifyCertificateChain(IROMImage* image, CLog* log)
{
    return m_chain.VerifyCertificateChain(image, log);
}

bool CROMMeldROMVISEImpl::VerifyImageCertificate(IROMImage* image, CLog* log)
{
    const int32_t level = VerifyCertificateChain(image, log);
    m_certificationResult = static_cast<uint32_t>(level);
    if (level == kCertificationFailed)
    {
        LogFailure(log, "BCRT Error: Certificate verification failed");
        return false;
    }
    return true;
}

bool CROMMeldROMVISEImpl::VerifyAllCertificates(CLog* log)
{
    bool anyFailed = false;
    for (uint32_t index = 0; index < GetImageCount(); ++index)
    {
        const int32_t level = VerifyCertificateChain(GetImage(index).get(), log);
        m_certificationResult = static_cast<uint32_t>(level);
        anyFailed = anyFailed || level == kCertificationFailed;
    }
    if (anyFailed)
    {
        m_certificationResult = kCertificationFailed;
        LogFailure(log, "BCRT Error: KRR Certificate verification failed");
        return false;
    }
    return true;
}
