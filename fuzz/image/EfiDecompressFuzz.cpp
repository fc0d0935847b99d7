// Fuzzes the EFI decompressor: any stream, with any stated decoded size, must
// end in a result (good or bad table) without a read or write outside the
// tables, the input or the output. Inputs whose first byte is odd are
// mutations of a stream the test encoder made, so that runs reach deep into
// well-formed block headers and matches.
//
// The seeds are the encoder's streams of a text, a driver and random-looking
// bytes, with and without matches and in small blocks, and one whose codes
// are longer than the decoder's lookup table.

#include "fuzz/FuzzSeeds.h"
#include "image/EfiDecompress.h"
#include "testkit/image/EfiCompressor.h"
#include "testkit/image/UefiBuilder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace
{
std::vector<uint8_t> Text()
{
    std::vector<uint8_t> text;
    for (int i = 0; i < 200; ++i)
    {
        const std::string line = "GOP mode " + std::to_string(i % 17) + " of driver\n";
        text.insert(text.end(), line.begin(), line.end());
        text.insert(text.end(), static_cast<size_t>(i % 5), static_cast<uint8_t>(i));
    }
    return text;
}

const std::vector<uint8_t>& SeedStream()
{
    static const std::vector<uint8_t> seed = testkit::EfiCompress(Text(), {true, 500});
    return seed;
}

// The raw-stream input for these bytes: the decoded size (an even first
// byte, so the bytes are padded to an odd length), then the stream without
// its header.
std::vector<uint8_t> RawInput(std::vector<uint8_t> decoded,
                              const testkit::EfiCompressOptions& options)
{
    if (decoded.size() % 2 == 0)
    {
        decoded.push_back(0x5A);
    }
    const std::vector<uint8_t> stream = testkit::EfiCompress(decoded, options);
    const auto sizeField = static_cast<uint32_t>(decoded.size() - 1);
    std::vector<uint8_t> input = {static_cast<uint8_t>(sizeField),
                                  static_cast<uint8_t>(sizeField >> 8)};
    input.insert(input.end(), stream.begin() + 8, stream.end());
    return input;
}

// Symbols whose counts follow the Fibonacci numbers: their Huffman codes
// grow one bit a symbol, to 15 bits, longer than the decoder's 12-bit
// lookup table, so the decoder walks its tree for the rarest.
std::vector<uint8_t> DeepCodes()
{
    std::vector<uint8_t> bytes;
    uint32_t previous = 1;
    uint32_t count = 1;
    for (uint8_t symbol = 'a'; symbol < 'a' + 16; ++symbol)
    {
        bytes.insert(bytes.end(), count, symbol);
        const uint32_t next = previous + count;
        previous = count;
        count = next;
    }
    return bytes;
}

std::vector<uint8_t> Scrambled(size_t length)
{
    std::vector<uint8_t> bytes(length);
    uint32_t state = 0x12345678;
    for (uint8_t& byte : bytes)
    {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    const std::vector<uint8_t> driver =
        testkit::CUefiDriverBuilder()
            .BuildInfo(testkit::UefiBuildRecord({{"VER", "1.0"}, {"VAR", "0101"}}))
            .Build();
    return {
        {"text", RawInput(Text(), {})},
        {"text-small-blocks", RawInput(Text(), {true, 500})},
        {"text-literals-only", RawInput(Text(), {false})},
        {"driver", RawInput(driver, {})},
        {"scrambled", RawInput(Scrambled(3000), {})},
        {"single-symbol", RawInput(std::vector<uint8_t>(4001, 0x41), {})},
        {"codes-longer-than-the-table", RawInput(DeepCodes(), {false})},
        {"patched-encoder-stream", {0x01, 0x10, 0x20, 0x00, 0xFF, 0x40, 0x01, 0x00}},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
    {
        return 0;
    }
    // The first two bytes choose the decoded size (up to 64 KiB).
    const uint32_t decodedSize = (data[0] | data[1] << 8) + 1u;
    std::vector<uint8_t> stream(data + 2, data + size);
    if ((data[0] & 1) != 0)
    {
        // Patches (offset, value) to the encoder's stream, its header dropped.
        std::vector<uint8_t> mutated(SeedStream().begin() + 8, SeedStream().end());
        for (size_t i = 2; i + 2 < size; i += 3)
        {
            mutated[(data[i] | data[i + 1] << 8) % mutated.size()] = data[i + 2];
        }
        stream = std::move(mutated);
    }
    std::vector<uint8_t> output(decodedSize, 0);
    ScratchData decoder;
    decoder.Decode(stream.data(), static_cast<uint32_t>(stream.size()), output.data(),
                   decodedSize);
    return 0;
}
