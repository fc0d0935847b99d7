#include "image/ASN1Reader.h"

#include "core/Range.h"

#include <limits>

namespace
{
// Constructed context-specific and private tags, SEQUENCE and SET hold
// elements; every other element is read as plain content.
bool HoldsElements(uint8_t tag)
{
    if ((tag & 0xA0) == 0xA0)
    {
        return true;
    }
    const uint8_t number = tag & 0x1F;
    return (tag & 0x80) == 0 && (number == 0x10 || number == 0x11);
}
} // namespace

uint64_t ASN1Item::GetIntegerValue() const
{
    if (m_contentLength > 8)
    {
        return std::numeric_limits<uint64_t>::max();
    }
    uint64_t value = 0;
    for (uint32_t i = 0; i < m_contentLength; ++i)
    {
        value = value << 8 | m_bytes[m_contentOffset + i];
    }
    return value;
}

std::string ASN1Item::GetOIDText() const
{
    if (m_contentLength == 0)
    {
        return {};
    }
    const uint8_t* content = m_bytes.data() + m_contentOffset;
    std::string text = std::to_string(content[0] / 40) + "." + std::to_string(content[0] % 40);
    for (uint32_t i = 1; i < m_contentLength;)
    {
        uint32_t arc = 0;
        uint32_t used = 0;
        uint8_t byte = 0;
        do
        {
            if (used == 4)
            {
                return text;
            }
            byte = content[i++];
            arc = arc << 7 | (byte & 0x7F);
            ++used;
        } while ((byte & 0x80) != 0 && i < m_contentLength);
        text += '.';
        text += std::to_string(arc);
    }
    return text;
}

std::string ASN1Item::GetContentString() const
{
    const auto* content = reinterpret_cast<const char*>(m_bytes.data() + m_contentOffset);
    return std::string(content, m_contentLength);
}

ASN1Handler::ASN1Handler(const std::vector<uint8_t>& bytes, uint32_t start, uint32_t limit)
    : m_bytes(bytes)
{
    uint32_t cursor = start;
    const auto end = static_cast<uint32_t>(std::min<uint64_t>(limit, bytes.size()));
    m_root = ParseItem(cursor, end, 0);
}

bool ASN1Handler::ReadLength(uint32_t& cursor, uint32_t limit, uint32_t& length) const
{
    if (!OffsetFits(cursor, limit))
    {
        return false;
    }
    const uint8_t first = m_bytes[cursor++];
    if (first <= 0x7F)
    {
        length = first;
        return true;
    }
    // 0x80 (indefinite length) is not DER; more than four length bytes
    // cannot describe anything inside an image.
    const uint32_t count = first - 0x80u;
    if (count == 0 || count > 4 || !RangeFits(cursor, count, limit))
    {
        return false;
    }
    length = 0;
    for (uint32_t i = 0; i < count; ++i)
    {
        length = length << 8 | m_bytes[cursor++];
    }
    return true;
}

std::unique_ptr<ASN1Item> ASN1Handler::ParseItem(uint32_t& cursor, uint32_t limit,
                                                 uint32_t depth) const
{
    if (depth > kMaxDepth || !OffsetFits(cursor, limit))
    {
        return nullptr;
    }
    auto item = std::make_unique<ASN1Item>(m_bytes, cursor, m_bytes[cursor]);
    ++cursor;
    uint32_t length = 0;
    if (!ReadLength(cursor, limit, length) || !RangeFits(cursor, length, limit))
    {
        return nullptr;
    }
    item->m_contentOffset = cursor;
    item->m_contentLength = length;
    const uint32_t end = cursor + length;
    if (HoldsElements(item->m_tag))
    {
        while (cursor < end)
        {
            std::unique_ptr<ASN1Item> child = ParseItem(cursor, end, depth + 1);
            if (!child)
            {
                return nullptr;
            }
            item->m_children.push_back(std::move(child));
        }
    }
    cursor = end;
    return item;
}
