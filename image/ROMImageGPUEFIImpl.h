#pragma once
// A GPU UEFI driver file: a PE image (first bytes "MZ") held as a GPU image;
// the reading of the driver itself builds on this class.

#include "image/ROMImageGPUImpl.h"

class CROMImageGPUEFIImpl : public CROMImageGPUImpl
{
public:
    CROMImageGPUEFIImpl() : CROMImageGPUImpl(kROMImageGPUEFI) {}
    CROMImageGPUEFIImpl(const uint8_t* bytes, uint32_t length)
        : CROMImageGPUImpl(bytes, length, kROMImageGPUEFI)
    {
    }
};
