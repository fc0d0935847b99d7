// GPU UEFI driver file: the GPU support list.

#include "image/ROMImageGPUEFIImpl.h"

#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace
{
constexpr std::array<uint8_t, 8> kSupportListMagic = {0x9B, 0xAF, 0x2B, 0xA0, 'R', 'U', 'S', 'H'};
constexpr int32_t kVersionOffset = 8;
constexpr int32_t kDriverTypeOffset = 12;
constexpr int32_t kCountOffset = 16;
constexpr int32_t kCapacityOffset = 20;
constexpr int32_t kVersion1Entries = 20;
constexpr int32_t kVersion2Entries = 24;
constexpr uint32_t kVersion1Capacity = 10;
constexpr uint32_t kEntrySize = 8;

const char* const kPastTheEnd = "support list runs past the end of the image";
} // namespace

CROMImageGPUEFIImpl::CROMImageGPUEFIImpl(const uint8_t* bytes, uint32_t length)
    : CROMImageGPUImpl(bytes, length, kROMImageGPUEFI)
{
    LocateSupportList();
    CheckSupportListVersion();
}

uint32_t CROMImageGPUEFIImpl::LoadFromFile(const std::string& fileName)
{
    const uint32_t count = CROMImageGPUImpl::LoadFromFile(fileName);
    LocateSupportList();
    CheckSupportListVersion();
    return count;
}

int32_t CROMImageGPUEFIImpl::FindPattern(int32_t start, const uint8_t* pattern, uint32_t length)
{
    const uint32_t loaded = GetLoadedSize();
    if (start < 0 || static_cast<uint32_t>(start) > loaded)
    {
        return -1;
    }
    const uint8_t* begin = BufferStart() + start;
    const uint8_t* end = BufferStart() + loaded;
    const uint8_t* hit = std::search(begin, end, pattern, pattern + length);
    return hit == end ? -1 : static_cast<int32_t>(hit - BufferStart());
}

void CROMImageGPUEFIImpl::LocateSupportList()
{
    const int32_t found = FindPattern(0, kSupportListMagic.data(), kSupportListMagic.size());
    if (found == -1)
    {
        throw std::runtime_error("can't find support list magic number");
    }
    if (FindPattern(found + static_cast<int32_t>(kSupportListMagic.size()),
                    kSupportListMagic.data(), kSupportListMagic.size()) != -1)
    {
        throw std::runtime_error("duplicate gpu support list magic number");
    }
    m_supportList = found;
}

void CROMImageGPUEFIImpl::CheckSupportListVersion()
{
    // The list's head must be loaded before its fields mean anything.
    if (!RangeFits(UnsignedOffset(m_supportList), kVersion1Entries, GetLoadedSize()))
    {
        throw std::runtime_error(kPastTheEnd);
    }
    const uint32_t version = GetSupportListVersion();
    if (version != 1 && version != 2)
    {
        throw std::runtime_error("support list version mismatch");
    }
    if (version == 2 &&
        !RangeFits(UnsignedOffset(m_supportList), kVersion2Entries, GetLoadedSize()))
    {
        throw std::runtime_error(kPastTheEnd);
    }
}

int32_t CROMImageGPUEFIImpl::ListOffset()
{
    if (m_supportList == -1)
    {
        throw std::runtime_error("can't find support list magic number");
    }
    return m_supportList;
}

uint32_t CROMImageGPUEFIImpl::GetSupportListVersion()
{
    return GetDword(ListOffset() + kVersionOffset);
}

uint32_t CROMImageGPUEFIImpl::GetDriverType()
{
    return GetDword(ListOffset() + kDriverTypeOffset);
}

uint32_t CROMImageGPUEFIImpl::GetSupportEntryCount()
{
    return GetDword(ListOffset() + kCountOffset);
}

uint32_t CROMImageGPUEFIImpl::GetSupportListV2Field()
{
    if (GetSupportListVersion() != 2)
    {
        throw std::runtime_error("unexpected call to Version 2 structure");
    }
    return GetDword(ListOffset() + kCapacityOffset);
}

uint64_t CROMImageGPUEFIImpl::Capacity()
{
    switch (GetSupportListVersion())
    {
    case 1:
        return kVersion1Capacity;
    case 2:
        return GetSupportListV2Field();
    default:
        throw std::runtime_error("invalid version number");
    }
}

int32_t CROMImageGPUEFIImpl::EntriesStart()
{
    return ListOffset() + (GetSupportListVersion() == 2 ? kVersion2Entries : kVersion1Entries);
}

uint32_t CROMImageGPUEFIImpl::StoredEntryCount()
{
    return static_cast<uint32_t>(std::min<uint64_t>(GetSupportEntryCount(), Capacity()));
}

int32_t CROMImageGPUEFIImpl::EntryOffset(uint32_t index)
{
    // Compared in 64 bits: a capacity of 0 has no last index to wrap to.
    if (uint64_t{index} + 1 > Capacity())
    {
        throw std::runtime_error("index larger than the max");
    }
    const uint64_t at = UnsignedOffset(EntriesStart()) + uint64_t{index} * kEntrySize;
    if (!RangeFits(at, kEntrySize, GetLoadedSize()))
    {
        throw std::runtime_error(kPastTheEnd);
    }
    return static_cast<int32_t>(at);
}

GpuSupportListEntry CROMImageGPUEFIImpl::GetSupportEntry(uint32_t index)
{
    const int32_t at = EntryOffset(index);
    return {GetWord(at), GetWord(at + 2), GetDword(at + 4)};
}

bool CROMImageGPUEFIImpl::AddSupportEntry(uint16_t deviceId, uint16_t boardId,
                                          uint32_t vbiosMagic)
{
    const uint32_t version = GetSupportListVersion();
    if (version != 1 && version != 2)
    {
        throw std::runtime_error("ERROR:wrong structure version");
    }
    const GpuSupportListEntry entry{deviceId, boardId, vbiosMagic};
    for (uint32_t i = 0; i < StoredEntryCount(); ++i)
    {
        if (GetSupportEntry(i) == entry)
        {
            return false;
        }
    }
    // The last slot stays free.
    const uint32_t count = GetSupportEntryCount();
    if (uint64_t{count} + 1 >= Capacity())
    {
        throw std::runtime_error("ERROR: list is full");
    }
    const int32_t at = EntryOffset(count);
    SetWord(at, deviceId);
    SetWord(at + 2, boardId);
    SetDword(at + 4, vbiosMagic);
    SetDword(ListOffset() + kCountOffset, count + 1);
    return true;
}

void CROMImageGPUEFIImpl::DumpSupportEntry(std::ostream& log, uint32_t index)
{
    const GpuSupportListEntry entry = GetSupportEntry(index);
    log << "entry index: " << index << LogEndl;
    log << "deviceID:           0x" << ToHex(entry.deviceId, 4) << LogEndl;
    log << "boardID:            0x" << ToHex(entry.boardId, 4) << LogEndl;
    log << "vbios magic number: " << entry.vbiosMagic << LogEndl;
}

void CROMImageGPUEFIImpl::DumpSupportList(std::ostream& log)
{
    log << "---GPU support List---" << LogEndl;
    log << "List Version: " << FormatNumber(GetSupportListVersion(), 2) << LogEndl;
    log << "Driver Type: ";
    switch (GetDriverType())
    {
    case 0:
        log << "debug, support any GPU " << LogEndl;
        break;
    case 1:
        log << "pci rom driver " << LogEndl;
        break;
    case 2:
        log << "system rom embedded driver " << LogEndl;
        break;
    default:
        // No line end: the count follows on the same line.
        break;
    }
    log << "entry count: " << GetSupportEntryCount() << LogEndl;
    for (uint32_t i = 0; i < StoredEntryCount(); ++i)
    {
        DumpSupportEntry(log, i);
    }
}
