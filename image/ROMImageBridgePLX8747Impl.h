#pragma once
// EEPROM image of the PLX PEX 8747 switch:
//
//   0      signature 0x5A
//   2      byte count N of the register entries (16-bit)
//   4      N bytes of register entries, 6 bytes each: an address word (bits
//          0-9 register offset / 4, bits 10-15 port) and the 32-bit value
//   4 + N  CRC over bytes 2 to 4 + N - 1 (32-bit)
// The CRC is brought up to date whenever the image is saved or streamed out.

#include "image/ROMImageBridgeImpl.h"

class CROMImageBridgePLX8747Impl : public CROMImageBridgeImpl
{
public:
    CROMImageBridgePLX8747Impl() : CROMImageBridgeImpl(kROMImageBridgePLX8747) {}
    CROMImageBridgePLX8747Impl(const uint8_t* bytes, uint32_t length)
        : CROMImageBridgeImpl(kROMImageBridgePLX8747, bytes, length)
    {
    }

    bool HasValidSignature() override;
    bool IsErased() override;
    bool IsValid() override { return HasValidSignature(); }
    std::string GetTypeName() override { return IsErased() ? "Erased" : "PLX8747"; }
    uint16_t GetSubsystemVendorID() override;
    uint16_t GetSubsystemDeviceID() override;
    uint16_t GetDeviceID() override;
    uint16_t GetVendorID() override;
    // The CRC is stored when the image is saved, not here.
    void FixChecksum() override {}

    uint32_t SaveToFile(const std::string& fileName, uint32_t start, uint32_t count) override;
    uint32_t WriteToStream(std::ostream& output, uint32_t offset, uint32_t count) override;

    // The CRC over the register entries; stored after them when store is set.
    // std::domain_error "Invalid offset for CRC" when the loaded bytes do not
    // reach the end of the CRC field.
    uint32_t UpdateCRC(bool store);
    // One 32-bit value into the CRC, most significant bit first.
    static void CRCStep(uint32_t& crc, uint32_t value);

private:
    // The value of the first entry for the register and port; false leaves
    // the value as the caller set it (its default).
    bool FindRegisterValue(uint32_t registerOffset, uint32_t port, uint32_t& value);
    uint32_t RegisterOrDefault(uint32_t registerOffset, uint32_t defaultValue);
};
