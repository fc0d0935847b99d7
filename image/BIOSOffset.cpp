#include "image/IROMImage.h"
#include "image/PreservationTable.h"

#include "core/Range.h"
#include "core/TextHelpers.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace
{
constexpr uint8_t kMemoryToken = 'M';

std::runtime_error RefusedRecord(uint8_t opcode, uint32_t at)
{
    return std::runtime_error("Init script record 0x" + ToHex(opcode, 2) + " at 0x" + ToHex(at, 4) +
                              " has a zero stride or no entries");
}
} // namespace

uint32_t BIOSOffset::RamConfigurationCount(IROMImage* image)
{
    const int32_t v2 = image->GetBITTokenData(kMemoryToken, 2, 1);
    if (v2 != -1)
    {
        return image->GetByte(v2);
    }
    const int32_t v1 = image->GetBITTokenData(kMemoryToken, 1, 3);
    return v1 != -1 ? image->GetByte(v1 + 2) : 0;
}

uint8_t BIOSOffset::MemoryInformationLookup(IROMImage* image, uint8_t strap)
{
    const int32_t token = image->GetBITTokenData(kMemoryToken, 2, 5);
    if (token == -1)
    {
        throw std::runtime_error("Memory Information Table not found.");
    }
    const int32_t table = image->GetWord(token + 3);
    std::array<uint8_t, 7> header{};
    image->ReadBlock(header.data(), table, static_cast<uint32_t>(header.size()));
    const uint8_t headerSize = header[1];
    const uint8_t entrySize = header[2];
    const uint8_t entryCount = header[3];
    const uint8_t method = header[4] & 7;
    if (method != 0)
    {
        throw std::runtime_error("Unsupported MemInfo Entry Look-Up Method: " +
                                 std::to_string(method));
    }
    auto readEntry = [&](uint32_t index)
    {
        if (index >= entryCount)
        {
            throw std::runtime_error("Memory Information Table Entry not found: " +
                                     std::to_string(index));
        }
        std::array<uint8_t, 5> entry{};
        image->ReadBlock(entry.data(),
                         static_cast<int32_t>(uint32_t(table) + headerSize + index * entrySize),
                         static_cast<uint32_t>(entry.size()));
        return entry;
    };
    for (uint32_t i = 0; i < entryCount; ++i)
    {
        const auto entry = readEntry(i);
        if ((entry[0] & 0xF) != 0xF && (entry[0] >> 4) == strap)
        {
            return entry[1] & 0xF;
        }
    }
    return readEntry(0)[1] & 0xF;
}

uint8_t BIOSOffset::RamConfigurationIndex(IROMImage* image, uint8_t strap)
{
    const int32_t token = image->GetBITTokenData(kMemoryToken, 2, 5);
    if (token != -1 && image->GetWord(token + 3) != 0)
    {
        return MemoryInformationLookup(image, strap);
    }
    int32_t strapTable = -1;
    if (const int32_t v2 = image->GetBITTokenData(kMemoryToken, 2, 3); v2 != -1)
    {
        strapTable = image->GetWord(v2 + 1);
    }
    else if (const int32_t v1 = image->GetBITTokenData(kMemoryToken, 1, 5); v1 != -1)
    {
        strapTable = image->GetWord(v1 + 3);
    }
    if (strapTable > 0)
    {
        return image->GetByte(strapTable + (strap & 0xF));
    }
    return 0xFF;
}

int32_t BIOSOffset::FindRegisterValue(IROMImage* image, PreservedRegisterQuery& query)
{
    const uint32_t reg = query.registerAddress;
    // Every record must lie inside the range and the loaded bytes as the
    // caller's offsets see them (past the window): the walk reads nothing it
    // cannot also step over, and no value slot lies past the image.
    const uint64_t loaded = image->GetLoadedSize();
    const uint64_t window = image->GetWindowOffset();
    const uint64_t limit = std::min<uint64_t>(query.end, loaded > window ? loaded - window : 0);
    auto fits = [&](uint64_t length) { return RangeFits(query.cursor, length, limit); };
    auto dword = [&](uint64_t at) { return image->GetDword(static_cast<int32_t>(at)); };
    auto byte = [&](uint64_t at) { return image->GetByte(static_cast<int32_t>(at)); };

    int32_t result = -1;
    while (result == -1 && query.cursor < limit)
    {
        const uint64_t at = query.cursor;
        const uint8_t opcode = byte(at);
        uint64_t length = 0;
        switch (opcode)
        {
        case 0x32:
        {
            if (!fits(11))
            {
                return -1;
            }
            const uint8_t m = byte(at + 4);
            const uint8_t s = byte(at + 5);
            const uint32_t n = byte(at + 6);
            length = 11 + 4 * uint64_t{n};
            if (n == 0)
            {
                throw RefusedRecord(opcode, query.cursor);
            }
            if (dword(at + 7) == reg)
            {
                const uint32_t k = (s < 8 ? (m >> s) : 0) & query.ramStrap;
                if (k < n)
                {
                    result = static_cast<int32_t>(at + 11 + 4 * k);
                }
            }
            break;
        }
        case 0x58:
        {
            if (!fits(6))
            {
                return -1;
            }
            const uint32_t base = dword(at + 1);
            const uint32_t n = byte(at + 5);
            length = 6 + 4 * uint64_t{n};
            if (n == 0)
            {
                throw RefusedRecord(opcode, query.cursor);
            }
            if (base <= reg && (reg - base) % 4 == 0 && (reg - base) / 4 < n)
            {
                result = static_cast<int32_t>(at + 6 + (reg - base));
            }
            break;
        }
        case 0x7A:
            length = 9;
            if (fits(length) && dword(at + 1) == reg)
            {
                result = static_cast<int32_t>(at + 5);
            }
            break;
        case 0x8F:
        {
            if (!fits(7))
            {
                return -1;
            }
            const uint32_t base = dword(at + 1);
            const uint32_t stride = byte(at + 5);
            const uint32_t n = byte(at + 6);
            const uint32_t c = RamConfigurationCount(image);
            if (stride == 0 || n == 0)
            {
                throw RefusedRecord(opcode, query.cursor);
            }
            length = 7 + 4 * uint64_t{n} * c;
            if (base <= reg && (reg - base) % stride == 0 && (reg - base) / stride < n)
            {
                const uint32_t j = (reg - base) / stride;
                const uint32_t r = RamConfigurationIndex(image, query.ramStrap);
                if (r < c)
                {
                    result = static_cast<int32_t>(at + 7 + (uint64_t{j} * c + r) * 4);
                }
            }
            break;
        }
        case 0x97:
            length = 13;
            if (fits(length) && dword(at + 1) == reg)
            {
                result = static_cast<int32_t>(at + 9);
            }
            break;
        default:
            return -1;
        }
        if (!fits(length))
        {
            // The record runs past its range: nothing in it can be trusted.
            return -1;
        }
        query.cursor = static_cast<uint32_t>(at + length);
    }
    return result;
}
