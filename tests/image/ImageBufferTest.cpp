// The image buffer keeps only what was written: released buffers come back
// to the next image erased, whatever wrote into them.

#include "image/IROMImage.h"
#include "image/ImageBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace
{
bool AllErased(const uint8_t* bytes)
{
    return std::all_of(bytes, bytes + CImageBuffer::kSize, [](uint8_t b) { return b == 0xFF; });
}

TEST(ImageBufferTest, ReusedBuffersAreErasedWhateverWroteIntoThem)
{
    // Through the image's own writes, and through the pointer it hands out.
    for (int round = 0; round < 6; ++round)
    {
        CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
        ASSERT_TRUE(AllErased(image->GetBuffer())) << round;
        image->SetOffsetMode(false);
        image->SetByte(0x1000 * round, 0x00);
        image->GetBuffer()[CImageBuffer::kSize - 1 - round] = 0x00;
        EXPECT_FALSE(image->IsBlank());
    }
}

TEST(ImageBufferTest, CopyBringsBackSavedBytesAndErasesLaterOnes)
{
    CImageBuffer buffer;
    buffer.Write(4)[2] = 0x12;
    CImageBuffer saved;
    saved.CopyFrom(buffer);
    EXPECT_EQ(saved.DirtyEnd(), 4u);
    EXPECT_EQ(saved.Bytes()[2], 0x12);

    uint8_t* bytes = buffer.Write(0x20000);
    bytes[2] = 0x34;
    bytes[0x1FFFF] = 0x56;
    buffer.CopyFrom(saved);
    EXPECT_EQ(buffer.Bytes()[2], 0x12);
    EXPECT_EQ(buffer.Bytes()[0x1FFFF], 0xFF);
    EXPECT_EQ(buffer.DirtyEnd(), 4u);

    buffer.Erase();
    EXPECT_TRUE(AllErased(buffer.Bytes()));
}
// Private memory of the process in KiB: the pages it wrote itself.
uint64_t PrivateKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
    {
        if (line.starts_with("RssAnon:"))
        {
            return std::stoull(line.substr(8));
        }
    }
    return 0;
}

TEST(ImageBufferTest, AnImageCostsThePagesItWrites)
{
    // Forty small images held at once, each in its 3 MiB buffer: together
    // they write some hundred KiB, not forty buffers.
    const std::vector<uint8_t> bytes(0x1000, 0x11);
    const uint64_t before = PrivateKiB();
    std::vector<CRefPtr<IROMImage>> images;
    for (int i = 0; i < 40; ++i)
    {
        images.push_back(
            IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    EXPECT_LT(PrivateKiB() - before, 16u * 1024) << "KiB";
    EXPECT_TRUE(std::all_of(images.begin(), images.end(),
                            [](const CRefPtr<IROMImage>& image)
                            { return image->GetBuffer()[0x1000] == 0xFF; }));
}

TEST(ImageBufferTest, Sum8AgreesWithAByteByByteSum)
{
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    image->SetOffsetMode(false);
    std::vector<uint8_t> bytes(0x3000);
    uint32_t seed = 1;
    for (uint8_t& byte : bytes)
    {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(seed >> 16 | 0xF0); // large bytes fill the lanes fastest
    }
    image->WriteBlock(bytes.data(), 0, static_cast<uint32_t>(bytes.size()));
    for (const auto& [start, end] : {std::pair{0u, 0u}, {0u, 7u}, {3u, 0x1001u}, {5u, 0x2FFFu}})
    {
        uint32_t sum = 0;
        for (uint32_t i = start; i < end; ++i)
        {
            sum += bytes[i];
        }
        EXPECT_EQ(image->Sum8(start, end), static_cast<uint8_t>(sum)) << start << ".." << end;
    }
}
} // namespace
