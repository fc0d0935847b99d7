#include "testkit/kestrix/CertInfoBlockBuilder.h"

namespace
{
constexpr size_t kEntriesOffset = 0x50;
constexpr size_t kEntrySize = 28;

void PutWord(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
    {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}
} // namespace

std::vector<uint8_t> BuildCertInfoBlock(const CertInfoSpec& spec)
{
    std::vector<uint8_t> bytes(kEntriesOffset + kEntrySize * spec.entries.size());
    PutWord(bytes, 0x0C, static_cast<uint32_t>(spec.entries.size()));
    PutWord(bytes, 0x24, spec.base);
    for (size_t k = 0; k < spec.regions.size(); ++k)
    {
        PutWord(bytes, 0x28 + 8 * k, spec.regions[k].offset);
        PutWord(bytes, 0x2C + 8 * k, spec.regions[k].size);
    }
    PutWord(bytes, 0x48, spec.finalized ? 1u : 0u);
    for (size_t i = 0; i < spec.entries.size(); ++i)
    {
        const CertInfoEntry& entry = spec.entries[i];
        const size_t at = kEntriesOffset + kEntrySize * i;
        PutWord(bytes, at, uint32_t{entry.type} << 8);
        PutWord(bytes, at + 4, entry.offset);
        PutWord(bytes, at + 8, (entry.length & 0xFFFFF) | uint32_t{entry.selector} << 24);
    }
    bytes.resize(bytes.size() - std::min<size_t>(spec.truncate, bytes.size()));
    return bytes;
}
