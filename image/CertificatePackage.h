#pragma once
// The certificate block of a signed GPU image (a PCI block of code type 0x70):
// its layout, and the bounded walk over the certification package that the
// image's certificate operations and the chain-of-trust check share. Every
// entry, and every offset read from one, must lie inside the certificate
// block and inside the loaded bytes.

#include "image/IROMImage.h"

#include <cstdint>

namespace certblock
{
inline constexpr uint8_t kCodeType = 0x70;
// "ISBN" directory header right after the PCI data structure; the package
// follows its 12-byte header and one 16-byte object record.
inline constexpr uint32_t kDirectorySignature = 0x4E425349;
inline constexpr uint32_t kPackageFromDirectory = 28;

// Package entries.
inline constexpr uint32_t kEntryHeaderSize = 28;
inline constexpr uint32_t kEntryKind = 0;
inline constexpr uint32_t kEntryHeaderSizeField = 4;
inline constexpr uint32_t kEntryNext = 12;
inline constexpr uint32_t kEntryType = 16;
inline constexpr uint32_t kEntryAttributes = 24;
inline constexpr uint32_t kAttributeLast = 1u << 1;
inline constexpr uint32_t kAttributeSkipVendor = 1u << 31;
inline constexpr uint32_t kMaxEntries = 51;
inline constexpr uint32_t kKindX509 = 1;
inline constexpr uint32_t kKindCert20 = 2;

// The signature record (BCRTHAT) and its ranges.
inline constexpr uint32_t kHatVersion = 0;
inline constexpr uint32_t kHatHeaderSize = 4;
inline constexpr uint32_t kHatRangeCount = 8;
inline constexpr uint32_t kHatMinimumHeader = 16;
inline constexpr uint32_t kRangeSize = 12;

// The signature block.
inline constexpr uint32_t kSignatureBlockHeader = 36;
inline constexpr uint32_t kSignatureHeaderSize = 4;
inline constexpr uint32_t kSignatureSize = 16;
inline constexpr uint32_t kSignatureHashSize = 20;
inline constexpr uint32_t kSignatureFlags = 32;
inline constexpr uint32_t kFlagCertInfoBlock = 1u << 2;
inline constexpr uint32_t kBodyHashSize = 16;

// The certificate-information block's length word.
inline constexpr uint32_t kCertInfoLength = 20;
inline constexpr uint32_t kCertInfoMinimum = 24;
} // namespace certblock

// One entry of the certification package as the walk read it.
struct CertPackageEntry
{
    int32_t offset = -1;
    uint32_t kind = 0;
    uint32_t headerSize = 0;
    uint32_t next = 0; // from the package start
    uint32_t type = 0;
    uint32_t attributes = 0;

    bool IsLast() const { return (attributes & certblock::kAttributeLast) != 0; }
    // The certificate: from the end of the header to the next entry.
    int32_t CertificateOffset() const { return offset + static_cast<int32_t>(headerSize); }
};

// The end (exclusive) of the certificate block that holds the package,
// bounded by the loaded bytes; 0 when the image has no such block.
uint64_t CertificateBlockLimit(IROMImage& image);

// Reads the package entry at the offset; false when its header does not lie
// inside the limit, or when its certificate would end before its header or
// past the limit.
bool ReadPackageEntry(IROMImage& image, int32_t package, uint64_t at, uint64_t limit,
                      CertPackageEntry& entry);

// Steps through the package entries from a start entry: after the last-marked
// entry, at a malformed one, or after kMaxEntries entries it ends.
class CCertPackageWalker
{
public:
    CCertPackageWalker(IROMImage& image, int32_t package, uint64_t start);
    // The next entry; false when the walk has ended.
    bool Next(CertPackageEntry& entry);
    uint32_t Count() const { return m_count; }
    bool EndedOnLast() const { return m_endedOnLast; }
    bool Malformed() const { return m_malformed; }

private:
    IROMImage& m_image;
    int32_t m_package;
    uint64_t m_limit;
    uint64_t m_cursor;
    uint32_t m_count = 0;
    bool m_done = false;
    bool m_endedOnLast = false;
    bool m_malformed = false;
};
