#pragma once
// The part the two bridge EEPROM kinds share. A bridge image has no PCI
// expansion-ROM chain: the chain operations answer with neutral values. Both
// bridges keep their information record in token 'R' of a BIT:
//
//   0  firmware version (32-bit)     7  modification date (8 characters)
//   4  OEM version                  19  image offset of the product name
//   5  ROM size in 512-byte units   21  length of the product name

#include "core/Range.h"
#include "image/ROMImageBaseImpl.h"

class CROMImageBridgeImpl : public CROMImageBaseImpl
{
public:
    using CROMImageBaseImpl::CROMImageBaseImpl;

    bool IsPCIROM() override { return true; }
    std::string DumpPCIBlocks(int32_t) override { return "Unavailable"; }
    int32_t FindPCIR(int32_t) override { return -1; }
    uint32_t GetPCIBlockLength(int32_t) override { return 0; }
    bool HasPCIR() override { return false; }
    uint32_t GetROMSize() override;
    void UpdateROMSize(uint32_t size) override;
    void FixPCIBlockChecksum(int32_t) override {}
    void InsertPCIBlock(int32_t, const uint8_t*, uint32_t, bool) override {}
    void RemovePCIBlock(int32_t) override {}

    // Version, date and product name from token 'R'.
    std::string GetVersionString(int32_t variant) override;
    uint32_t GetVersionNumber() override;
    uint8_t GetVersionByte(uint32_t index) override;
    std::string GetModificationDate() override;
    std::string GetProductName() override;

    // Neutral answers of an image without GPU tables.
    uint16_t GetDeviceIDListEntry(uint32_t) override { return 0; }
    uint16_t GetGPUDeviceID() override { return 0; }
    uint16_t GetInfoWord38() override { return 0; }
    bool GetInfoFlag37() override { return false; }
    bool GetUEFITokenFlag() override { return false; }
    int32_t CheckInitScripts(uint32_t) override { return -1; }
    std::pair<int32_t, uint32_t> UpdateDisplayConfig() override { return {0, 0}; }
    std::array<uint8_t, 16> GetPLLInfo(uint8_t) override { return {}; }
    int32_t GetPreservationHeaderBlockOffset() override { return -1; }
    void SetStraps(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void SetGUIDSource(uint32_t) override {}
    bool HasIEEE1394GUID() override { return false; }
    int32_t GetIEEE1394GUIDOffset() override { return -1; }
    uint8_t GetIEEE1394GUIDSize() override { return 0; }
    void SetIEEE1394GUID(uint32_t, uint32_t) override {}
    std::string GetSignOnMessage() override { return "Unavailable"; }
    std::string GetOEMString() override { return "Unavailable"; }
    std::string GetVendorName() override { return "Unavailable"; }
    std::string GetProductRevision() override { return "Unavailable"; }
    void SetRuntimePackWord(uint16_t) override {}
    uint16_t GetRuntimePackWord() override { return 0; }
    uint8_t GetRuntimePackAppliedCount() override { return 0; }
    uint8_t GetRuntimePackRecordCapacity() override { return 0; }
    int32_t GetRuntimePackRecord(uint32_t) override { return 0; }

protected:
    bool IsRangeLoaded(int32_t offset, uint32_t length) override
    {
        return offset != -1 && RangeFits(UnsignedOffset(offset), length, GetLoadedSize());
    }
    // Data offset of token 'R' with at least minimumSize loaded data bytes,
    // -1 when the image is not valid or the token is absent. Never throws.
    int32_t RecordTokenData(uint16_t minimumSize);
    // The revision shown after the version ("" for a kind without one).
    virtual std::string RevisionSuffix() { return ""; }
};
