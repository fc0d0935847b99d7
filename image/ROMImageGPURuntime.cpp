// GPU image: the run-time ROM pack fields of the BIOS-data token, the
// preservation table's header fields and lookups, and the microcode table
// entry of token 'p'.

#include "core/Range.h"
#include "image/ROMImageGPUImpl.h"

#include <stdexcept>

using namespace preservation;

// ---- run-time ROM pack fields ---------------------------------------------

int32_t CROMImageGPUImpl::BiosDataV2(uint16_t size)
{
    return TokenDataLoaded('B', 2, size, size, false);
}

int32_t CROMImageGPUImpl::GetRuntimePackWordOffset()
{
    const int32_t data = BiosDataV2(28);
    return data == -1 ? -1 : data + 26;
}

void CROMImageGPUImpl::SetRuntimePackWord(uint16_t word)
{
    const int32_t at = GetRuntimePackWordOffset();
    if (at == -1)
    {
        throw std::runtime_error("ROM image not capable of being a run-time ROM pack image");
    }
    SetWord(at, word);
}

uint16_t CROMImageGPUImpl::GetRuntimePackWord()
{
    const int32_t at = GetRuntimePackWordOffset();
    return at == -1 ? 0 : GetWord(at);
}

uint8_t CROMImageGPUImpl::GetRuntimePackAppliedCount()
{
    const int32_t data = BiosDataV2(32);
    return data == -1 ? 0 : GetByte(data + 31);
}

uint8_t CROMImageGPUImpl::GetRuntimePackRecordCapacity()
{
    const int32_t data = BiosDataV2(32);
    return data == -1 ? 0 : GetByte(data + 30);
}

int32_t CROMImageGPUImpl::GetRuntimePackRecord(uint32_t index)
{
    const int32_t data = BiosDataV2(32);
    if (data == -1)
    {
        return -1;
    }
    // The record holds its capacity in bytes; past it, or past the loaded
    // bytes, there is no record byte.
    const int32_t at = OffsetAfter(GetWord(data + 28), index);
    if (index >= GetByte(data + 30) || !IsRangeLoaded(at, 1))
    {
        return -1;
    }
    return GetByte(at);
}

// ---- preservation header -------------------------------------------------

int32_t CROMImageGPUImpl::GetPreservationHeaderWord4()
{
    const int32_t table = GetPreservationTableOffset();
    if (table == -1 || GetByte(table + kHeaderSize) < 6)
    {
        return -1;
    }
    return GetWord(table + kHeaderWord);
}

int32_t CROMImageGPUImpl::GetPreservationHeaderByte6()
{
    const int32_t table = GetPreservationTableOffset();
    if (table == -1 || GetByte(table + kHeaderSize) < 7)
    {
        return -1;
    }
    return GetByte(table + kHeaderByte);
}

int32_t CROMImageGPUImpl::GetPreservationHeaderBlockOffset()
{
    int32_t result = -1;
    const int32_t table = GetPreservationTableOffset();
    if (table != -1)
    {
        if (GetByte(table + kVersion) >= kFlagsVersion)
        {
            result = GetPreservationFlagsOffset();
        }
        else if (GetByte(table + kHeaderSize) >= 11)
        {
            result = table + static_cast<int32_t>(kFlagsOffset);
        }
    }
    if (result == -1)
    {
        const int32_t data = BiosDataV2(20);
        if (data != -1)
        {
            result = data + 16;
        }
    }
    return result;
}

// ---- preserved data and registers ----------------------------------------

uint32_t CROMImageGPUImpl::FindPreservedData(IROMImage* image, PreservedDataRecord& record)
{
    const int32_t table = image->GetPreservationTableOffset();
    if (table == -1)
    {
        return kPreserveTableNotFound;
    }
    if (image->GetByte(table + kVersion) < kFlagsVersion)
    {
        return kPreserveDataIdNotFound;
    }
    const uint32_t count = image->GetPreservationEntryCount();
    for (uint32_t i = 0; i < count; ++i)
    {
        const int32_t entry = image->GetPreservationEntryOffset(i);
        if (entry == -1)
        {
            break;
        }
        const uint8_t flags = image->GetPreservationEntryFlags(i);
        const uint8_t id = image->GetByte(entry + 4);
        // Flags that read 0xFF match too; the tuning then refuses them.
        if ((flags & kFlagDataBlock) != 0 && id != 0 && id == record.dataId)
        {
            record.entryIndex = i;
            record.offset = image->GetWord(entry);
            record.size = image->GetWord(entry + 2);
            return kPreserveOk;
        }
    }
    return kPreserveDataIdNotFound;
}

int32_t CROMImageGPUImpl::FindPreservedRegisterOffset(IROMImage* image,
                                                      PreservedRegisterQuery& query)
{
    BIOSOffset search;
    const int32_t table = image->GetPreservationTableOffset();
    if (table == -1 || image->GetByte(table + kVersion) <= kFirstVersion)
    {
        return -1;
    }
    const std::vector<PreservationEntryPlace> entries = image->GetPreservationEntries();
    const auto count = static_cast<uint32_t>(entries.size());
    int32_t result = -1;
    uint32_t i = 0;
    for (; i < count && result == -1; ++i)
    {
        const int32_t entry = entries[i].offset;
        if (entry == -1 || (entries[i].flags & kFlagScriptRange) == 0)
        {
            continue;
        }
        query.cursor = image->GetWord(entry);
        query.end = query.cursor + image->GetWord(entry + 2);
        result = search.FindRegisterValue(image, query);
    }
    query.entryIndex = result == -1 ? count : i - 1;
    return result;
}

uint32_t CROMImageGPUImpl::GetPreservedRegisterValue(IROMImage* image, uint8_t ramStrap,
                                                     uint32_t registerAddress, uint32_t& value)
{
    PreservedRegisterQuery query;
    query.registerAddress = registerAddress;
    query.ramStrap = ramStrap;
    const int32_t at = FindPreservedRegisterOffset(image, query);
    if (at == -1)
    {
        return kPreserveRegisterNotFound;
    }
    value = image->GetDword(at);
    return kPreserveOk;
}

uint32_t CROMImageGPUImpl::TunePreservedRegisterValue(IROMImage* image, uint8_t ramStrap,
                                                      uint32_t registerAddress, uint32_t value,
                                                      uint32_t mask, uint32_t operation)
{
    PreservedRegisterQuery query;
    query.registerAddress = registerAddress;
    query.ramStrap = ramStrap;
    const int32_t at = FindPreservedRegisterOffset(image, query);
    if (at == -1)
    {
        return kPreserveRegisterNotFound;
    }
    // The entry's flags are checked before the value is written, so a
    // refused tuning leaves the image unchanged.
    const uint8_t flags = image->GetPreservationEntryFlags(query.entryIndex);
    if (flags == kNoFlags)
    {
        return kPreserveEntryFlagsInvalid;
    }
    const uint32_t old = image->GetDword(at);
    uint32_t field = 0;
    switch (operation)
    {
    case 3:
        field = (old & mask) + (value & mask);
        break;
    case 4:
        field = (old & mask) - (value & mask);
        break;
    default:
        field = value;
        break;
    }
    image->SetDword(at, (old & ~mask) | (mask & field));
    image->SetPreservationEntryFlags(query.entryIndex, flags & ~kFlagChanged);
    const uint8_t control = image->GetPreservationControlByte();
    if (control != kNoFlags)
    {
        const uint8_t controlFlags = image->GetPreservationEntryFlags(control);
        if (controlFlags != kNoFlags)
        {
            image->SetPreservationEntryFlags(control, controlFlags & ~kFlagChanged);
        }
    }
    return kPreserveOk;
}

// ---- microcode entry -----------------------------------------------------

int32_t CROMImageGPUImpl::FindKestrixUcodeEntry(uint8_t id)
{
    const int32_t data = TokenDataLoaded('p', 2, 0, 4, false);
    if (data == -1)
    {
        return -1;
    }
    const uint32_t pointer = GetDword(data);
    if (pointer == 0xFFFFFFFFu || pointer >= kImageBufferSize)
    {
        return -1;
    }
    const int32_t table = MapExtendedOffset(static_cast<int32_t>(pointer));
    if (table == -1 || !IsRangeLoaded(table, 6))
    {
        return -1;
    }
    const uint32_t headerSize = GetByte(table + 1);
    const uint32_t entrySize = GetByte(table + 2);
    const uint32_t count = GetByte(table + 3);
    const uint32_t descriptorSize = GetByte(table + 5);
    const int32_t entries = OffsetAfter(table, headerSize);
    if (!IsRangeLoaded(entries, entrySize * count) || entrySize < 6)
    {
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i)
    {
        const int32_t entry = OffsetAfter(entries, uint64_t{i} * entrySize);
        const uint32_t descriptor = GetDword(entry + 2);
        if (GetByte(entry) == id && descriptor < kImageBufferSize &&
            IsRangeLoaded(static_cast<int32_t>(descriptor), descriptorSize))
        {
            return static_cast<int32_t>(descriptor);
        }
    }
    return -1;
}
