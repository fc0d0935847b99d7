#pragma once
// What both certificate formats keep alike: the information record, the error
// code, the valid flag, the time status and the validity dates, with the
// accessors over them.

#include "common/core/crypto/Certificate.h"

class CBCRTCertBase : public CReferenceCountImpl, public IBCRTCert
{
public:
    ROMVISE_REFCOUNT_FORWARD

    bool IsValid() override { return m_valid; }
    int32_t GetErrorCode() override { return m_error; }
    int32_t GetTimeStatus() override { return m_timeStatus; }
    uint32_t GetInfoWord2() override { return m_info.word2; }
    void SetInfoWord2(uint32_t value) override { m_info.word2 = value; }
    uint32_t GetInfoWord3() override { return m_info.word3; }
    void SetInfoWord3(uint32_t value) override { m_info.word3 = value; }
    void SetCertType(uint32_t type) override { m_info.certType = type; }
    void SetOptions(uint32_t options) override { m_info.options = options; }
    uint32_t GetCertType() override { return m_info.certType; }
    uint32_t GetOptions2() override { return m_info.options2; }
    void SetOptions2(uint32_t options) override { m_info.options2 = options; }
    uint32_t GetInfoSize() override { return m_info.size; }
    BCRTCertInfo GetInfo() override { return m_info; }
    uint32_t GetOptions() override { return m_info.options; }
    int32_t GetPrivilegeCode(const char* text) override { return LookupPrivilegeCode(text); }
    void GetValidityPeriod(BCRTValidityDate& notBefore, BCRTValidityDate& notAfter) override
    {
        notBefore = m_notBefore;
        notAfter = m_notAfter;
    }
    int32_t CheckValidityPeriod(int32_t timeSource) override;

protected:
    CBCRTCertBase(uint32_t format, uint32_t options, uint32_t options2)
    {
        m_info.format = format;
        m_info.options = options;
        m_info.options2 = options2;
    }
    // Reads Not Before (1) or Not After (2); 0 or an error code.
    virtual int32_t ReadValidityDate(int32_t which, BCRTValidityDate& date) = 0;

    BCRTCertInfo m_info;
    int32_t m_error = 0;
    // The error of the parse or the signature check, which no validity
    // period can clear.
    int32_t m_structureError = 0;
    bool m_valid = false;
    int32_t m_timeStatus = 0;
    BCRTValidityDate m_notBefore;
    BCRTValidityDate m_notAfter;
};
