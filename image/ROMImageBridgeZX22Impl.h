#pragma once
// EEPROM image of the maker's ZX22 PCI Express bridge (files start "22XZ").

#include "image/ROMImageBridgeImpl.h"

class CROMImageBridgeZX22Impl : public CROMImageBridgeImpl
{
public:
    CROMImageBridgeZX22Impl() : CROMImageBridgeImpl(kROMImageBridgeZX22) {}
    CROMImageBridgeZX22Impl(const uint8_t* bytes, uint32_t length)
        : CROMImageBridgeImpl(kROMImageBridgeZX22, bytes, length)
    {
    }
};
