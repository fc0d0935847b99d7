#include "sim/SimKestrixDataMap.h"

#include "core/Range.h"

namespace
{
constexpr uint32_t kMagic = 0x50414D44; // "DMAP"
// The microcode looks for its map in the first 48 KiB of data memory.
constexpr size_t kScanWords = 12288;
constexpr uint32_t kBasicSize = 0x24;
constexpr uint32_t kVersionOffset = 0x04;
constexpr uint32_t kSignatureTableOffset = 0x28;

uint32_t WordAt(std::span<const uint8_t> data, size_t at)
{
    return uint32_t{data[at]} | uint32_t{data[at + 1]} << 8 | uint32_t{data[at + 2]} << 16 |
           uint32_t{data[at + 3]} << 24;
}

std::optional<size_t> FindMagic(std::span<const uint8_t> data)
{
    const size_t words = std::min(data.size() / 4, kScanWords);
    for (size_t word = 0; word < words; ++word)
    {
        if (WordAt(data, word * 4) == kMagic)
        {
            return word * 4;
        }
    }
    return std::nullopt;
}
} // namespace

std::optional<SimKestrixDataMap> ReadSimKestrixDataMap(std::span<const uint8_t> data)
{
    const std::optional<size_t> at = FindMagic(data);
    if (!at || !RangeFits(*at, kBasicSize, data.size()))
    {
        return std::nullopt;
    }
    const auto field = [&](size_t offset) { return WordAt(data, *at + offset); };
    SimKestrixDataMap map{field(0x08), field(0x10), field(0x18), field(0x1C), field(0x20), {}};
    map.commandOutSize = field(0x14);
    map.commandInSize = field(0x0C);
    const uint32_t version = field(kVersionOffset) & 0xFFFF;
    if ((version == 2 || version == 3) && RangeFits(*at, kSignatureTableOffset + 4, data.size()))
    {
        const uint32_t table = field(kSignatureTableOffset);
        if (RangeFits(table, 4, data.size()))
        {
            map.signatureArea = WordAt(data, table);
        }
    }
    return map;
}

bool SimKestrixDataMapFits(const SimKestrixDataMap& map, uint64_t memoryBytes)
{
    return map.commandInSize >= kSimKestrixMinCommandIn &&
           RangeFits(map.commandIn, map.commandInSize, memoryBytes) &&
           map.commandOutSize >= kSimKestrixMinCommandOut &&
           RangeFits(map.commandOut, map.commandOutSize, memoryBytes) &&
           RangeFits(map.dataBuffer, map.dataBufferSize, memoryBytes) &&
           (map.printfHeader == 0 ||
            RangeFits(map.printfHeader, kSimKestrixPrintfHeaderBytes, memoryBytes));
}
