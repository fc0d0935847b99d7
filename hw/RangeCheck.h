#pragma once

#include <cstdint>

// True when [offset, offset + length) lies inside [0, limit), computed without
// overflow.
constexpr bool RangeFits(uint64_t offset, uint64_t length, uint64_t limit)
{
    return offset <= limit && length <= limit - offset;
}
