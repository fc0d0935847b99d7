#pragma once
// The delta coding of multi-image ROM files: the byte ranges in which an image
// differs from its master, and the records that carry them.
//
// A delta is a run of records; a position starts at 0, each record moves it by
// its skip and then carries count data bytes for the image at the position:
//   short form: skip (0-254), count                 then count bytes
//   long form:  0xFF, count, skip (16-bit, LE)      then count bytes
// A count byte of 0 means 256.

#include <cstdint>
#include <vector>

// Bytes [first, last] of the image differ from the master.
struct DiffRange
{
    uint32_t first = 0;
    uint32_t last = 0;
    bool operator==(const DiffRange&) const = default;
};
using DiffRangeList = std::vector<DiffRange>;

namespace delta
{
inline constexpr uint8_t kLongRecordMark = 0xFF;
inline constexpr uint32_t kMaxShortSkip = 254;
inline constexpr uint32_t kMaxLongSkip = 0xFFFF;
inline constexpr uint32_t kChunk = 256;
} // namespace delta
