#pragma once
// Moving images to and from plain bytes in the image tests.

#include "image/IROMImage.h"
#include "image/OffsetModeScope.h"

#include <cstdint>
#include <vector>

inline CRefPtr<IROMImage> FromBytes(const std::vector<uint8_t>& bytes)
{
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// The loaded bytes from the start of the buffer, whatever the offset mode.
inline std::vector<uint8_t> BytesOf(IROMImage* image)
{
    COffsetModeScope scope(image, false);
    return {image->GetBuffer(), image->GetBuffer() + image->GetLoadedSize()};
}

// The loaded bytes as the image's current offset mode shows them.
inline std::vector<uint8_t> Snapshot(IROMImage* image)
{
    return std::vector<uint8_t>(image->GetBuffer(), image->GetBuffer() + image->GetLoadedSize());
}
