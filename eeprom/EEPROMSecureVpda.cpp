// The write ranges of a secure image write, from the certificate-information
// block the image verification returned, if any; and the acceptance of one
// image for a secure write (see the end of the file). Every protected area (VPDA entry)
// travels in one program command, regions 2 and 3 together in multiples of
// 512 bytes, and the gaps between them in pieces of at most 8 KiB. The result
// is accepted only when it covers the span exactly, so that no byte is written
// twice, none is skipped, and none past the span is taken from the image.

#include "eeprom/EEPROMSecureFlashImpl.h"

#include "common/core/crypto/ChainOfTrust.h"
#include "common/core/crypto/digitalsignature/Digests.h"
#include "core/Range.h"
#include "eeprom/EEPROMBaseImpl.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

namespace
{
constexpr uint32_t kEntryCountOffset = 0x0C;
constexpr uint32_t kBaseOffset = 0x24;
constexpr uint32_t kRegionTableOffset = 0x28;
constexpr uint32_t kFinalizedOffset = 0x48;
constexpr uint32_t kEntriesOffset = 0x50;
constexpr uint32_t kEntrySize = 28;
constexpr uint32_t kRegionCount = 4;
constexpr uint64_t kGapPiece = 8192;
constexpr uint64_t kRegion23Unit = 512;
constexpr uint32_t kHasCertificateInformation = 1;
constexpr uint8_t kEntryTypeRegion = 2;
constexpr uint8_t kEntryTypeRegion2 = 3;

const char* const kMalformed =
    "Certificate information block is malformed. VBIOS Security Check failed";
const char* const kNotFinalized = "VPDA not finalized. VBIOS Security Check failed";
const char* const kNotCovering =
    "VPDA write ranges do not cover the image exactly. VBIOS Security Check failed";

class CBlockReader
{
public:
    explicit CBlockReader(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}

    uint32_t Word(uint64_t offset) const
    {
        if (!RangeFits(offset, 4, m_bytes.size()))
        {
            throw std::domain_error(kMalformed);
        }
        return uint32_t{m_bytes[offset]} | uint32_t{m_bytes[offset + 1]} << 8 |
               uint32_t{m_bytes[offset + 2]} << 16 | uint32_t{m_bytes[offset + 3]} << 24;
    }

private:
    const std::vector<uint8_t>& m_bytes;
};

struct Entry
{
    uint8_t type;
    uint32_t offset;
    uint32_t length;
    uint32_t selectorWord;
};

// The region an entry's selector names, if any.
std::optional<uint32_t> RegionOf(uint32_t selectorWord)
{
    if (selectorWord < 0x01000000)
    {
        return 0;
    }
    switch (selectorWord >> 24)
    {
    case 0x70:
        return 2;
    case 0xE0:
        return 1;
    default:
        return std::nullopt;
    }
}

class CRangeCutter
{
public:
    CRangeCutter(const KestrixCertificateInformation& info, uint64_t start, uint64_t end)
        : m_block(info.bytes), m_pos(start), m_start(start), m_end(end)
    {
    }

    // The write ranges; `protectedAreas` gets those of entries and regions.
    std::vector<VpdaWriteRange> Cut(std::vector<VpdaWriteRange>& protectedAreas)
    {
        ReadRegions();
        Cut();
        protectedAreas = std::move(m_protected);
        return m_ranges;
    }

private:
    void Cut()
    {
        const uint64_t base = m_block.Word(kBaseOffset);
        if (m_pos < base && m_end > m_start)
        {
            Add(m_pos, base - m_pos, false);
            m_pos = base;
            if (Done())
            {
                return;
            }
        }
        const uint32_t count = m_block.Word(kEntryCountOffset) & 0xFF;
        std::optional<uint64_t> previousStart;
        std::optional<uint64_t> previousEnd;
        std::optional<uint64_t> lastStart = m_start;
        for (uint32_t i = 0; i < count; ++i)
        {
            const Entry entry = ReadEntry(i);
            const std::optional<uint64_t> start = StartOf(entry, lastStart);
            lastStart = start;
            const std::optional<uint64_t> end =
                start ? std::optional<uint64_t>(*start + entry.length) : std::nullopt;
            if (Step(previousStart, previousEnd, start, end, entry.length))
            {
                return;
            }
            previousStart = start;
            previousEnd = end;
        }
    }

    void ReadRegions()
    {
        const uint64_t base = m_block.Word(kBaseOffset);
        for (uint32_t k = 0; k < kRegionCount; ++k)
        {
            m_regionStart[k] = base + m_block.Word(kRegionTableOffset + 8 * k);
            m_regionSize[k] = m_block.Word(kRegionTableOffset + 8 * k + 4);
        }
        // Regions 2 and 3 are written together in whole 512-byte units.
        const uint64_t together = m_regionSize[2] + m_regionSize[3];
        m_region3End = m_regionStart[3] + m_regionSize[3] +
                       (kRegion23Unit - together % kRegion23Unit) % kRegion23Unit;
    }

    Entry ReadEntry(uint32_t index) const
    {
        const uint64_t at = kEntriesOffset + uint64_t{index} * kEntrySize;
        // An entry is whole or the block is not to be trusted.
        m_block.Word(at + kEntrySize - 4);
        const uint32_t word2 = m_block.Word(at + 8);
        return {static_cast<uint8_t>(m_block.Word(at) >> 8), m_block.Word(at + 4), word2 & 0xFFFFF,
                word2};
    }

    // An entry of another type starts where the one before it started.
    std::optional<uint64_t> StartOf(const Entry& entry, std::optional<uint64_t> lastStart) const
    {
        if (entry.type == kEntryTypeRegion)
        {
            const std::optional<uint32_t> region = RegionOf(entry.selectorWord);
            return region ? std::optional<uint64_t>(m_regionStart[*region] + entry.offset)
                          : std::nullopt;
        }
        if (entry.type == kEntryTypeRegion2)
        {
            return m_regionStart[2] + entry.offset;
        }
        return lastStart;
    }

    // One entry's gap, the entry, region 3 and the tail; true when the span
    // is complete.
    bool Step(std::optional<uint64_t> previousStart, std::optional<uint64_t> previousEnd,
              std::optional<uint64_t> start, std::optional<uint64_t> end, uint32_t length)
    {
        const uint64_t gapEnd = start.value_or(UINT64_MAX);
        if (previousStart && m_pos >= *previousEnd && m_pos < gapEnd)
        {
            while (m_pos < gapEnd && m_pos < m_end)
            {
                const uint64_t piece = std::min({kGapPiece, gapEnd - m_pos, m_end - m_pos});
                Add(m_pos, piece, false);
                m_pos += piece;
            }
            if (Done())
            {
                return true;
            }
        }
        if (start && *start <= m_pos && m_pos < *end)
        {
            Add(*start, length, true);
            m_pos = *end;
            if (Done())
            {
                return true;
            }
        }
        if (m_regionStart[3] <= m_pos && m_pos < m_region3End)
        {
            Add(m_regionStart[3], m_region3End - m_regionStart[3], true);
            m_pos = m_region3End;
            if (Done())
            {
                return true;
            }
        }
        if (m_pos >= m_region3End)
        {
            while (m_pos < m_end)
            {
                const uint64_t piece = std::min(kGapPiece, m_end - m_pos);
                Add(m_pos, piece, false);
                m_pos += piece;
            }
            return true;
        }
        return false;
    }

    bool Done() const { return m_pos >= m_end; }

    void Add(uint64_t offset, uint64_t length, bool isProtected)
    {
        // A range that does not fit 32 bits can never tile a 32-bit span.
        if (offset > UINT32_MAX || length > UINT32_MAX)
        {
            throw std::domain_error(kNotCovering);
        }
        m_ranges.push_back({static_cast<uint32_t>(offset), static_cast<uint32_t>(length)});
        if (isProtected)
        {
            m_protected.push_back(m_ranges.back());
        }
    }

    CBlockReader m_block;
    uint64_t m_pos;
    uint64_t m_start;
    uint64_t m_end;
    std::array<uint64_t, kRegionCount> m_regionStart{};
    std::array<uint64_t, kRegionCount> m_regionSize{};
    uint64_t m_region3End = 0;
    std::vector<VpdaWriteRange> m_ranges;
    std::vector<VpdaWriteRange> m_protected;
};

void RequireExactTiling(const std::vector<VpdaWriteRange>& ranges, uint64_t start, uint64_t end)
{
    uint64_t next = start;
    for (const VpdaWriteRange& range : ranges)
    {
        if (range.offset != next || range.length == 0)
        {
            throw std::domain_error(kNotCovering);
        }
        next += range.length;
    }
    if (next != end)
    {
        throw std::domain_error(kNotCovering);
    }
}
} // namespace

std::vector<VpdaWriteRange> ComputeVpdaWriteRanges(const KestrixCertificateInformation& info,
                                                   uint32_t offset, uint32_t count)
{
    std::vector<VpdaWriteRange> protectedAreas;
    return ComputeVpdaWriteRanges(info, offset, count, protectedAreas);
}

std::vector<VpdaWriteRange> ComputeVpdaWriteRanges(const KestrixCertificateInformation& info,
                                                   uint32_t offset, uint32_t count,
                                                   std::vector<VpdaWriteRange>& protectedAreas)
{
    protectedAreas.clear();
    // A verification without the block leaves the write to data-buffer
    // pieces; a block it announced must be whole.
    if (!(info.flags & kHasCertificateInformation))
    {
        return {};
    }
    if (!(CBlockReader(info.bytes).Word(kFinalizedOffset) & 1))
    {
        throw std::domain_error(kNotFinalized);
    }
    const uint64_t end = uint64_t{offset} + count;
    if (count == 0)
    {
        return {};
    }
    std::vector<VpdaWriteRange> ranges = CRangeCutter(info, offset, end).Cut(protectedAreas);
    RequireExactTiling(ranges, offset, end);
    return ranges;
}

// The acceptance of one image: the bytes its check vouched for and their
// digest, and the test that an image about to be written carries those
// bytes. The whole image is bound only when nothing names the checked bytes:
// the board's block is appended after the check and the verification fills
// the certificate-information block, neither in a signed range; a
// segment-only write passes when the spliced image keeps the signed bytes in
// their places.

namespace
{
// The signed ranges of the image as the chain of trust finds them.
std::vector<VpdaWriteRange> SignedRangesOf(IROMImage& image)
{
    std::vector<SignedImageRange> located;
    try
    {
        located = CBCRTChainOfTrust().LocateSignedRanges(&image);
    }
    catch (const std::exception&)
    {
        // A record that cannot be read names no range: the whole image is
        // bound instead.
        return {};
    }
    std::vector<VpdaWriteRange> ranges;
    for (const SignedImageRange& range : located)
    {
        if (!RangeFits(range.offset, range.length, kImageBufferSize))
        {
            return {};
        }
        ranges.push_back({static_cast<uint32_t>(range.offset), static_cast<uint32_t>(range.length)});
    }
    return ranges;
}

// The digest of the ranges' places and bytes, read from the buffer the
// image offsets count from; nothing when a range lies outside it.
std::optional<std::array<uint8_t, 32>> DigestOf(IROMImage& image,
                                                const std::vector<VpdaWriteRange>& ranges)
{
    const uint8_t* bytes = IROMImage::ReadOnlyBuffer(&image);
    const uint64_t limit = ImageBufferLimit(&image);
    std::vector<uint8_t> message;
    for (const VpdaWriteRange& range : ranges)
    {
        if (!RangeFits(range.offset, range.length, limit))
        {
            return std::nullopt;
        }
        for (const uint32_t word : {range.offset, range.length})
        {
            for (int shift = 0; shift < 32; shift += 8)
            {
                message.push_back(static_cast<uint8_t>(word >> shift));
            }
        }
        message.insert(message.end(), bytes + range.offset, bytes + range.offset + range.length);
    }
    std::array<uint8_t, 32> digest{};
    Sha256(message.data(), message.size(), digest.data());
    return digest;
}
} // namespace

SecureWriteVerdict BindSecureWriteVerdict(IROMImage& image,
                                          const std::vector<VpdaWriteRange>& protectedAreas)
{
    SecureWriteVerdict verdict;
    // The signed ranges are found as the check found them, in the image's
    // own view, and count from the start of its buffer, which is where the
    // image is written: the bytes are read with the window off.
    verdict.ranges = SignedRangesOf(image);
    verdict.ranges.insert(verdict.ranges.end(), protectedAreas.begin(), protectedAreas.end());
    COffsetModeScope wholeBuffer(&image, false);
    if (verdict.ranges.empty())
    {
        // Nothing says which bytes were checked: all of them were.
        verdict.ranges.push_back({0, image.GetLoadedSize()});
    }
    const std::optional<std::array<uint8_t, 32>> digest = DigestOf(image, verdict.ranges);
    if (!digest)
    {
        // Unreachable for ranges found in the image; an empty verdict then
        // matches no image.
        verdict.ranges.clear();
        return verdict;
    }
    verdict.digest = *digest;
    return verdict;
}

bool ImageMatchesVerdict(IROMImage& image, const SecureWriteVerdict& verdict)
{
    if (verdict.ranges.empty())
    {
        return false;
    }
    const std::optional<std::array<uint8_t, 32>> digest = DigestOf(image, verdict.ranges);
    return digest && *digest == verdict.digest;
}
