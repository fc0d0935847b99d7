#pragma once
// Overlap of two address ranges on the simulated bus, each given by a base
// and a non-zero size; computed without forming base + size, so a range that
// ends at or past the top of the address space does not wrap.

#include <cstdint>

constexpr bool RangesOverlap(uint64_t firstBase, uint64_t firstSize, uint64_t secondBase,
                             uint64_t secondSize)
{
    return firstBase <= secondBase ? secondBase - firstBase < firstSize
                                   : firstBase - secondBase < secondSize;
}
