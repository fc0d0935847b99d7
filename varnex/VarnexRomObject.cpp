#include "varnex/VarnexRomObject.h"

namespace
{

constexpr size_t kDateAt = 8;
constexpr size_t kEntriesAt = 12;
constexpr size_t kValuesPerEntry = 4;

std::string_view FormatFor(uint8_t subversion)
{
    return subversion < 2 ? CVarnexImageRomObject::kFormat10 : CVarnexImageRomObject::kFormat19;
}

} // namespace

CVarnexImageRomObject::CVarnexImageRomObject(std::span<const uint8_t> image, uint16_t offset)
    : CVarnexImageObject(VarnexTags::ROM, image, offset)
{
    RefuseUnacceptableLayout();
}

bool CVarnexImageRomObject::IsAcceptableLayout(const VarnexObjectHeader& header) const
{
    return header.size == 0 || header.size == RecordLength(FormatFor(header.subversion));
}

std::string_view CVarnexImageRomObject::GetFormat() const
{
    return FormatFor(GetSubversion());
}

uint32_t CVarnexImageRomObject::GetEntryCapacity() const
{
    return GetSubversion() < 2 ? 10 : 19;
}

void CVarnexImageRomObject::ListEntries(std::vector<VarnexDirectoryEntry>& entries) const
{
    if (!HasData())
    {
        return;
    }
    const auto values = ReadRecord(GetFormat());
    for (uint32_t i = 0; i < GetEntryCapacity(); ++i)
    {
        const size_t at = kEntriesAt + kValuesPerEntry * i;
        const VarnexTag tag = VarnexTag::FromBytes(static_cast<uint8_t>(values[at]),
                                                   static_cast<uint8_t>(values[at + 1]),
                                                   static_cast<uint8_t>(values[at + 2]));
        if (tag.IsReal())
        {
            entries.push_back({tag, static_cast<uint16_t>(values[at + 3])});
        }
    }
}

VarnexDate CVarnexImageRomObject::GetDate() const
{
    const auto values = ReadRecord(GetFormat());
    return VarnexDate{static_cast<uint8_t>(values[kDateAt]),
                      static_cast<uint8_t>(values[kDateAt + 1]),
                      static_cast<uint16_t>(values[kDateAt + 2] | (values[kDateAt + 3] << 8))};
}

bool CVarnexImageRomObject::RebuildDirectory(std::span<CVarnexImageObject* const> objects,
                                             const VarnexDate& date)
{
    if (!HasData())
    {
        return false;
    }
    auto values = ReadRecord(GetFormat());
    const uint32_t capacity = GetEntryCapacity();
    uint32_t running = static_cast<uint32_t>(RecordLength(GetFormat()));
    uint32_t entry = 0;
    for (size_t at = kEntriesAt; at < kEntriesAt + kValuesPerEntry * capacity; ++at)
    {
        values[at] = 0;
    }
    for (CVarnexImageObject* object : objects)
    {
        if (object == nullptr || !object->GetTag().IsReal() || object->GetTag() == VarnexTags::ROM)
        {
            continue;
        }
        // Dropping an object here would lose it from the raw form.
        if (entry == capacity || running > 0xFFFF)
        {
            return false;
        }
        const size_t at = kEntriesAt + kValuesPerEntry * entry;
        for (size_t k = 0; k < 3; ++k)
        {
            values[at + k] = static_cast<int8_t>(object->GetTag().bytes[k]);
        }
        values[at + 3] = static_cast<int32_t>(running);
        running += object->GetSize();
        ++entry;
    }
    values[kDateAt] = date.day;
    values[kDateAt + 1] = date.month;
    values[kDateAt + 2] = date.year & 0xFF;
    values[kDateAt + 3] = date.year >> 8;
    return WriteRecord(GetFormat(), values);
}
