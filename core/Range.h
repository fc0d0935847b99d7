#pragma once
// The one bounds test for every offset and length read from an image, file,
// table or device. Arithmetic is done in 64 bits, so neither a huge length nor
// an offset of -1 (0xFFFFFFFF once made unsigned) can pass by wrapping.

#include <cstdint>

// True when the bytes [offset, offset + length) lie inside [0, limit).
constexpr bool RangeFits(uint64_t offset, uint64_t length, uint64_t limit)
{
    return offset <= limit && length <= limit - offset;
}

// True when the single byte at offset lies inside [0, limit).
constexpr bool OffsetFits(uint64_t offset, uint64_t limit)
{
    return RangeFits(offset, 1, limit);
}

// An image offset (signed, -1 meaning none) as the unsigned value that bound
// tests compare; -1 becomes 0xFFFFFFFF and so fails every bound below 4 GiB.
constexpr uint64_t UnsignedOffset(int32_t offset)
{
    return static_cast<uint32_t>(offset);
}

// The image offset `add` bytes past `base`, wrapping in 32 bits as image
// offsets do; the callers bound the result before they read there.
constexpr int32_t OffsetAfter(int32_t base, uint64_t add)
{
    return static_cast<int32_t>(static_cast<uint32_t>(UnsignedOffset(base) + add));
}
