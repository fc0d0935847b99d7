#pragma once
// DER bytes that nest sequences the given number of levels deep around a
// NULL, for the limits of the DER reader.

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<uint8_t> Nested(size_t depth)
{
    std::vector<uint8_t> der = {0x05, 0x00};
    for (size_t i = 0; i < depth; ++i)
    {
        der.insert(der.begin(), {0x30, static_cast<uint8_t>(der.size())});
    }
    return der;
}
