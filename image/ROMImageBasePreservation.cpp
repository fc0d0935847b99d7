// The preservation table readers that every image kind shares, and the
// refusals of the GPU-only edits on other kinds.

#include "core/Range.h"
#include "image/PreservationTable.h"
#include "image/ROMImageBaseImpl.h"

#include <stdexcept>

using namespace preservation;

namespace
{
const char* const kNoHardwareDataArea = "No hardware data area present in image.";
} // namespace

// The readers below take the table's offset (never -1) so that a walk over
// every entry finds the table once: finding it walks the BIT's tokens.
namespace
{
int32_t PreservationEntryOffsetIn(IROMImage& image, int32_t table, uint32_t index)
{
    if (image.GetByte(table + kVersion) < kFirstVersion)
    {
        return -1;
    }
    const uint32_t entrySize = image.GetByte(table + kEntrySize);
    if (entrySize < 3 || entrySize > 5)
    {
        return -1;
    }
    const uint64_t entry =
        UnsignedOffset(table) + image.GetByte(table + kHeaderSize) + uint64_t{index} * entrySize;
    return entry < kImageBufferSize ? static_cast<int32_t>(entry) : -1;
}

int32_t PreservationFlagsOffsetIn(IROMImage& image, int32_t table)
{
    if (image.GetByte(table + kVersion) < kFlagsVersion)
    {
        return -1;
    }
    const uint32_t flags = image.GetDword(table + kFlagsOffset);
    return flags < kImageBufferSize ? static_cast<int32_t>(flags) : -1;
}

// Where the flags of an entry are kept, -1 when the table keeps none.
int32_t PreservationFlagsPlaceIn(IROMImage& image, int32_t table, uint32_t index)
{
    // An index past the table names no entry, whatever bytes follow it.
    if (index >= image.GetByte(table + kEntryCount))
    {
        return -1;
    }
    const int32_t flags = PreservationFlagsOffsetIn(image, table);
    if (flags != -1)
    {
        const uint64_t at = uint64_t{static_cast<uint32_t>(flags)} + 5 + index;
        return at < kImageBufferSize ? static_cast<int32_t>(at) : -1;
    }
    if (image.GetByte(table + kVersion) != kFirstVersion || image.GetByte(table + kEntrySize) < 5)
    {
        return -1;
    }
    const int32_t entry = PreservationEntryOffsetIn(image, table, index);
    return entry == -1 ? -1 : entry + 4;
}
} // namespace

int32_t CROMImageBaseImpl::GetPreservationEntryOffset(uint32_t index)
{
    const int32_t table = GetPreservationTableOffset();
    return table == -1 ? -1 : PreservationEntryOffsetIn(*this, table, index);
}

uint32_t CROMImageBaseImpl::GetPreservationEntryCount()
{
    const int32_t table = GetPreservationTableOffset();
    return table == -1 ? 0 : GetByte(table + kEntryCount);
}

int32_t CROMImageBaseImpl::GetPreservationFlagsOffset()
{
    const int32_t table = GetPreservationTableOffset();
    return table == -1 ? -1 : PreservationFlagsOffsetIn(*this, table);
}

// Entry flags past the loaded image are none: reading them finds blank bytes
// and writing them would grow the image.
uint8_t CROMImageBaseImpl::PreservationFlagsAt(int32_t place)
{
    return place == -1 || !IsRangeLoaded(place, 1) ? kNoFlags : GetByte(place);
}

uint8_t CROMImageBaseImpl::GetPreservationEntryFlags(uint32_t index)
{
    const int32_t table = GetPreservationTableOffset();
    return table == -1 ? kNoFlags
                       : PreservationFlagsAt(PreservationFlagsPlaceIn(*this, table, index));
}

std::vector<PreservationEntryPlace> CROMImageBaseImpl::GetPreservationEntries()
{
    const int32_t table = GetPreservationTableOffset();
    if (table == -1)
    {
        return {};
    }
    std::vector<PreservationEntryPlace> entries(GetByte(table + kEntryCount));
    for (uint32_t i = 0; i < entries.size(); ++i)
    {
        entries[i].offset = PreservationEntryOffsetIn(*this, table, i);
        entries[i].flags = PreservationFlagsAt(PreservationFlagsPlaceIn(*this, table, i));
    }
    return entries;
}

void CROMImageBaseImpl::SetPreservationEntryFlags(uint32_t index, uint8_t value)
{
    const int32_t table = GetPreservationTableOffset();
    const int32_t place = table == -1 ? -1 : PreservationFlagsPlaceIn(*this, table, index);
    if (place != -1 && IsRangeLoaded(place, 1))
    {
        SetByte(place, value);
    }
}

uint8_t CROMImageBaseImpl::GetPreservationControlByte()
{
    const int32_t flags = GetPreservationFlagsOffset();
    return flags == -1 ? kNoFlags : GetByte(flags + 4);
}

// ---- edits that need a GPU image -----------------------------------------

void CROMImageBaseImpl::SetStraps(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)
{
    throw std::domain_error(kNoHardwareDataArea);
}

void CROMImageBaseImpl::SetGUIDSource(uint32_t)
{
    throw std::domain_error(kNoHardwareDataArea);
}

int32_t CROMImageBaseImpl::GetIEEE1394GUIDOffset()
{
    throw std::domain_error(kNoHardwareDataArea);
}

uint8_t CROMImageBaseImpl::GetIEEE1394GUIDSize()
{
    throw std::domain_error(kNoHardwareDataArea);
}

void CROMImageBaseImpl::SetIEEE1394GUID(uint32_t, uint32_t)
{
    throw std::domain_error(kNoHardwareDataArea);
}

std::pair<int32_t, uint32_t> CROMImageBaseImpl::UpdateDisplayConfig()
{
    throw std::runtime_error("PCI signature not found");
}

void CROMImageBaseImpl::SetRuntimePackWord(uint16_t)
{
    throw std::runtime_error("ROM image not capable of being a run-time ROM pack image");
}
