// Decompresses a 1 MiB UEFI-compressed stream (made by the test encoder from
// driver-like bytes: text, zero runs and noise) and prints the throughput in
// MB/s of decoded output beside the throughput of copying the same bytes,
// the floor any decoder stays above in time.

#include "image/EfiDecompress.h"
#include "testkit/image/EfiCompressor.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace
{
constexpr size_t kStreamBytes = 1 << 20;

// Driver-like input whose compressed stream is at least kStreamBytes long.
std::vector<uint8_t> DriverLikeBytes(size_t size)
{
    std::mt19937 random(11);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; bytes.size() < size; ++i)
    {
        const std::string text = "EFI_GRAPHICS_OUTPUT_PROTOCOL.SetMode " + std::to_string(i % 97);
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.insert(bytes.end(), i % 23, 0);
        for (size_t n = 0; n < 48; ++n)
        {
            bytes.push_back(static_cast<uint8_t>(random()));
        }
    }
    bytes.resize(size);
    return bytes;
}

template <class F> double SecondsPerRun(F&& run, int runs)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i)
    {
        run();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / runs;
}
} // namespace

int main()
{
    // Grow the input until its stream reaches 1 MiB, then cut the stream's
    // input to match.
    std::vector<uint8_t> input = DriverLikeBytes(kStreamBytes);
    std::vector<uint8_t> block = testkit::EfiCompress(input);
    while (block.size() - 8 < kStreamBytes)
    {
        input = DriverLikeBytes(input.size() * (kStreamBytes + 4096) / (block.size() - 8));
        block = testkit::EfiCompress(input);
    }
    const auto streamSize = static_cast<uint32_t>(block.size() - 8);
    std::vector<uint8_t> output(input.size());
    bool ok = true;
    const double decode = SecondsPerRun(
        [&]
        {
            ScratchData decoder;
            decoder.Decode(block.data() + 8, streamSize, output.data(),
                           static_cast<uint32_t>(output.size()));
            ok = ok && decoder.IsOK();
        },
        10);
    if (!ok || output != input)
    {
        std::printf("decoded bytes differ from the input\n");
        return 1;
    }
    std::vector<uint8_t> copy(input.size());
    const double copying = SecondsPerRun(
        [&]
        {
            std::memcpy(copy.data(), input.data(), input.size());
            asm volatile("" : : "r"(copy.data()) : "memory");
        },
        200);
    const double megabytes = static_cast<double>(input.size()) / 1e6;
    std::printf("stream %u bytes, decoded %zu bytes\n", streamSize, input.size());
    std::printf("%-28s %10.1f MB/s (stream in: %.1f MB/s)\n", "EFI decompression", megabytes / decode,
                streamSize / 1e6 / decode);
    std::printf("%-28s %10.1f MB/s\n", "copy of the decoded bytes", megabytes / copying);
    return 0;
}
