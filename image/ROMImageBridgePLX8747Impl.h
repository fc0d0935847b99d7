#pragma once
// EEPROM image of the PLX PEX 8747 switch (first byte 0x5A).

#include "image/ROMImageBridgeImpl.h"

class CROMImageBridgePLX8747Impl : public CROMImageBridgeImpl
{
public:
    CROMImageBridgePLX8747Impl() : CROMImageBridgeImpl(kROMImageBridgePLX8747) {}
    CROMImageBridgePLX8747Impl(const uint8_t* bytes, uint32_t length)
        : CROMImageBridgeImpl(kROMImageBridgePLX8747, bytes, length)
    {
    }
};
