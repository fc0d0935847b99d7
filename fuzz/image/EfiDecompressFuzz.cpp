// Fuzzes the EFI decompressor: any stream, with any stated decoded size, must
// end in a result (good or bad table) without a read or write outside the
// tables, the input or the output. Inputs whose first byte is odd are
// mutations of a stream the test encoder made, so that runs reach deep into
// well-formed block headers and matches.

#include "image/EfiDecompress.h"
#include "testkit/image/EfiCompressor.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace
{
const std::vector<uint8_t>& SeedStream()
{
    static const std::vector<uint8_t> seed = []
    {
        std::vector<uint8_t> text;
        for (int i = 0; i < 200; ++i)
        {
            const std::string line = "GOP mode " + std::to_string(i % 17) + " of driver\n";
            text.insert(text.end(), line.begin(), line.end());
            text.insert(text.end(), static_cast<size_t>(i % 5), static_cast<uint8_t>(i));
        }
        return testkit::EfiCompress(text, {true, 500});
    }();
    return seed;
}
} // namespace

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
