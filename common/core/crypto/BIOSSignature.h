#pragma once
// CBCRTBIOSSignature: the signature record of a signed image in memory, as the
// chain check rebuilds it from the BCRTHAT: the signed ranges, the signing
// certificate (bytes that stay owned by the image), the headers of the
// signature block and the templates of the certificate block's first bytes.

#include "core/RefCount.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One range of the signature record.
struct BCRTSignedRange
{
    uint32_t offset = 0;
    uint32_t size = 0;
    uint32_t attributes = 0;

    uint8_t Instance() const { return static_cast<uint8_t>(attributes); }
    uint8_t Kind() const { return static_cast<uint8_t>(attributes >> 8); }
    uint8_t BaseInstance() const { return static_cast<uint8_t>((attributes >> 20) & 0xF); }
    uint8_t CodeType() const { return static_cast<uint8_t>(attributes >> 24); }
    bool operator==(const BCRTSignedRange&) const = default;
};

// Range kinds.
enum BCRTRangeKind : uint8_t
{
    BCRT_RANGE_PRESERVE_DATA = 1,
    BCRT_RANGE_PRESERVE_SIGNATURE = 2,
    BCRT_RANGE_PRESERVE_HASH = 4,
    BCRT_RANGE_IFR = 7,
    BCRT_RANGE_BODY = 8,
    BCRT_RANGE_PACKAGE = 16,
};

using BCRTPreservedRange = std::array<uint32_t, 7>;
using BCRTPreservedEntry = std::array<uint32_t, 8>;

class CBCRTBIOSSignature : public IReferenceCount
{
public:
    virtual uint32_t GetReserved() = 0;
    virtual uint32_t GetHeaderKind() = 0;
    virtual uint32_t GetSignatureSize() = 0;
    virtual bool IsHeaderV2() = 0;
    virtual uint16_t GetSignatureSize16() = 0;
    virtual uint8_t GetCryptoType() = 0;
    virtual uint8_t GetHashType() = 0;
    virtual const uint8_t* GetPciHeaderTemplate() = 0;
    virtual uint32_t GetPciHeaderTemplateSize() = 0;
    virtual const uint8_t* GetNbsiHeaderTemplate() = 0;
    virtual uint32_t GetNbsiHeaderTemplateSize() = 0;
    virtual const uint8_t* GetNbsiObjectTemplate() = 0;
    virtual uint32_t GetNbsiObjectTemplateSize() = 0;
    virtual const uint8_t* GetHeader() = 0;
    virtual uint32_t GetHeaderSize() = 0;
    virtual const std::string& GetName() = 0;
    virtual uint8_t* GetBuffer1() = 0;
    virtual uint8_t* GetBuffer2() = 0;
    virtual void AddSignedRange(uint32_t offset, uint32_t size, uint32_t attributes) = 0;
    virtual std::vector<BCRTSignedRange> GetSignedRanges() = 0;
    virtual std::vector<BCRTSignedRange>& GetSignedRangeList() = 0;
    virtual const std::array<uint32_t, 4>& GetRecordHeader() = 0;
    virtual void SetRecordHeaderWords(uint32_t word2, uint32_t word3) = 0;
    virtual uint32_t GetVersion() = 0;
    virtual void SetVersion(uint32_t version) = 0;
    virtual void MergeSignedRanges() = 0;
    virtual void DoNothing(uint32_t, uint32_t) = 0;
    virtual void SetSigningCertificate(const uint8_t* data, uint32_t size) = 0;
    virtual const uint8_t* GetSigningCertificateData() = 0;
    virtual uint32_t GetSigningCertificateSize() = 0;
    virtual void AddPreservedRange(const BCRTPreservedRange& range) = 0;
    virtual std::vector<BCRTPreservedRange> GetPreservedRanges() = 0;
    virtual std::vector<BCRTPreservedRange>& GetPreservedRangeList() = 0;
    virtual void AddPreservedEntry(const BCRTPreservedEntry& entry) = 0;
    virtual std::vector<BCRTPreservedEntry> GetPreservedEntries() = 0;
    virtual std::vector<BCRTPreservedEntry>& GetPreservedEntryList() = 0;
    virtual void SetExtraData(const uint8_t* bytes) = 0;
    virtual void SetHeaderV2(const uint8_t* bytes) = 0;
    virtual const uint8_t* GetExtraData() = 0;
    virtual void SortPreservedLists() = 0;

protected:
    ~CBCRTBIOSSignature() = default;
};

CRefPtr<CBCRTBIOSSignature> CreateBIOSSignature();
