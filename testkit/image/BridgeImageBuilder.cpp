#include "testkit/image/BridgeImageBuilder.h"

#include <stdexcept>

namespace testkit
{
namespace
{
void Put16(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    bytes.at(at) = static_cast<uint8_t>(value);
    bytes.at(at + 1) = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    Put16(bytes, at, value & 0xFFFF);
    Put16(bytes, at + 2, value >> 16);
}

void Append16(std::vector<uint8_t>& bytes, uint32_t value)
{
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}
} // namespace

CZx22ImageBuilder& CZx22ImageBuilder::Size(uint32_t bytes)
{
    m_size = bytes;
    return *this;
}

CZx22ImageBuilder& CZx22ImageBuilder::Revision(uint32_t revision)
{
    m_revision = revision;
    return *this;
}

CZx22ImageBuilder& CZx22ImageBuilder::DeviceDigit(uint8_t digit)
{
    m_deviceDigit = digit;
    return *this;
}

CZx22ImageBuilder& CZx22ImageBuilder::Subsystem(uint16_t vendor, uint16_t device)
{
    m_subsystemVendor = vendor;
    m_subsystemDevice = device;
    return *this;
}

CZx22ImageBuilder& CZx22ImageBuilder::Record(const BridgeRecord& record)
{
    m_record = record;
    return *this;
}

CZx22ImageBuilder& CZx22ImageBuilder::NoBit()
{
    m_bit = false;
    return *this;
}

CZx22ImageBuilder& CZx22ImageBuilder::BitVersion(uint16_t version)
{
    m_bitVersion = version;
    return *this;
}

CZx22ImageBuilder& CZx22ImageBuilder::BadChecksum()
{
    m_badChecksum = true;
    return *this;
}

std::vector<uint8_t> CZx22ImageBuilder::Build() const
{
    std::vector<uint8_t> bytes(m_size, 0x00);
    const std::string signature = "22XZ";
    std::copy(signature.begin(), signature.end(), bytes.begin());
    Put32(bytes, 4, m_revision);
    if (m_size >= 0x74)
    {
        Put32(bytes, 0x70, static_cast<uint32_t>(m_deviceDigit & 0x0F) << 4);
    }
    if (m_size >= 0x170)
    {
        Put32(bytes, 0x16C, m_subsystemVendor | static_cast<uint32_t>(m_subsystemDevice) << 16);
    }
    if (m_bit)
    {
        // BIT header, one token entry, the record right after it and the
        // product name after the record.
        const std::vector<uint8_t> bitSignature = {0xFF, 0xB8, 'B', 'I', 'T', 0x00};
        std::copy(bitSignature.begin(), bitSignature.end(), bytes.begin() + kBitOffset);
        Put16(bytes, kBitOffset + 6, m_bitVersion);
        bytes.at(kBitOffset + 8) = 12;
        bytes.at(kBitOffset + 9) = 6;
        bytes.at(kBitOffset + 10) = m_record ? 1 : 0;
        if (m_record)
        {
            const size_t entry = kBitOffset + 12;
            const size_t data = entry + 6;
            const bool named = !m_record->productName.empty();
            const uint16_t tokenSize = named ? 22 : 19;
            bytes.at(entry) = 'R';
            bytes.at(entry + 1) = 1;
            Put16(bytes, entry + 2, tokenSize);
            Put16(bytes, entry + 4, static_cast<uint32_t>(data));
            Put32(bytes, data, m_record->version);
            bytes.at(data + 4) = m_record->oemVersion;
            Put16(bytes, data + 5,
                  m_record->romSizeUnits != 0 ? m_record->romSizeUnits : (m_size + 511) / 512);
            std::string date = m_record->date;
            date.resize(8, ' ');
            std::copy(date.begin(), date.end(), bytes.begin() + static_cast<long>(data + 7));
            if (named)
            {
                const size_t name = data + tokenSize;
                Put16(bytes, data + 19, static_cast<uint32_t>(name));
                bytes.at(data + 21) = static_cast<uint8_t>(m_record->productName.size());
                std::copy(m_record->productName.begin(), m_record->productName.end(),
                          bytes.begin() + static_cast<long>(name));
            }
        }
    }
    if (!bytes.empty())
    {
        uint8_t sum = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i)
        {
            sum = static_cast<uint8_t>(sum + bytes[i]);
        }
        bytes.back() = static_cast<uint8_t>(0x100 - sum + (m_badChecksum ? 1 : 0));
    }
    return bytes;
}

uint32_t PlxCrc(const std::vector<uint8_t>& image)
{
    // The CRC register takes the image's bytes two 16-bit words at a time,
    // each word pair as one 32-bit value, most significant bit first; as
    // bytes that is: high word (high byte, low byte), then low word.
    const size_t end = 4 + (image.at(2) | static_cast<size_t>(image.at(3)) << 8);
    uint32_t crc = 0xFFFFFFFF;
    for (size_t offset = 2; offset < end; offset += 4)
    {
        const bool hasHigh = offset + 2 < end;
        const uint8_t ordered[4] = {hasHigh ? image.at(offset + 3) : uint8_t{0},
                                    hasHigh ? image.at(offset + 2) : uint8_t{0},
                                    image.at(offset + 1), image.at(offset)};
        for (uint8_t byte : ordered)
        {
            crc ^= static_cast<uint32_t>(byte) << 24;
            for (int bit = 0; bit < 8; ++bit)
            {
                crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0xDB710641u : crc << 1;
            }
        }
    }
    return crc;
}

CPlxImageBuilder& CPlxImageBuilder::Register(uint32_t registerOffset, uint8_t port,
                                             uint32_t value)
{
    Append16(m_entries, ((registerOffset / 4) & 0x3FF) | (static_cast<uint32_t>(port & 0x3F) << 10));
    Append16(m_entries, value & 0xFFFF);
    Append16(m_entries, value >> 16);
    return *this;
}

CPlxImageBuilder& CPlxImageBuilder::CountField(uint16_t count)
{
    m_countField = count;
    return *this;
}

CPlxImageBuilder& CPlxImageBuilder::BadCrc()
{
    m_badCrc = true;
    return *this;
}

CPlxImageBuilder& CPlxImageBuilder::Trailer(std::vector<uint8_t> bytes)
{
    m_trailer = std::move(bytes);
    return *this;
}

std::vector<uint8_t> CPlxImageBuilder::Build() const
{
    std::vector<uint8_t> bytes = {0x5A, 0x00};
    Append16(bytes, m_countField.value_or(static_cast<uint16_t>(m_entries.size())));
    bytes.insert(bytes.end(), m_entries.begin(), m_entries.end());
    const size_t crcAt = bytes.size();
    bytes.resize(crcAt + 4);
    if (!m_countField)
    {
        Put32(bytes, crcAt, PlxCrc(bytes) + (m_badCrc ? 1 : 0));
    }
    bytes.insert(bytes.end(), m_trailer.begin(), m_trailer.end());
    return bytes;
}
} // namespace testkit
