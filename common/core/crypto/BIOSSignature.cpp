// The signature record object: its headers, templates, ranges and the merge
// of adjacent preserved-data ranges.

#include "common/core/crypto/BIOSSignature.h"

#include "core/ByteOrder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <tuple>

namespace
{
constexpr uint32_t kHeaderSize = 36;
constexpr uint32_t kHeaderV2Size = 28;
constexpr uint32_t kExtraSize = 80;

void PutWord(uint8_t* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
    {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Sort order of signed ranges: kind, instance, code type, base instance,
// offset, all unsigned.
auto RangeKey(const BCRTSignedRange& r)
{
    return std::make_tuple(r.Kind(), r.Instance(), r.CodeType(), r.BaseInstance(), r.offset);
}

// Sort order of preserved ranges: kind byte of word 0, code type and base
// instance of word 2, offset in word 1.
auto PreservedKey(const uint32_t* record)
{
    return std::make_tuple((record[0] >> 8) & 0xFF, record[2] >> 24, (record[2] >> 20) & 0xF,
                           record[1]);
}

class CBCRTBIOSSignatureImpl : public CBCRTBIOSSignature, public CReferenceCountImpl
{
public:
    CBCRTBIOSSignatureImpl()
    {
        PutWord(m_header.data(), 1);
        PutWord(m_header.data() + 4, kHeaderSize);
        PutWord(m_headerV2.data(), 2);
        PutWord(m_headerV2.data() + 4, kHeaderV2Size);
    }

    int32_t AddRef() override { return CReferenceCountImpl::AddRef(); }
    int32_t Release() override { return CReferenceCountImpl::Release(); }

    uint32_t GetReserved() override { return m_reserved; }
    uint32_t GetHeaderKind() override { return LoadLE32(GetHeader()); }
    uint32_t GetSignatureSize() override
    {
        if (!m_useHeaderV2)
        {
            return LoadLE32(m_header.data() + 16) & 0xFFFF;
        }
        switch (m_headerV2[9])
        {
        case 1:
            return 16;
        case 2:
            return 128;
        case 4:
            return 384;
        case 5:
            return 32;
        default:
            return 0;
        }
    }
    bool IsHeaderV2() override { return m_useHeaderV2; }
    uint16_t GetSignatureSize16() override { return static_cast<uint16_t>(GetSignatureSize()); }
    uint8_t GetCryptoType() override { return GetHeader()[9]; }
    uint8_t GetHashType() override { return GetHeader()[8]; }
    const uint8_t* GetPciHeaderTemplate() override
    {
        m_pciTemplate[0x18] = 0x20;
        m_pciTemplate[0x19] = 0x00;
        return m_pciTemplate.data();
    }
    uint32_t GetPciHeaderTemplateSize() override { return 56; }
    const uint8_t* GetNbsiHeaderTemplate() override { return kNbsiHeader.data(); }
    uint32_t GetNbsiHeaderTemplateSize() override { return 12; }
    const uint8_t* GetNbsiObjectTemplate() override { return kNbsiObject.data(); }
    uint32_t GetNbsiObjectTemplateSize() override { return 16; }
    const uint8_t* GetHeader() override
    {
        return m_useHeaderV2 ? m_headerV2.data() : m_header.data();
    }
    uint32_t GetHeaderSize() override { return m_useHeaderV2 ? kHeaderV2Size : kHeaderSize; }
    const std::string& GetName() override { return m_name; }
    uint8_t* GetBuffer1() override { return nullptr; }
    uint8_t* GetBuffer2() override { return nullptr; }
    void AddSignedRange(uint32_t offset, uint32_t size, uint32_t attributes) override
    {
        m_ranges.push_back({offset, size, attributes});
    }
    std::vector<BCRTSignedRange> GetSignedRanges() override { return m_ranges; }
    std::vector<BCRTSignedRange>& GetSignedRangeList() override { return m_ranges; }
    const std::array<uint32_t, 4>& GetRecordHeader() override { return m_recordHeader; }
    void SetRecordHeaderWords(uint32_t word2, uint32_t word3) override
    {
        m_recordHeader[2] = word2;
        m_recordHeader[3] = word3;
    }
    uint32_t GetVersion() override { return m_recordHeader[0]; }
    void SetVersion(uint32_t version) override { m_recordHeader[0] = version; }
    void MergeSignedRanges() override;
    void DoNothing(uint32_t, uint32_t) override {}
    void SetSigningCertificate(const uint8_t* data, uint32_t size) override
    {
        m_signingData = data;
        m_signingSize = size;
    }
    const uint8_t* GetSigningCertificateData() override { return m_signingData; }
    uint32_t GetSigningCertificateSize() override { return m_signingSize; }
    void AddPreservedRange(const BCRTPreservedRange& range) override
    {
        m_preservedRanges.push_back(range);
    }
    std::vector<BCRTPreservedRange> GetPreservedRanges() override { return m_preservedRanges; }
    std::vector<BCRTPreservedRange>& GetPreservedRangeList() override { return m_preservedRanges; }
    void AddPreservedEntry(const BCRTPreservedEntry& entry) override
    {
        m_preservedEntries.push_back(entry);
    }
    std::vector<BCRTPreservedEntry> GetPreservedEntries() override { return m_preservedEntries; }
    std::vector<BCRTPreservedEntry>& GetPreservedEntryList() override { return m_preservedEntries; }
    void SetExtraData(const uint8_t* bytes) override
    {
        std::memcpy(m_extra.data(), bytes, kExtraSize);
    }
    void SetHeaderV2(const uint8_t* bytes) override
    {
        std::memcpy(m_headerV2.data(), bytes, kHeaderV2Size);
    }
    const uint8_t* GetExtraData() override { return m_extra.data(); }
    void SortPreservedLists() override
    {
        std::stable_sort(m_preservedRanges.begin(), m_preservedRanges.end(),
                         [](const auto& a, const auto& b)
                         { return PreservedKey(a.data()) < PreservedKey(b.data()); });
        std::stable_sort(m_preservedEntries.begin(), m_preservedEntries.end(),
                         [](const auto& a, const auto& b)
                         { return PreservedKey(a.data()) < PreservedKey(b.data()); });
    }

    // Never opened: kept for the record's file form.
    bool StreamFailed() const { return m_stream.fail() || m_stream.bad(); }

private:
    static constexpr std::array<uint8_t, 12> kNbsiHeader{'I', 'S', 'B', 'N', 12,   0,
                                                         0,   0,   1,   1,   0x42, 0x56};
    static constexpr std::array<uint8_t, 16> kNbsiObject{0,    0,    0,  0, 0, 0, 0,    0,
                                                         0x42, 0x56, 16, 0, 0, 0, 0x00, 0x01};

    uint32_t m_reserved = 0;
    std::string m_name;
    const uint8_t* m_signingData = nullptr;
    uint32_t m_signingSize = 0;
    std::ifstream m_stream;
    std::array<uint8_t, kHeaderSize> m_header{};
    std::array<uint32_t, 4> m_recordHeader{1, 16, 0, 0};
    bool m_useHeaderV2 = false;
    std::array<uint8_t, kHeaderV2Size> m_headerV2{};
    std::vector<BCRTSignedRange> m_ranges;
    std::array<uint8_t, kExtraSize> m_extra{};
    std::vector<BCRTPreservedRange> m_preservedRanges;
    std::vector<BCRTPreservedEntry> m_preservedEntries;
    std::array<uint8_t, 56> m_pciTemplate{
        0x55, 0xAA, 0, 0, 0,    0,    0, 0, 0, 0, 0,    0, 0, 0,   0,    0,    0,   0,    0,
        0,    0,    0, 0, 0,    0x20, 0, 0, 0, 0, 0,    0, 0, 'P', 'C',  'I',  'R', 0x2B, 0x7E,
        0,    0,    0, 0, 0x18, 0,    0, 0, 0, 0, 0x38, 0, 0, 0,   0x70, 0x80, 0,   0};
};

void CBCRTBIOSSignatureImpl::MergeSignedRanges()
{
    std::stable_sort(m_ranges.begin(), m_ranges.end(),
                     [](const BCRTSignedRange& a, const BCRTSignedRange& b)
                     { return RangeKey(a) < RangeKey(b); });
    constexpr uint32_t kIgnoredBits = 0x000F0000;
    std::vector<BCRTSignedRange> merged;
    std::optional<size_t> kept;
    for (const BCRTSignedRange& range : m_ranges)
    {
        if (range.Kind() != BCRT_RANGE_PRESERVE_DATA)
        {
            merged.push_back(range);
            continue;
        }
        if (kept)
        {
            BCRTSignedRange& last = merged[*kept];
            if ((last.attributes & ~kIgnoredBits) == (range.attributes & ~kIgnoredBits) &&
                uint64_t{last.offset} + last.size == range.offset)
            {
                last.size += range.size;
                continue;
            }
        }
        merged.push_back(range);
        kept = merged.size() - 1;
    }
    m_ranges = std::move(merged);
}
} // namespace

CRefPtr<CBCRTBIOSSignature> CreateBIOSSignature()
{
    return CRefPtr<CBCRTBIOSSignature>(new CBCRTBIOSSignatureImpl());
}
