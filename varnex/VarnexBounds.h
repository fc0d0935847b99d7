#pragma once
// The one range check every read of stored Varnex bytes goes through.

#include <cstdint>

// True when [offset, offset + length) lies inside [0, limit), computed in 64
// bits so that no sum can wrap.
inline bool VarnexRangeFits(uint64_t offset, uint64_t length, uint64_t limit)
{
    return offset <= limit && length <= limit - offset;
}
