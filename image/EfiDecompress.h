#pragma once
// The decoder of the UEFI compression format (the format of the EFI
// decompress protocol: LZ77 matches and Huffman-coded blocks, position-set
// counts of 4 bits). One decoder serves one stream.
//
// The decoder never reads or writes outside its tables, its input or its
// output: a table that is over-full or incomplete, a count of code lengths
// larger than its set, a code length above 16 and a match that reaches before
// the start of the output all count as a bad table, which ends decoding with
// IsOK false. Input that ends early reads as zero bytes, as the format's
// reference decoder does; RanOutOfInput records that it happened.

#include <array>
#include <cstdint>
#include <vector>

class ScratchData
{
public:
    ScratchData();
    virtual ~ScratchData() = default;
    ScratchData(const ScratchData&) = delete;
    ScratchData& operator=(const ScratchData&) = delete;

    // Decodes compressedSize bit-stream bytes (the block without its 8-byte
    // header) into decodedSize bytes of destination.
    void Decode(const uint8_t* source, uint32_t compressedSize, uint8_t* destination,
                uint32_t decodedSize);
    bool IsOK() const { return m_ok; }
    // True when the stream ended before the output was full.
    bool RanOutOfInput() const { return m_ranOut; }
    uint32_t OutputPosition() const { return m_outputPosition; }

private:
    void FillBuffer(uint32_t bitCount);
    uint32_t PeekBits(uint32_t bitCount) const;
    uint32_t GetBits(uint32_t bitCount);
    bool ReadPTLen(uint32_t symbolCount, uint32_t countBits, uint32_t specialIndex);
    bool ReadCLen();
    bool MakeTable(uint32_t symbolCount, const uint8_t* lengths, uint32_t tableBits,
                   uint16_t* table, uint32_t tableSize);
    // Follows the trees below a table entry; false when the walk does not end
    // on a symbol within the code's 16 bits.
    bool PlaceTreeCode(uint16_t* table, uint32_t code, uint32_t length, uint32_t tableBits,
                       uint32_t symbol, uint32_t& available);
    bool WalkTree(uint16_t& symbol, uint32_t symbolCount, uint32_t firstBit);
    // Looks a symbol of a set up through its table and trees and consumes its
    // code; false when the code leads to no symbol of the set.
    bool DecodeSymbol(const std::vector<uint16_t>& table, uint32_t tableBits,
                      const std::vector<uint8_t>& lengths, uint32_t setSize, uint16_t& symbol);
    bool ReadBlockHeader();
    uint16_t DecodeC();
    uint32_t DecodeP();
    bool CopyMatch(uint32_t length, uint32_t distance);

    const uint8_t* m_source = nullptr;
    uint8_t* m_destination = nullptr;
    uint32_t m_compressedSize = 0;
    uint32_t m_decodedSize = 0;
    uint32_t m_inputPosition = 0;
    uint32_t m_outputPosition = 0;
    uint16_t m_bitCount = 0;
    uint32_t m_bitBuffer = 0;
    uint32_t m_subBitBuffer = 0;
    uint16_t m_blockSize = 0;
    bool m_ok = true;
    bool m_ranOut = false;
    uint64_t m_bitsConsumed = 0;

    std::vector<uint16_t> m_left;
    std::vector<uint16_t> m_right;
    std::vector<uint8_t> m_cLengths;
    std::vector<uint8_t> m_ptLengths;
    std::vector<uint16_t> m_cTable;
    std::vector<uint16_t> m_ptTable;
};

// The format's parameters, shared with the test kit's encoder.
namespace efi
{
inline constexpr uint32_t kCharacterSetSize = 510; // NC: 256 literals, 254 lengths
inline constexpr uint32_t kExtraSetSize = 19;      // NT
inline constexpr uint32_t kPositionSetSize = 31;   // table of the position set
inline constexpr uint32_t kExtraCountBits = 5;
inline constexpr uint32_t kPositionCountBits = 4;
inline constexpr uint32_t kCharacterCountBits = 9;
inline constexpr uint32_t kExtraSpecialIndex = 3;
inline constexpr uint32_t kMaxCodeLength = 16;
inline constexpr uint32_t kMatchBias = 253; // a code c >= 256 copies c - 253 bytes
inline constexpr uint32_t kHeaderSize = 8;
} // namespace efi
