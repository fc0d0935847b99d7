#pragma once
// The maker's certificate format 2.0: a 176-byte main structure with an
// RSA-1024 key, an optional extension area, the RSA signature and optional
// 32-byte alternate signatures at the end. Every field read is bounded by the
// certificate size, which is itself bounded by the bytes given.

#include "common/core/crypto/CertificateBase.h"

#include <span>
#include <vector>

namespace cert20
{
inline constexpr uint32_t kVersion20 = 0x20;
inline constexpr uint32_t kMainStructureSize = 176;
inline constexpr uint32_t kVersion = 0;
inline constexpr uint32_t kMainSize = 4;
inline constexpr uint32_t kSerial = 8;
inline constexpr uint32_t kCertSize = 12;
inline constexpr uint32_t kType = 16;
inline constexpr uint32_t kAlgorithm = 20;
inline constexpr uint32_t kFlags = 24;
inline constexpr uint32_t kIssuerId = 28;
inline constexpr uint32_t kOwnerId = 32;
inline constexpr uint32_t kNotBefore = 36;
inline constexpr uint32_t kNotAfter = 40;
inline constexpr uint32_t kModulus = 44;
inline constexpr uint32_t kExponent = 172;
inline constexpr uint32_t kRequiredIssuerId = 1;

// Algorithm word bytes.
inline constexpr uint8_t kHashDmOverAes128 = 1;
inline constexpr uint8_t kHashSha256 = 2;
inline constexpr uint8_t kCryptoRsa1024 = 1;
inline constexpr uint8_t kAltCrypto3Aes128 = 2;
inline constexpr uint32_t kAltSignatureSize = 32;

// Flags.
inline constexpr uint32_t kExtensionPresent = 1u << 0;
inline constexpr uint32_t kPubkeyPresent = 1u << 1;
inline constexpr uint32_t kProdAltSigPresent = 1u << 2;
inline constexpr uint32_t kDebugAltSigPresent = 1u << 3;

// Extension area header and entries.
inline constexpr uint32_t kExtensionHeaderSize = 16;
inline constexpr uint32_t kExtensionFirstOffset = 4;
inline constexpr uint32_t kExtensionCount = 12;
inline constexpr uint32_t kEntryHeaderSize = 16;
inline constexpr uint32_t kEntryNext = 4;
inline constexpr uint32_t kEntryType = 8;
inline constexpr uint32_t kEntryFlags = 12;
inline constexpr uint32_t kEntryFirst = 1u << 0;
inline constexpr uint32_t kEntryLast = 1u << 1;
// Extension data at or above this size is not looked up.
inline constexpr uint32_t kMaxExtensionData = 2048;

enum ExtensionType : uint32_t
{
    kExtTimeServer = 1,
    kExtSigningProfile = 2,
    kExtExpirationDays = 3,
    kExtVendorPrivilege = 4,
    kExtVendorName = 5,
    kExtEcid = 6,
    kExtPsdl = 8,
    kExtRandom = 9,
    kExtGpuId = 10,
    kExtDeviceId = 11,
};
} // namespace cert20

class CBCRT20KRCert : public CBCRTCertBase
{
public:
    // Reads the file; valid when it parses and the local clock lies in its
    // validity period.
    CBCRT20KRCert(const std::string& path, uint32_t options, uint32_t options2);
    // Parses the bytes; no signature and no validity check.
    CBCRT20KRCert(std::span<const uint8_t> bytes, uint32_t options, uint32_t options2);
    // Parses the bytes and checks the signature with the issuer's key.
    CBCRT20KRCert(std::span<const uint8_t> bytes, std::span<const uint8_t> issuer, uint32_t options,
                  uint32_t options2);

    std::string GetErrorText() override { return {}; }
    uint32_t GetDataSize() override { return static_cast<uint32_t>(m_bytes.size()); }
    std::optional<std::string> GetAttribute(int32_t id, int32_t kind) override;
    const uint8_t* GetData() override { return m_bytes.data(); }
    int32_t GetOwnerId() override;
    int32_t GetFormatVersion() override { return 2; }
    bool IsVendorCertificate() override;
    bool IsMasterCertificate() override;
    uint32_t GetGpuId() override;
    void Print(bool full, CLog* log) override;

    // The vendor name (extension 5), empty without it.
    std::string GetExtensionText();

    struct Extension
    {
        int32_t code = 0;
        uint32_t entry = 0;        // offset of the entry header in the certificate
        std::vector<uint8_t> data; // the data and one zero byte
    };
    Extension FindExtension(uint32_t type);
    // Not Before (1) or Not After (2); 54 for another selector.
    int32_t GetValidityDate(int32_t which, BCRTValidityDate& date);
    int32_t VerifySignature();

    // The public key of the certificate (bytes 44 to 171) and its exponent;
    // only for a certificate that parsed.
    std::span<const uint8_t, 128> GetModulus() const;
    uint32_t GetExponent() const { return Word(cert20::kExponent); }
    uint32_t GetFlags() const { return Word(cert20::kFlags); }

protected:
    int32_t ReadValidityDate(int32_t which, BCRTValidityDate& date) override
    {
        return GetValidityDate(which, date);
    }

private:
    void Parse();
    int32_t CheckHeader();
    // A 32-bit word of the certificate; the caller has checked it lies inside.
    uint32_t Word(uint32_t at) const;
    uint8_t AlgorithmByte(uint32_t index) const
    {
        return static_cast<uint8_t>(Word(cert20::kAlgorithm) >> (8 * index));
    }
    bool HasMainStructure() const { return m_bytes.size() >= cert20::kMainStructureSize; }
    // The sections Print writes.
    void PrintMainStructure(std::ostream& out);
    void PrintPublicKey(std::ostream& out, uint8_t crypto);
    void PrintExtensions(std::ostream& out);
    void PrintRsa1024Signatures(std::ostream& out);
    std::optional<std::string> ExtensionText(uint32_t type);

    std::string m_fileName;
    std::vector<uint8_t> m_bytes;
    std::vector<uint8_t> m_issuer;
    bool m_hasIssuer = false;
    // Offset of the extension base (the byte after the area's header), 0 when
    // the certificate has no extension area.
    uint32_t m_extensionBase = 0;
};
