#pragma once
// The part the two bridge EEPROM kinds share. A bridge image has no PCI
// expansion-ROM chain: the chain operations answer with neutral values and the
// ROM size is the loaded size. The bridges' own formats build on this class.

#include "core/Range.h"
#include "image/ROMImageBaseImpl.h"

class CROMImageBridgeImpl : public CROMImageBaseImpl
{
public:
    using CROMImageBaseImpl::CROMImageBaseImpl;

    bool HasValidSignature() override { return false; }
    bool IsPCIROM() override { return false; }
    bool IsErased() override { return false; }
    std::string DumpPCIBlocks(int32_t) override { return {}; }
    int32_t FindPCIR(int32_t) override { return -1; }
    uint32_t GetPCIBlockLength(int32_t) override { return 0; }
    bool HasPCIR() override { return false; }
    bool IsValid() override { return false; }
    uint32_t GetROMSize() override { return GetLoadedSize(); }
    void UpdateROMSize(uint32_t) override {}
    std::string GetTypeName() override { return "Unavailable"; }
    void FixChecksum() override {}
    void FixPCIBlockChecksum(int32_t) override {}
    void InsertPCIBlock(int32_t, const uint8_t*, uint32_t, bool) override {}
    void RemovePCIBlock(int32_t) override {}

protected:
    bool IsRangeLoaded(int32_t offset, uint32_t length) override
    {
        return offset != -1 && RangeFits(UnsignedOffset(offset), length, GetLoadedSize());
    }
};
