#include "varnex/VarnexObject.h"

#include "core/Range.h"
#include "varnex/VarnexPack.h"

#include <algorithm>
#include <array>

bool UnpackVarnexHeader(std::span<const uint8_t> bytes, VarnexObjectHeader& header)
{
    std::array<int32_t, 7> values{};
    if (!UnpackFields(kVarnexHeaderFormat, bytes.first(std::min<size_t>(bytes.size(), 8)), values))
    {
        return false;
    }
    header.tag =
        VarnexTag::FromBytes(static_cast<uint8_t>(values[0]), static_cast<uint8_t>(values[1]),
                             static_cast<uint8_t>(values[2]));
    header.version = static_cast<uint8_t>(values[3]);
    header.subversion = static_cast<uint8_t>(values[4]);
    header.size = static_cast<uint16_t>(values[5]);
    header.attribute = static_cast<uint8_t>(values[6]);
    return true;
}

void PackVarnexHeader(const VarnexObjectHeader& header, std::span<uint8_t, 8> bytes)
{
    const std::array<int32_t, 7> values{static_cast<int8_t>(header.tag.bytes[0]),
                                        static_cast<int8_t>(header.tag.bytes[1]),
                                        static_cast<int8_t>(header.tag.bytes[2]),
                                        header.version,
                                        header.subversion,
                                        header.size,
                                        header.attribute};
    PackFields(kVarnexHeaderFormat, bytes, values);
}

CVarnexImageObject::CVarnexImageObject(const VarnexTag& expected, std::span<const uint8_t> image,
                                       uint16_t offset)
    : m_expectedTag(expected)
{
    ParseInto(expected, image, offset);
}

bool CVarnexImageObject::ParseInto(const VarnexTag& expected, std::span<const uint8_t> image,
                                   uint64_t offset)
{
    if (!RangeFits(offset, kVarnexHeaderSize, image.size()))
    {
        return false;
    }
    VarnexObjectHeader header;
    if (!UnpackVarnexHeader(image.subspan(offset, kVarnexHeaderSize), header))
    {
        return false;
    }
    // A size below the header's own would make the serialised object longer
    // than its size field, overlapping the next object of a raw image.
    if (header.tag != expected || header.size < kVarnexHeaderSize ||
        header.size >= kVarnexMaxObjectSize || !RangeFits(offset, header.size, image.size()) ||
        !IsAcceptableLayout(header))
    {
        return false;
    }
    const auto body = image.subspan(offset + kVarnexHeaderSize, header.size - kVarnexHeaderSize);
    m_header = header;
    m_body.assign(body.begin(), body.end());
    return true;
}

void CVarnexImageObject::RefuseUnacceptableLayout()
{
    if (HasData() || m_header.size != 0)
    {
        if (!IsAcceptableLayout(m_header))
        {
            m_header = VarnexObjectHeader{};
            m_body.clear();
        }
    }
}

bool CVarnexImageObject::IsAcceptableLayout(const VarnexObjectHeader&) const
{
    return true;
}

std::vector<uint8_t> CVarnexImageObject::GetData() const
{
    return m_body;
}

bool CVarnexImageObject::Reparse(std::span<const uint8_t> bytes)
{
    return ParseInto(m_expectedTag, bytes, 0);
}

bool CVarnexImageObject::SetData(std::span<const uint8_t> data)
{
    if (data.size() >= kVarnexMaxObjectSize - kVarnexHeaderSize)
    {
        return false;
    }
    // A body the class could not read back (a typed record of another length)
    // is refused as well.
    VarnexObjectHeader resized = m_header;
    resized.size = static_cast<uint16_t>(data.size() + kVarnexHeaderSize);
    if (!IsAcceptableLayout(resized))
    {
        return false;
    }
    ReplaceBody(std::vector<uint8_t>(data.begin(), data.end()));
    return true;
}

void CVarnexImageObject::ReplaceBody(std::vector<uint8_t> body)
{
    m_body = std::move(body);
    m_header.size = static_cast<uint16_t>(m_body.size() + kVarnexHeaderSize);
}

void CVarnexImageObject::Clear()
{
    const uint8_t fill =
        (m_header.tag == VarnexTags::EEN || m_header.tag == VarnexTags::PGM) ? 0xFF : 0x00;
    std::fill(m_body.begin(), m_body.end(), fill);
}

bool CVarnexImageObject::HasData() const
{
    return !m_body.empty();
}

std::vector<uint8_t> CVarnexImageObject::GetBytes() const
{
    std::vector<uint8_t> bytes(kVarnexHeaderSize);
    PackVarnexHeader(m_header, std::span<uint8_t, 8>(bytes.data(), 8));
    bytes.insert(bytes.end(), m_body.begin(), m_body.end());
    return bytes;
}

bool CVarnexImageObject::Serialize(std::vector<uint8_t>& output, uint16_t offset) const
{
    const std::vector<uint8_t> bytes = GetBytes();
    if (offset == output.size())
    {
        output.insert(output.end(), bytes.begin(), bytes.end());
        return true;
    }
    if (!RangeFits(offset, bytes.size(), output.size()))
    {
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), output.begin() + offset);
    return true;
}

size_t CVarnexImageObject::RecordLength(std::string_view format)
{
    const auto size = MeasureFormat(format);
    return size ? size->bytes : 0;
}

std::vector<int32_t> CVarnexImageObject::ReadRecord(std::string_view format) const
{
    const auto size = MeasureFormat(format);
    if (!size)
    {
        return {};
    }
    std::vector<int32_t> values(size->values, 0);
    if (!HasData())
    {
        return values;
    }
    std::vector<uint8_t> bytes = GetBytes();
    if (bytes.size() < size->bytes)
    {
        bytes.resize(size->bytes, 0);
    }
    UnpackFields(format, bytes, values);
    return values;
}

bool CVarnexImageObject::WriteRecord(std::string_view format, std::span<const int32_t> values)
{
    const auto size = MeasureFormat(format);
    if (!size || !HasData())
    {
        return false;
    }
    std::vector<uint8_t> bytes = GetBytes();
    if (bytes.size() < size->bytes)
    {
        bytes.resize(size->bytes, 0);
    }
    if (!PackFields(format, bytes, values) || bytes.size() >= kVarnexMaxObjectSize)
    {
        return false;
    }
    ReplaceBody(std::vector<uint8_t>(bytes.begin() + kVarnexHeaderSize, bytes.end()));
    return true;
}
