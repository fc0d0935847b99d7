#pragma once
// An X.509 certificate in PEM text, read from a file. Its type comes from the
// subject's OU, its issuer must carry the maker's expected name, and its
// extensions fill the process-wide attribute tables.

#include "common/core/crypto/CertificateBase.h"
#include "common/core/crypto/digitalsignature/DigitalSignature.h"

#include <array>
#include <span>

// Type bits of the subject OU table; bits 8 to 256 are vendor types.
inline constexpr uint32_t kX509MasterTypeBit = 1;
inline constexpr uint32_t kX509VendorTypeMask = 0x1F8;

// The issuer name fields every certificate of the maker must carry: a master
// certificate is issued by the root, every other one by the master.
X509NameFields ExpectedX509Issuer(bool master);
// The type bit of a subject OU text, 0 when it is unknown or absent.
uint32_t X509TypeBitOfUnit(const std::optional<std::string>& unit);

// The process-wide attribute tables; their values are those of the last
// certificate whose extensions were read into them.
std::span<X509AttributeRow> X509VendorAttributes();
std::span<X509AttributeRow> X509MasterAttributes();

class CBCRTx509Cert : public CBCRTCertBase
{
public:
    CBCRTx509Cert(const std::string& path, uint32_t options, uint32_t options2);

    std::string GetErrorText() override { return m_errorText; }
    uint32_t GetDataSize() override { return static_cast<uint32_t>(m_text.size()); }
    std::optional<std::string> GetAttribute(int32_t id, int32_t kind) override;
    const uint8_t* GetData() override { return reinterpret_cast<const uint8_t*>(m_text.data()); }
    int32_t GetOwnerId() override { return -1; }
    int32_t GetFormatVersion() override { return 1; }
    bool IsVendorCertificate() override;
    bool IsMasterCertificate() override;
    uint32_t GetGpuId() override { return 0xFFFFFFFF; }
    void Print(bool, CLog*) override {}

protected:
    int32_t ReadValidityDate(int32_t which, BCRTValidityDate& date) override;

private:
    std::string m_text;
    std::string m_fileName;
    std::string m_errorText;
};
