// GPU image: lookups of the NBSI blocks (code type 0x70) and their objects.

#include "core/Range.h"
#include "image/NBSIPCIBlock.h"
#include "image/PCIExpansionROM.h"
#include "image/ROMImageGPUImpl.h"

#include <stdexcept>

using namespace pcirom;

int32_t CROMImageGPUImpl::FindNBSIBlock()
{
    int32_t block = 0;
    for (uint32_t step = 0; step < kMaxChainBlocks; ++step)
    {
        block = FindPCIBlockByCodeType(kCodeNbsi, block);
        if (block == -1)
        {
            return -1;
        }
        const int32_t pcir = FindPCIR(block);
        if (pcir == -1)
        {
            return -1;
        }
        const uint64_t end = BlockEnd(block, pcir);
        const uint64_t directory = UnsignedOffset(block) + GetWord(block + nbsi::kDirectoryPointer);
        if (RangeFits(directory, nbsi::kMinimumDirectorySize, end))
        {
            const auto d = static_cast<int32_t>(directory);
            if (GetDword(d) == nbsi::kDirectorySignature &&
                GetWord(d + nbsi::kDirectoryFirstType) == nbsi::kTypeVarnexImage)
            {
                return block;
            }
        }
        uint32_t length = GetPCIBlockLength(block);
        if (length == 0)
        {
            return -1;
        }
        uint8_t indicator = GetByte(pcir + kPcirIndicator);
        GetSubImageLength(pcir, length, indicator);
        if ((indicator & kLastImage) != 0 || !RangeFits(UnsignedOffset(block), length, ViewLimit()))
        {
            return -1;
        }
        block += static_cast<int32_t>(length);
    }
    return -1;
}

namespace
{
const char* const kBadObject = "NBSI block corrupted - invalid object size";
}

int32_t CROMImageGPUImpl::FindNBSIObject(uint16_t type)
{
    const int32_t block = FindNBSIBlock();
    if (block == -1)
    {
        return -1;
    }
    const uint64_t end = BlockEnd(block, FindPCIR(block));
    const uint64_t directory = UnsignedOffset(block) + GetWord(block + nbsi::kDirectoryPointer);
    const auto d = static_cast<int32_t>(directory);
    const uint8_t count = GetByte(d + nbsi::kDirectoryCount);
    uint64_t record = directory + GetDword(d + nbsi::kDirectorySize);

    // Each record must lie in the block and its size must cover at least the
    // record itself and stay inside the block.
    auto checkedSize = [&](uint64_t at)
    {
        if (!RangeFits(at, nbsi::kRecordSize, end))
        {
            throw std::runtime_error(kBadObject);
        }
        const uint32_t size = GetDword(static_cast<int32_t>(at + nbsi::kRecordObjectSize));
        if (size < nbsi::kRecordSize || !RangeFits(at, size, end))
        {
            throw std::runtime_error(kBadObject);
        }
        return size;
    };
    auto typeAt = [&](uint64_t at)
    {
        if (!RangeFits(at, nbsi::kRecordSize, end))
        {
            throw std::runtime_error(kBadObject);
        }
        return GetWord(static_cast<int32_t>(at + nbsi::kRecordType));
    };

    if (typeAt(record) != nbsi::kTypeVarnexImage)
    {
        return -1;
    }
    const uint32_t firstSize = checkedSize(record);
    if (type == nbsi::kTypeVarnexBackup && count >= 2)
    {
        record += firstSize;
        if (typeAt(record) != nbsi::kTypeVarnexBackup)
        {
            return -1;
        }
        checkedSize(record);
    }
    else if (type != nbsi::kTypeVarnexImage)
    {
        return -1;
    }
    return static_cast<int32_t>(record + nbsi::kRecordSize);
}

uint32_t CROMImageGPUImpl::GetNBSIObjectLength(uint16_t type)
{
    const int32_t data = FindNBSIObject(type);
    if (data == -1)
    {
        return 0;
    }
    return GetDword(data - static_cast<int32_t>(nbsi::kRecordSize) + nbsi::kRecordObjectSize) -
           nbsi::kRecordSize;
}

bool CROMImageGPUImpl::HasNBSIObject(uint16_t type)
{
    const int32_t data = FindNBSIObject(type);
    return data != -1 && GetNBSIObjectLength(type) > 0 && GetByte(data) != 0xFF;
}

bool CROMImageGPUImpl::HasVarnexBlock()
{
    return HasNBSIObject(nbsi::kTypeVarnexImage);
}

bool CROMImageGPUImpl::HasVarnexBackupBlock()
{
    return HasNBSIObject(nbsi::kTypeVarnexBackup);
}
