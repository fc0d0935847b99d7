#include "image/IROMImage.h"
#include "image/PreservationTable.h"

#include "core/Range.h"
#include "core/TextHelpers.h"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>
#include <string>

namespace
{
constexpr uint8_t kMemoryToken = 'M';

// Opcodes of the init script records the search understands.
constexpr uint8_t kOpStrapSelectedValues = 0x32;
constexpr uint8_t kOpRegisterRun = 0x58;
constexpr uint8_t kOpRegisterWrite = 0x7A;
constexpr uint8_t kOpRamConfigurationTable = 0x8F;
constexpr uint8_t kOpRegisterTwoValues = 0x97;

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

// Reads the records of the script range in turn until one holds the
// register's value; a record the walk cannot step over ends it.
int32_t BIOSOffset::FindRegisterValue(IROMImage* image, PreservedRegisterQuery& query)
{
    const uint64_t limit = ScriptLimit(image, query);
    int32_t result = -1;
    while (result == -1 && query.cursor < limit)
    {
        const ScriptRecord record{image, query.cursor, limit};
        const std::optional<RecordMatch> match = ReadRecord(record, query);
        // A record that runs past its range: nothing in it can be trusted.
        if (!match || !record.Fits(match->length))
        {
            return -1;
        }
        result = match->valueOffset;
        query.cursor = static_cast<uint32_t>(record.at + match->length);
    }
    return result;
}

// Every record must lie inside the range and the loaded bytes as the
// caller's offsets see them (past the window): the walk reads nothing it
// cannot also step over, and no value slot lies past the image.
uint64_t BIOSOffset::ScriptLimit(IROMImage* image, const PreservedRegisterQuery& query)
{
    const uint64_t loaded = image->GetLoadedSize();
    const uint64_t window = image->GetWindowOffset();
    return std::min<uint64_t>(query.end, loaded > window ? loaded - window : 0);
}

std::optional<BIOSOffset::RecordMatch> BIOSOffset::ReadRecord(const ScriptRecord& record,
                                                              const PreservedRegisterQuery& query)
{
    switch (record.Byte(0))
    {
    case kOpStrapSelectedValues:
        return ReadStrapSelectedValues(record, query);
    case kOpRegisterRun:
        return ReadRegisterRun(record, query.registerAddress);
    case kOpRegisterWrite:
        return ReadSingleValue(record, query.registerAddress, 9, 5);
    case kOpRamConfigurationTable:
        return ReadRamConfigurationTable(record, query);
    case kOpRegisterTwoValues:
        return ReadSingleValue(record, query.registerAddress, 13, 9);
    default:
        return std::nullopt;
    }
}

// Opcode; 3 bytes; mask M; shift S; count N; register; N values. The query's
// strap picks value (M >> S) & strap.
std::optional<BIOSOffset::RecordMatch>
BIOSOffset::ReadStrapSelectedValues(const ScriptRecord& record, const PreservedRegisterQuery& query)
{
    if (!record.Fits(11))
    {
        return std::nullopt;
    }
    const uint8_t mask = record.Byte(4);
    const uint8_t shift = record.Byte(5);
    const uint32_t count = record.Byte(6);
    RecordMatch match{.length = 11 + 4 * uint64_t{count}};
    if (count == 0)
    {
        record.Refuse();
    }
    if (record.Dword(7) == query.registerAddress)
    {
        const uint32_t k = (shift < 8 ? (mask >> shift) : 0) & query.ramStrap;
        if (k < count)
        {
            match.valueOffset = static_cast<int32_t>(record.at + 11 + 4 * k);
        }
    }
    return match;
}

// Opcode; base register; count N; the values of N registers 4 apart.
std::optional<BIOSOffset::RecordMatch> BIOSOffset::ReadRegisterRun(const ScriptRecord& record,
                                                                   uint32_t reg)
{
    if (!record.Fits(6))
    {
        return std::nullopt;
    }
    const uint32_t base = record.Dword(1);
    const uint32_t count = record.Byte(5);
    RecordMatch match{.length = 6 + 4 * uint64_t{count}};
    if (count == 0)
    {
        record.Refuse();
    }
    if (base <= reg && (reg - base) % 4 == 0 && (reg - base) / 4 < count)
    {
        match.valueOffset = static_cast<int32_t>(record.at + 6 + (reg - base));
    }
    return match;
}

// Opcode; register; values, the one written at valueAt.
BIOSOffset::RecordMatch BIOSOffset::ReadSingleValue(const ScriptRecord& record, uint32_t reg,
                                                    uint64_t length, uint64_t valueAt)
{
    RecordMatch match{.length = length};
    if (record.Fits(length) && record.Dword(1) == reg)
    {
        match.valueOffset = static_cast<int32_t>(record.at + valueAt);
    }
    return match;
}

// Opcode; base register; stride; count N; then for each of the N registers
// one value per RAM configuration of the image.
std::optional<BIOSOffset::RecordMatch>
BIOSOffset::ReadRamConfigurationTable(const ScriptRecord& record,
                                      const PreservedRegisterQuery& query)
{
    if (!record.Fits(7))
    {
        return std::nullopt;
    }
    const uint32_t reg = query.registerAddress;
    const uint32_t base = record.Dword(1);
    const uint32_t stride = record.Byte(5);
    const uint32_t count = record.Byte(6);
    const uint32_t configurations = RamConfigurationCount(record.image);
    if (stride == 0 || count == 0)
    {
        record.Refuse();
    }
    RecordMatch match{.length = 7 + 4 * uint64_t{count} * configurations};
    if (base <= reg && (reg - base) % stride == 0 && (reg - base) / stride < count)
    {
        const uint32_t j = (reg - base) / stride;
        const uint32_t r = RamConfigurationIndex(record.image, query.ramStrap);
        if (r < configurations)
        {
            match.valueOffset =
                static_cast<int32_t>(record.at + 7 + (uint64_t{j} * configurations + r) * 4);
        }
    }
    return match;
}

bool BIOSOffset::ScriptRecord::Fits(uint64_t length) const
{
    return RangeFits(at, length, limit);
}

uint8_t BIOSOffset::ScriptRecord::Byte(uint64_t offset) const
{
    return image->GetByte(static_cast<int32_t>(at + offset));
}

uint32_t BIOSOffset::ScriptRecord::Dword(uint64_t offset) const
{
    return image->GetDword(static_cast<int32_t>(at + offset));
}

void BIOSOffset::ScriptRecord::Refuse() const
{
    throw RefusedRecord(Byte(0), static_cast<uint32_t>(at));
}
