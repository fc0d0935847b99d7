// The image buffer keeps only what was written: released buffers come back
// to the next image erased, whatever wrote into them.

#include "image/IROMImage.h"
#include "image/ImageBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(ImageBufferTest, RestoreBringsBackSavedBytesAndErasesLaterOnes)
{
    CImageBuffer buffer;
    buffer.Write(4)[2] = 0x12;
    const std::vector<uint8_t> saved = buffer.Save();
    EXPECT_EQ(saved, (std::vector<uint8_t>{0xFF, 0xFF, 0x12, 0xFF}));

    uint8_t* bytes = buffer.Write(0x20000);
    bytes[2] = 0x34;
    bytes[0x1FFFF] = 0x56;
    buffer.Restore(saved);
    EXPECT_EQ(buffer.Bytes()[2], 0x12);
    EXPECT_EQ(buffer.Bytes()[0x1FFFF], 0xFF);
    EXPECT_EQ(buffer.DirtyEnd(), 4u);

    buffer.Erase();
    EXPECT_TRUE(AllErased(buffer.Bytes()));
}
} // namespace
