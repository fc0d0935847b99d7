#pragma once
// The descriptor of the pre-OS microcode in an adapter's firmware: where its
// code and data lie in the image and where they go in the microcontroller's
// memories. Two layouts; bit 0 of the first byte selects the second.

#include "image/IROMImage.h"

#include <cstdint>
#include <optional>

struct PreOSDescriptor
{
    uint32_t bootVector = 0;
    uint32_t codeBase = 0;
    uint32_t codeSize = 0;
    uint32_t secureCodeBase = 0;
    uint32_t secureCodeSize = 0;
    uint32_t dataBase = 0;
    uint32_t dataSize = 0;
    // Window-relative image offsets of the code and the data.
    uint32_t codeOffset = 0;
    uint32_t dataOffset = 0;
};

// The descriptor at the offset, or none when the descriptor, its code or its
// data do not lie within the image's loaded bytes.
std::optional<PreOSDescriptor> ReadPreOSDescriptor(IROMImage& image, int32_t offset);
