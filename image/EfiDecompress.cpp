// The UEFI decompression format, decoded as the format's reference decoder
// does, with every count, length and distance checked before it is used.

#include "image/EfiDecompress.h"

#include <algorithm>

using namespace efi;

namespace
{
constexpr uint32_t kBitBufferBits = 32;
constexpr uint32_t kCTableBits = 12;
constexpr uint32_t kPTTableBits = 8;
constexpr uint32_t kCTableSize = 1u << kCTableBits;
constexpr uint32_t kPTTableSize = 1u << kPTTableBits;
constexpr uint32_t kTreeSize = 2 * kCharacterSetSize - 1;
// A 3-bit length of 7 continues in unary from this bit of the bit buffer.
constexpr uint32_t kUnaryLengthFirstBit = kBitBufferBits - 1 - 3;
} // namespace

ScratchData::ScratchData()
    : m_left(kTreeSize, 0), m_right(kTreeSize, 0), m_cLengths(kCharacterSetSize, 0),
      m_ptLengths(kPositionSetSize, 0), m_cTable(kCTableSize, 0), m_ptTable(kPTTableSize, 0)
{
}

// ---- bit input -----------------------------------------------------------

void ScratchData::FillBuffer(uint32_t bitCount)
{
    // 64-bit arithmetic: the reference shifts by up to 32, which a 32-bit
    // value cannot take.
    uint64_t buffer = uint64_t{m_bitBuffer} << bitCount;
    m_bitsConsumed += bitCount;
    while (bitCount > m_bitCount)
    {
        bitCount -= m_bitCount;
        buffer |= uint64_t{m_subBitBuffer} << bitCount;
        if (m_compressedSize > 0)
        {
            --m_compressedSize;
            m_subBitBuffer = m_source[m_inputPosition++];
        }
        else
        {
            m_subBitBuffer = 0;
        }
        m_bitCount = 8;
    }
    m_bitCount = static_cast<uint16_t>(m_bitCount - bitCount);
    buffer |= m_subBitBuffer >> m_bitCount;
    m_bitBuffer = static_cast<uint32_t>(buffer);
}

uint32_t ScratchData::PeekBits(uint32_t bitCount) const
{
    return bitCount == 0 ? 0 : m_bitBuffer >> (kBitBufferBits - bitCount);
}

uint32_t ScratchData::GetBits(uint32_t bitCount)
{
    const uint32_t bits = PeekBits(bitCount);
    FillBuffer(bitCount);
    return bits;
}

// ---- tables --------------------------------------------------------------

namespace
{
using CodeStarts = std::array<uint32_t, kMaxCodeLength + 2>;
using CodeWeights = std::array<uint32_t, kMaxCodeLength + 1>;

// Canonical codes: start[n] is the first 16-bit-aligned code of length n.
// False when a length is out of range or the codes do not fill the code
// space exactly: an over-full set would write past the table, an incomplete
// one leaves holes that decode to nothing.
bool CanonicalStarts(uint32_t symbolCount, const uint8_t* lengths, CodeStarts& start)
{
    std::array<uint32_t, kMaxCodeLength + 1> count{};
    for (uint32_t i = 0; i < symbolCount; ++i)
    {
        if (lengths[i] > kMaxCodeLength)
        {
            return false;
        }
        ++count[lengths[i]];
    }
    for (uint32_t length = 1; length <= kMaxCodeLength; ++length)
    {
        start[length + 1] = start[length] + (count[length] << (kMaxCodeLength - length));
    }
    return start[kMaxCodeLength + 1] == 1u << kMaxCodeLength;
}

// Codes that fit the table are scaled down to table entries, each covering
// weight entries; longer ones keep their 16-bit place and go on in a tree.
CodeWeights ScaleToTable(CodeStarts& start, uint32_t tableBits)
{
    const uint32_t shift = kMaxCodeLength - tableBits;
    CodeWeights weight{};
    for (uint32_t length = 1; length <= kMaxCodeLength; ++length)
    {
        if (length <= tableBits)
        {
            start[length] >>= shift;
            weight[length] = 1u << (tableBits - length);
        }
        else
        {
            weight[length] = 1u << (kMaxCodeLength - length);
        }
    }
    return weight;
}
} // namespace

// A code longer than the table: its first tableBits bits pick the table
// entry, each further bit a branch of the tree, nodes made as they are met.
bool ScratchData::PlaceTreeCode(uint16_t* table, uint32_t code, uint32_t length, uint32_t tableBits,
                                uint32_t symbol, uint32_t& available)
{
    const uint32_t shift = kMaxCodeLength - tableBits;
    const uint32_t mask = 1u << (kMaxCodeLength - 1 - tableBits);
    uint16_t* entry = &table[code >> shift];
    for (uint32_t level = length - tableBits; level != 0; --level)
    {
        if (*entry == 0)
        {
            if (available >= kTreeSize)
            {
                return false;
            }
            m_left[available] = 0;
            m_right[available] = 0;
            *entry = static_cast<uint16_t>(available++);
        }
        if (*entry >= kTreeSize)
        {
            return false;
        }
        entry = (code & mask) != 0 ? &m_right[*entry] : &m_left[*entry];
        code <<= 1;
    }
    *entry = static_cast<uint16_t>(symbol);
    return true;
}

bool ScratchData::MakeTable(uint32_t symbolCount, const uint8_t* lengths, uint32_t tableBits,
                            uint16_t* table, uint32_t tableSize)
{
    CodeStarts start{};
    if (!CanonicalStarts(symbolCount, lengths, start))
    {
        return false;
    }
    const CodeWeights weight = ScaleToTable(start, tableBits);
    const uint32_t shift = kMaxCodeLength - tableBits;
    // Entries that lead into the trees start empty.
    std::fill(table + std::min(start[tableBits + 1] >> shift, tableSize), table + tableSize, 0);

    uint32_t available = symbolCount;
    for (uint32_t symbol = 0; symbol < symbolCount; ++symbol)
    {
        const uint32_t length = lengths[symbol];
        if (length == 0)
        {
            continue;
        }
        const uint32_t nextCode = start[length] + weight[length];
        if (length <= tableBits)
        {
            std::fill(table + start[length], table + nextCode, static_cast<uint16_t>(symbol));
        }
        else if (!PlaceTreeCode(table, start[length], length, tableBits, symbol, available))
        {
            return false;
        }
        start[length] = nextCode;
    }
    return true;
}

bool ScratchData::WalkTree(uint16_t& symbol, uint32_t symbolCount, uint32_t firstBit)
{
    uint32_t mask = 1u << firstBit;
    while (symbol >= symbolCount)
    {
        if (mask == 0 || symbol >= kTreeSize)
        {
            return false;
        }
        symbol = (m_bitBuffer & mask) != 0 ? m_right[symbol] : m_left[symbol];
        mask >>= 1;
    }
    return true;
}

bool ScratchData::ReadPTLen(uint32_t symbolCount, uint32_t countBits, uint32_t specialIndex)
{
    const uint32_t number = GetBits(countBits);
    if (number == 0)
    {
        // A set of one symbol: every entry decodes to it without a bit.
        const uint32_t symbol = GetBits(countBits);
        if (symbol >= symbolCount)
        {
            return false;
        }
        std::fill(m_ptTable.begin(), m_ptTable.end(), static_cast<uint16_t>(symbol));
        std::fill(m_ptLengths.begin(), m_ptLengths.begin() + symbolCount, 0);
        return true;
    }
    if (number > symbolCount)
    {
        return false;
    }
    uint32_t index = 0;
    while (index < number)
    {
        uint32_t length = PeekBits(3);
        if (length == 7)
        {
            for (uint32_t mask = 1u << kUnaryLengthFirstBit; (m_bitBuffer & mask) != 0; mask >>= 1)
            {
                ++length;
            }
        }
        if (length > kMaxCodeLength)
        {
            return false;
        }
        FillBuffer(length < 7 ? 3 : length - 3);
        m_ptLengths[index++] = static_cast<uint8_t>(length);
        if (index == specialIndex)
        {
            const uint32_t zeros = GetBits(2);
            if (index + zeros > symbolCount)
            {
                return false;
            }
            std::fill(m_ptLengths.begin() + index, m_ptLengths.begin() + index + zeros, 0);
            index += zeros;
        }
    }
    std::fill(m_ptLengths.begin() + index, m_ptLengths.begin() + symbolCount, 0);
    return MakeTable(symbolCount, m_ptLengths.data(), kPTTableBits, m_ptTable.data(),
                     kPTTableSize);
}

bool ScratchData::ReadCLen()
{
    const uint32_t number = GetBits(kCharacterCountBits);
    if (number == 0)
    {
        const uint32_t symbol = GetBits(kCharacterCountBits);
        if (symbol >= kCharacterSetSize)
        {
            return false;
        }
        std::fill(m_cLengths.begin(), m_cLengths.end(), 0);
        std::fill(m_cTable.begin(), m_cTable.end(), static_cast<uint16_t>(symbol));
        return true;
    }
    if (number > kCharacterSetSize)
    {
        return false;
    }
    uint32_t index = 0;
    while (index < number)
    {
        uint16_t code = 0;
        if (!DecodeSymbol(m_ptTable, kPTTableBits, m_ptLengths, kExtraSetSize, code))
        {
            return false;
        }
        if (code <= 2)
        {
            uint32_t zeros = 1;
            if (code == 1)
            {
                zeros = GetBits(4) + 3;
            }
            else if (code == 2)
            {
                zeros = GetBits(kCharacterCountBits) + 20;
            }
            if (index + zeros > kCharacterSetSize)
            {
                return false;
            }
            std::fill(m_cLengths.begin() + index, m_cLengths.begin() + index + zeros, 0);
            index += zeros;
        }
        else
        {
            m_cLengths[index++] = static_cast<uint8_t>(code - 2);
        }
    }
    std::fill(m_cLengths.begin() + index, m_cLengths.end(), 0);
    return MakeTable(kCharacterSetSize, m_cLengths.data(), kCTableBits, m_cTable.data(),
                     kCTableSize);
}

bool ScratchData::ReadBlockHeader()
{
    m_blockSize = static_cast<uint16_t>(GetBits(16));
    return ReadPTLen(kExtraSetSize, kExtraCountBits, kExtraSpecialIndex) && ReadCLen() &&
           ReadPTLen(kPositionSetSize, kPositionCountBits, ~0u);
}

// ---- symbols -------------------------------------------------------------

bool ScratchData::DecodeSymbol(const std::vector<uint16_t>& table, uint32_t tableBits,
                               const std::vector<uint8_t>& lengths, uint32_t setSize,
                               uint16_t& symbol)
{
    symbol = table[PeekBits(tableBits)];
    if (!WalkTree(symbol, setSize, kBitBufferBits - 1 - tableBits) || symbol >= setSize)
    {
        return false;
    }
    FillBuffer(lengths[symbol]);
    return true;
}

uint16_t ScratchData::DecodeC()
{
    uint16_t symbol = 0;
    if (!DecodeSymbol(m_cTable, kCTableBits, m_cLengths, kCharacterSetSize, symbol))
    {
        m_ok = false;
        return 0;
    }
    return symbol;
}

uint32_t ScratchData::DecodeP()
{
    uint16_t symbol = 0;
    if (!DecodeSymbol(m_ptTable, kPTTableBits, m_ptLengths, kPositionSetSize, symbol))
    {
        m_ok = false;
        return 0;
    }
    if (symbol <= 1)
    {
        return symbol;
    }
    return (1u << (symbol - 1)) + GetBits(symbol - 1u);
}

bool ScratchData::CopyMatch(uint32_t length, uint32_t distance)
{
    // The match starts distance + 1 bytes back; it may overlap the bytes it
    // writes, which repeats them.
    if (uint64_t{distance} + 1 > m_outputPosition)
    {
        return false;
    }
    uint32_t from = m_outputPosition - distance - 1;
    for (uint32_t i = 0; i < length && m_outputPosition < m_decodedSize; ++i)
    {
        m_destination[m_outputPosition++] = m_destination[from++];
    }
    return true;
}

// ---- the stream ----------------------------------------------------------

void ScratchData::Decode(const uint8_t* source, uint32_t compressedSize, uint8_t* destination,
                         uint32_t decodedSize)
{
    m_source = source;
    m_compressedSize = compressedSize;
    m_destination = destination;
    m_decodedSize = decodedSize;
    m_inputPosition = 0;
    m_outputPosition = 0;
    m_bitCount = 0;
    m_bitBuffer = 0;
    m_subBitBuffer = 0;
    m_blockSize = 0;
    m_ok = true;
    FillBuffer(kBitBufferBits);
    m_bitsConsumed = 0;

    while (m_ok && m_outputPosition < m_decodedSize)
    {
        if (m_blockSize == 0 && !ReadBlockHeader())
        {
            m_ok = false;
            break;
        }
        --m_blockSize;
        const uint16_t code = DecodeC();
        if (!m_ok)
        {
            break;
        }
        if (code < 256)
        {
            m_destination[m_outputPosition++] = static_cast<uint8_t>(code);
            continue;
        }
        const uint32_t distance = DecodeP();
        if (!m_ok || !CopyMatch(code - kMatchBias, distance))
        {
            m_ok = false;
        }
    }
    // The buffer reads ahead 32 bits; only bits the decoder used count.
    m_ranOut = m_bitsConsumed > uint64_t{compressedSize} * 8;
}
