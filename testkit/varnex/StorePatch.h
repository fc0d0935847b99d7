#pragma once
// Mutating a valid store byte by byte, so that a fuzzer's input reaches deep
// into the parse instead of failing at the first signature.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testkit
{

// A copy of base with one byte replaced per 3-byte record (offset low, offset
// high, value) of data, starting at data[1]; offsets wrap at the store's size.
inline std::vector<uint8_t> PatchedStore(const std::vector<uint8_t>& base, const uint8_t* data,
                                         size_t size)
{
    std::vector<uint8_t> bytes = base;
    for (size_t i = 1; i + 2 < size && !bytes.empty(); i += 3)
    {
        const size_t offset = (data[i] | (data[i + 1] << 8)) % bytes.size();
        bytes[offset] = data[i + 2];
    }
    return bytes;
}

} // namespace testkit
