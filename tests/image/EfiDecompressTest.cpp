#include "image/EfiDecompress.h"
#include "testkit/image/EfiCompressor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

using testkit::CEfiBitWriter;
using testkit::EfiCompress;
using testkit::EfiCompressOptions;

namespace
{
struct Decoded
{
    std::vector<uint8_t> bytes;
    bool ok = false;
    bool ranOut = false;
};

// Decodes a framed block (header and stream) into its stated size, or into
// decodedSize bytes when given.
Decoded DecodeBlock(const std::vector<uint8_t>& block, int64_t decodedSize = -1)
{
    uint32_t compressed = 0;
    uint32_t stated = 0;
    std::memcpy(&compressed, block.data(), 4);
    std::memcpy(&stated, block.data() + 4, 4);
    Decoded result;
    result.bytes.assign(decodedSize < 0 ? stated : static_cast<uint32_t>(decodedSize), 0);
    ScratchData decoder;
    decoder.Decode(block.data() + 8, std::min<uint32_t>(compressed, block.size() - 8),
                   result.bytes.data(), static_cast<uint32_t>(result.bytes.size()));
    result.ok = decoder.IsOK();
    result.ranOut = decoder.RanOutOfInput();
    return result;
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes)
    {
        b = static_cast<uint8_t>(random());
    }
    return bytes;
}

std::vector<uint8_t> Text(const std::string& text, size_t repeat = 1)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < repeat; ++i)
    {
        bytes.insert(bytes.end(), text.begin(), text.end());
    }
    return bytes;
}

// A driver-like mix: runs of text, zero fill and noise.
std::vector<uint8_t> Mixed(size_t count)
{
    std::vector<uint8_t> bytes;
    const std::vector<uint8_t> noise = RandomBytes(4096, 7);
    for (size_t i = 0; bytes.size() < count; ++i)
    {
        const std::vector<uint8_t> text = Text("EFI_GRAPHICS_OUTPUT_PROTOCOL " + std::to_string(i));
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.insert(bytes.end(), i % 40, 0);
        bytes.insert(bytes.end(), noise.begin() + static_cast<std::ptrdiff_t>(i % 4000),
                     noise.begin() + static_cast<std::ptrdiff_t>(i % 4000 + i % 90));
    }
    bytes.resize(count);
    return bytes;
}

// The three code-length sets of a block whose sets each hold one symbol
// (count 0, then the symbol); every code then takes no bit.
CEfiBitWriter SingleSymbolBlock(uint16_t blockSize, uint32_t characterSymbol,
                                uint32_t positionSymbol)
{
    CEfiBitWriter w;
    w.Put(blockSize, 16);
    w.Put(0, 5);
    w.Put(0, 5);
    w.Put(0, 9);
    w.Put(characterSymbol, 9);
    w.Put(0, 4);
    w.Put(positionSymbol, 4);
    return w;
}
} // namespace

TEST(EfiDecompressTest, StreamsOfTheTestEncoderDecodeToTheirInput)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> input;
        EfiCompressOptions options;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {}},
        {"one byte", {0x42}, {}},
        {"one repeated byte (overlapping matches)", std::vector<uint8_t>(5000, 0xAB), {}},
        {"repeated text", Text("The quick brown fox. ", 300), {}},
        {"noise, literals only", RandomBytes(3000, 1), {}},
        {"mixed, no matches", Mixed(20000), {false}},
        {"mixed, many small blocks", Mixed(150000), {true, 700}},
        {"mixed, large", Mixed(300000), {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> block = EfiCompress(c.input, c.options);
        const Decoded decoded = DecodeBlock(block);
        EXPECT_TRUE(decoded.ok);
        EXPECT_FALSE(decoded.ranOut);
        EXPECT_EQ(decoded.bytes, c.input);
        if (c.input.size() > 10)
        {
            // A smaller output stops inside a match, exactly at its end.
            const Decoded prefix = DecodeBlock(block, 10);
            EXPECT_TRUE(prefix.ok);
            EXPECT_EQ(prefix.bytes, std::vector<uint8_t>(c.input.begin(), c.input.begin() + 10));
        }
    }
}

TEST(EfiDecompressTest, SingleSymbolSetsDecodeWithoutBits)
{
    const CEfiBitWriter w = SingleSymbolBlock(100, 'A', 0);
    const Decoded decoded = DecodeBlock(testkit::EfiFrame(w.Bytes(), 7));
    EXPECT_TRUE(decoded.ok);
    EXPECT_FALSE(decoded.ranOut);
    EXPECT_EQ(decoded.bytes, Text("AAAAAAA"));
}

TEST(EfiDecompressTest, MalformedCodeSetsAndMatchesAreBadTables)
{
    struct Case
    {
        const char* name;
        CEfiBitWriter stream;
    };
    std::vector<Case> cases;
    {
        CEfiBitWriter w; // three codes of one bit: over-full
        w.Put(10, 16);
        w.Put(3, 5);
        w.PutPTLength(1);
        w.PutPTLength(1);
        w.PutPTLength(1);
        w.Put(0, 2);
        cases.push_back({"over-full extra set", w});
    }
    {
        CEfiBitWriter w; // one code of one bit: half the code space
        w.Put(10, 16);
        w.Put(1, 5);
        w.PutPTLength(1);
        cases.push_back({"incomplete extra set", w});
    }
    {
        CEfiBitWriter w;
        w.Put(10, 16);
        w.Put(20, 5);
        cases.push_back({"extra set count above 19", w});
    }
    {
        CEfiBitWriter w;
        w.Put(10, 16);
        w.Put(0, 5);
        w.Put(19, 5);
        cases.push_back({"single extra symbol outside the set", w});
    }
    {
        CEfiBitWriter w;
        w.Put(10, 16);
        w.Put(1, 5);
        w.PutPTLength(17);
        cases.push_back({"code length above 16", w});
    }
    {
        CEfiBitWriter w;
        w.Put(10, 16);
        w.Put(0, 5);
        w.Put(0, 5);
        w.Put(511, 9);
        cases.push_back({"character set count above 510", w});
    }
    cases.push_back({"control: valid", SingleSymbolBlock(10, 'A', 0)});
    cases.push_back({"match before the start of the output", SingleSymbolBlock(10, 256, 3)});
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Decoded decoded = DecodeBlock(testkit::EfiFrame(c.stream.Bytes(), 16));
        if (std::string(c.name).rfind("control", 0) == 0)
        {
            EXPECT_TRUE(decoded.ok);
            continue;
        }
        EXPECT_FALSE(decoded.ok);
        EXPECT_EQ(decoded.bytes, std::vector<uint8_t>(16, 0));
    }
}

TEST(EfiDecompressTest, TruncatedStreamStillFillsTheOutputAndSaysItRanOut)
{
    // Literals only: once the input is gone, the zero bits decode as the
    // shortest literal code, so decoding goes on to the stated size.
    const std::vector<uint8_t> input = Mixed(6000);
    std::vector<uint8_t> block = EfiCompress(input, {false});
    const size_t kept = 8 + (block.size() - 8) / 2;
    block.resize(kept);
    const Decoded decoded = DecodeBlock(block);
    EXPECT_TRUE(decoded.ok);
    EXPECT_TRUE(decoded.ranOut);
    ASSERT_EQ(decoded.bytes.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.begin() + 1000, decoded.bytes.begin()));
}
