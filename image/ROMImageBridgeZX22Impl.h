#pragma once
// EEPROM image of the maker's ZX22 PCI Express bridge:
//
//   0      signature "22XZ"
//   4      revision (32-bit)
//   0x70   bits 4-7: the low digit of the device ID
//   0x16C  subsystem vendor ID (low half), subsystem device ID (high half)
//   and a BIT with the information record, token 'R'.

#include "image/ROMImageBridgeImpl.h"

class CROMImageBridgeZX22Impl : public CROMImageBridgeImpl
{
public:
    CROMImageBridgeZX22Impl() : CROMImageBridgeImpl(kROMImageBridgeZX22) {}
    CROMImageBridgeZX22Impl(const uint8_t* bytes, uint32_t length)
        : CROMImageBridgeImpl(kROMImageBridgeZX22, bytes, length)
    {
    }

    bool HasValidSignature() override;
    bool IsErased() override;
    bool IsValid() override;
    std::string GetTypeName() override { return IsErased() ? "Erased" : "ZX22"; }
    uint16_t GetSubsystemVendorID() override;
    uint16_t GetSubsystemDeviceID() override;
    uint16_t GetDeviceID() override;
    uint16_t GetVendorID() override;
    // Makes the bytes [0, ROM size) sum to 0 with the last byte.
    void FixChecksum() override;

protected:
    std::string RevisionSuffix() override;

private:
    // The revision dword of a valid image, else 0.
    uint32_t GetRevisionDword();
};
