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

int32_t CROMImageBaseImpl::GetPreservationEntryOffset(uint32_t index)
{
    const int32_t table = GetPreservationTableOffset();
    if (table == -1 || GetByte(table + kVersion) < kFirstVersion)
    {
        return -1;
    }
    const uint32_t entrySize = GetByte(table + kEntrySize);
    if (entrySize < 3 || entrySize > 5)
    {
        return -1;
    }
    const uint64_t entry = uint64_t{UnsignedOffset(table)} + GetByte(table + kHeaderSize) +
                           uint64_t{index} * entrySize;
    return entry < kImageBufferSize ? static_cast<int32_t>(entry) : -1;
}

uint32_t CROMImageBaseImpl::GetPreservationEntryCount()
{
    const int32_t table = GetPreservationTableOffset();
    return table == -1 ? 0 : GetByte(table + kEntryCount);
}

int32_t CROMImageBaseImpl::GetPreservationFlagsOffset()
{
    const int32_t table = GetPreservationTableOffset();
    if (table == -1 || GetByte(table + kVersion) < kFlagsVersion)
    {
        return -1;
    }
    const uint32_t flags = GetDword(table + kFlagsOffset);
    return flags < kImageBufferSize ? static_cast<int32_t>(flags) : -1;
}

// Where the flags of an entry are kept, -1 when the table keeps none.
static int32_t EntryFlagsPlace(CROMImageBaseImpl& image, uint32_t index)
{
    // An index past the table names no entry, whatever bytes follow it.
    if (index >= image.GetPreservationEntryCount())
    {
        return -1;
    }
    const int32_t flags = image.GetPreservationFlagsOffset();
    if (flags != -1)
    {
        const uint64_t at = uint64_t{static_cast<uint32_t>(flags)} + 5 + index;
        return at < kImageBufferSize ? static_cast<int32_t>(at) : -1;
    }
    const int32_t table = image.GetPreservationTableOffset();
    if (table == -1 || image.GetByte(table + kVersion) != kFirstVersion ||
        image.GetByte(table + kEntrySize) < 5)
    {
        return -1;
    }
    const int32_t entry = image.GetPreservationEntryOffset(index);
    return entry == -1 ? -1 : entry + 4;
}

// Entry flags past the loaded image are none: reading them finds blank bytes
// and writing them would grow the image.
uint8_t CROMImageBaseImpl::GetPreservationEntryFlags(uint32_t index)
{
    const int32_t place = EntryFlagsPlace(*this, index);
    return place == -1 || !IsRangeLoaded(place, 1) ? kNoFlags : GetByte(place);
}

void CROMImageBaseImpl::SetPreservationEntryFlags(uint32_t index, uint8_t value)
{
    const int32_t place = EntryFlagsPlace(*this, index);
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
