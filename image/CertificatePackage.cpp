// The bounded walk over the certification package of a certificate block.

#include "image/CertificatePackage.h"

#include "core/Range.h"

#include <algorithm>

using namespace certblock;

uint64_t CertificateBlockLimit(IROMImage& image)
{
    const int32_t block = image.FindNthPCIBlock(kCodeType, 0);
    if (block == -1)
    {
        return 0;
    }
    const int32_t last = image.GetPCIBlockEnd(block);
    if (last == -1)
    {
        return 0;
    }
    return std::min<uint64_t>(UnsignedOffset(last) + 1, ImageViewSize(image));
}

bool ReadPackageEntry(IROMImage& image, int32_t package, uint64_t at, uint64_t limit,
                      CertPackageEntry& entry)
{
    if (!RangeFits(at, kEntryHeaderSize, limit))
    {
        return false;
    }
    const auto offset = static_cast<int32_t>(at);
    entry.offset = offset;
    entry.kind = image.GetDword(offset + static_cast<int32_t>(kEntryKind));
    entry.headerSize = image.GetDword(offset + static_cast<int32_t>(kEntryHeaderSizeField));
    entry.next = image.GetDword(offset + static_cast<int32_t>(kEntryNext));
    entry.type = image.GetDword(offset + static_cast<int32_t>(kEntryType));
    entry.attributes = image.GetDword(offset + static_cast<int32_t>(kEntryAttributes));
    const uint64_t certificate = at + entry.headerSize;
    const uint64_t end = UnsignedOffset(package) + entry.next;
    return entry.headerSize >= kEntryHeaderSize && certificate <= end && end <= limit;
}

CCertPackageWalker::CCertPackageWalker(IROMImage& image, int32_t package, uint64_t start)
    : m_image(image), m_package(package), m_limit(CertificateBlockLimit(image)), m_cursor(start)
{
}

bool CCertPackageWalker::Next(CertPackageEntry& entry)
{
    if (m_done || m_count >= kMaxEntries)
    {
        return false;
    }
    if (!ReadPackageEntry(m_image, m_package, m_cursor, m_limit, entry))
    {
        m_done = true;
        m_malformed = true;
        return false;
    }
    ++m_count;
    // Every certificate ends where the next entry starts, after its own
    // header: the walk only moves forward.
    m_cursor = UnsignedOffset(m_package) + entry.next;
    if (entry.IsLast())
    {
        m_done = true;
        m_endedOnLast = true;
    }
    return true;
}
