#pragma once
// A small encoder of the UEFI compression format, for tests: greedy LZ77
// matching (3 to 256 bytes, within 8 KiB), then Huffman-coded blocks of at
// most 65535 codes, each with its three code-length tables. Sets of a single
// symbol use the format's count-0 form. The output carries the 8-byte header
// (compressed size, decoded size) and decodes to the input.
//
// CEfiBitWriter writes bit fields most significant bit first, as the decoder
// reads them, for tests that make streams by hand.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testkit
{
class CEfiBitWriter
{
public:
    void Put(uint32_t value, uint32_t bitCount);
    // A code length of the extra or position set (3 bits, or 7 and unary).
    void PutPTLength(uint32_t length);
    std::vector<uint8_t> Bytes() const;
    size_t BitCount() const { return m_bits; }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_bits = 0;
};

struct EfiCompressOptions
{
    bool useMatches = true;
    // Codes per block; the format allows 65535.
    uint32_t maxBlockCodes = 0xFFFF;
};

// The compressed block: header and bit stream.
std::vector<uint8_t> EfiCompress(const std::vector<uint8_t>& input,
                                 const EfiCompressOptions& options = {});
// Puts the 8-byte header in front of a bit stream.
std::vector<uint8_t> EfiFrame(const std::vector<uint8_t>& stream, uint32_t decodedSize);
} // namespace testkit
