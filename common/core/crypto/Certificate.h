#pragma once
// IBCRTCert: a certificate found in a firmware image or read from a file,
// either the maker's byte format 2.0 (CBCRT20KRCert) or X.509 in PEM text
// (CBCRTx509Cert). Certificates never throw for bad certificate data: they keep
// an error code and a valid flag.

#include "core/RefCount.h"

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

class CLog;

// The information record GetInfo returns.
struct BCRTCertInfo
{
    uint32_t format = 0; // 2 certificate 2.0, 1 X.509
    uint32_t size = 28;
    uint32_t word2 = 0;
    uint32_t word3 = 0;
    uint32_t certType = 0;
    uint32_t options = 0;
    uint32_t options2 = 0;
};

// A calendar time; two dates compare field by field in this order.
struct BCRTValidityDate
{
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    auto operator<=>(const BCRTValidityDate&) const = default;
};

// Certificate types of format 2.0; 3 to 8 are vendor certificates.
enum BCRTCertType : uint32_t
{
    kCertTypeRoot = 1,
    kCertTypeMaster = 2,
    kCertTypeFirstVendor = 3,
    kCertTypeLastVendor = 8,
};

// Error codes of a certificate (GetErrorCode).
enum BCRTErrorCode : int32_t
{
    BCRT_ERROR_CODE_NONE = 0,
    BCRT_ERROR_CODE_NO_TIME = 11,
    BCRT_ERROR_CODE_DATE_UNREADABLE = 12,
    BCRT_ERROR_CODE_X509CERT_DATE_INVALID = 13,
    BCRT_ERROR_CODE_X509CERT_SUBJECT_INVALID = 14,
    BCRT_ERROR_CODE_X509CERT_ISSUER_INVALID = 18,
    BCRT_ERROR_CODE_CERT_BLOCK_VERSION_UNSUPPORTED = 42,
    BCRT_ERROR_CODE_CERT_BLOCK_MISSING = 43,
    BCRT_ERROR_CODE_CERT20_EXT_NOT_FOUND = 44,
    BCRT_ERROR_CODE_CERT20_SIGNATURE_NOT_FOUND = 45,
    BCRT_ERROR_CODE_CERT20_RSA1K_SIGNATURE_INVALID = 46,
    BCRT_ERROR_CODE_CERT20_UNSUPPORTED_VERSION = 48,
    BCRT_ERROR_CODE_CERT20_NO_EXTENSION_EXIST = 49,
    BCRT_ERROR_CODE_CERT20_EXT_NO_SUB_STRUCT_FOUND = 51,
    BCRT_ERROR_CODE_CERT20_TYPE_ISSUER_INVALID = 53,
    BCRT_ERROR_CODE_CERT20_DATE_TYPE_INVALID = 54,
    BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_NOT_FOUND = 56,
    BCRT_ERROR_CODE_CERT20_CERT_NO_SIG_FOUND = 57,
    BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_VERIFICATION_FAILED = 58,
    BCRT_ERROR_CODE_CERT20_CERT_NO_CA_SPEFICIFIED = 59,
    BCRT_ERROR_CODE_CERT20_CERT_FILE_ERROR_OR_NOT_FOUND = 60,
};

// Time sources of CheckValidityPeriod: 1 the local clock, anything else the
// network time source (not available in this build).
inline constexpr int32_t kTimeSourceLocalClock = 1;

// Options with bit 31 set make a certificate 2.0.
inline constexpr uint32_t kCertOptionsFormat20 = 0x80000000;

class IBCRTCert : public IReferenceCount
{
public:
    // 0, or the failed date read's code.
    virtual int32_t CheckValidityPeriod(int32_t timeSource) = 0;
    virtual bool IsValid() = 0;
    virtual int32_t GetErrorCode() = 0;
    virtual int32_t GetTimeStatus() = 0;
    virtual std::string GetErrorText() = 0;
    virtual uint32_t GetInfoWord2() = 0;
    virtual void SetInfoWord2(uint32_t value) = 0;
    virtual uint32_t GetInfoWord3() = 0;
    virtual void SetInfoWord3(uint32_t value) = 0;
    virtual void SetCertType(uint32_t type) = 0;
    virtual void SetOptions(uint32_t options) = 0;
    virtual uint32_t GetCertType() = 0;
    virtual uint32_t GetOptions2() = 0;
    virtual void SetOptions2(uint32_t options) = 0;
    virtual uint32_t GetInfoSize() = 0;
    virtual BCRTCertInfo GetInfo() = 0;
    virtual uint32_t GetOptions() = 0;
    virtual uint32_t GetDataSize() = 0;
    // The attribute's text, or nothing.
    virtual std::optional<std::string> GetAttribute(int32_t id, int32_t kind) = 0;
    virtual const uint8_t* GetData() = 0;
    virtual int32_t GetPrivilegeCode(const char* text) = 0;
    virtual void GetValidityPeriod(BCRTValidityDate& notBefore, BCRTValidityDate& notAfter) = 0;
    virtual int32_t GetOwnerId() = 0;
    virtual int32_t GetFormatVersion() = 0;
    virtual bool IsVendorCertificate() = 0;
    virtual bool IsMasterCertificate() = 0;
    virtual uint32_t GetGpuId() = 0;
    virtual void Print(bool full, CLog* log) = 0;

protected:
    ~IBCRTCert() = default;
};

// A certificate read from a file: format 2.0 when options has bit 31 set,
// else X.509 PEM text.
CRefPtr<IBCRTCert> CreateCertificate(const std::string& path, uint32_t options, uint32_t options2);

// The vendor-privilege table's code for the text; 0 for an unknown text or none.
int32_t LookupPrivilegeCode(const char* text);
// The token of the signing-profile row whose name equals the text.
std::optional<std::string> LookupSigningProfileToken(const std::string& name);
