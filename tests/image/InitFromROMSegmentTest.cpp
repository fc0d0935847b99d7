// The init-from-ROM segment: register command encoding with odd parity, and a
// segment created in front of an image, stripped, recreated and refreshed.

#include "image/IROMImage.h"
#include "image/ROMImageGPUImpl.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;
using testkit::InfoToken;

namespace
{
// Opens the command helpers of the GPU image to the tests.
class CCommandCodec : public CROMImageGPUImpl
{
public:
    using CROMImageGPUImpl::EncodeIFRCommand;
    using CROMImageGPUImpl::SetOddParity;
};

std::vector<uint8_t> Bytes(IROMImage* image)
{
    const uint8_t* start = image->GetBuffer() - image->GetWindowOffset();
    return std::vector<uint8_t>(start, start + image->GetLoadedSize());
}

uint32_t BufferDword(IROMImage* image, uint32_t at)
{
    const bool mode = image->GetOffsetMode();
    image->SetOffsetMode(false);
    const uint32_t value = image->GetDword(static_cast<int32_t>(at));
    image->SetOffsetMode(mode);
    return value;
}

// Bexor-form list of 0x30 bytes: a command of 6 words and the last command of
// 6 words; the parity bits are left wrong so the copy must recompute them.
const std::vector<uint32_t> kCommands = {
    0x08001000, 1, 2, 3, 4, 5, 0x08002003, 6, 7, 8, 9, 10,
};

CGpuImageBuilder AvrelImage(std::vector<uint32_t> commands = kCommands,
                            std::vector<uint32_t> straps = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66},
                            uint32_t version = 0xAE6CEF)
{
    CGpuImageBuilder builder;
    InfoToken info;
    info.pointer7Value = version;
    builder.Block(CGpuImageBuilder::kX86, 0x8000)
        .Patch(0x4C, {0x00, 0x80})
        .CommandList(std::move(commands))
        .HardwareDataArea(0x7E2B, 0x1454, std::move(straps))
        .Info(info);
    return builder;
}
} // namespace

TEST(InitFromROMTest, CommandWordsCarryOddParity)
{
    const std::pair<uint32_t, uint32_t> parity[] = {{0, 0x80000000},
                                                    {1, 1},
                                                    {0x80000003, 0x80000003},
                                                    {0x80000001, 1},
                                                    {0x7FFFFFFF, 0x7FFFFFFF}};
    for (const auto& [word, expected] : parity)
    {
        EXPECT_EQ(CCommandCodec::SetOddParity(word), expected) << std::hex << word;
    }
    const uint32_t command = CCommandCodec::EncodeIFRCommand(1, 0x101000, 2);
    EXPECT_EQ(command, 0x82101002u);
    EXPECT_EQ(command & 3, 2u);
    EXPECT_EQ(command & 0x00FFFFFC, 0x101000u);
    EXPECT_EQ((command >> 25) & 0x3F, 1u);
    // Address bits outside the field and count bits beyond 6 never leak.
    EXPECT_EQ(CCommandCodec::EncodeIFRCommand(0x41, 0xFF101003, 7) & 0x7FFFFFFF, 0x02101003u);
}

TEST(InitFromROMTest, SegmentCreatedStrippedAndRecreated)
{
    CRefPtr<IROMImage> image = AvrelImage().BuildImage();
    const std::vector<uint8_t> original = Bytes(image.get());

    ASSERT_TRUE(image->CreateBexorIFR(1));
    EXPECT_EQ(image->GetWindowOffset(), 512u);
    EXPECT_EQ(image->GetIFRImageSize(), 512u);
    EXPECT_EQ(image->GetIFRDataSize(), 0x6Cu);
    EXPECT_EQ(BufferDword(image.get(), 8), 0x8000006Cu);
    EXPECT_EQ(image->GetSubsystemVendorID(), 0x7E2B);
    EXPECT_EQ(image->GetSubsystemDeviceID(), 0x1454);
    const std::vector<uint8_t> created = Bytes(image.get());
    EXPECT_EQ(std::vector<uint8_t>(created.begin() + 512, created.end()), original);

    // Signature, data size with parity, subsystem IDs, segment size, straps.
    const std::pair<uint32_t, uint32_t> words[] = {
        {0, 0x4947524B},  {2, 0x8000006C}, {3, 0x14547E2B},  {4, 0x0000E208},
        {5, 512},         {7, 0x11},       {8, 0x80000022},  {10, 0x33},
        {11, 0x80000044}, {13, 0x55},      {14, 0x80000066},
    };
    for (const auto& [index, value] : words)
    {
        EXPECT_EQ(BufferDword(image.get(), 4 * index), value) << "word " << index;
    }
    // Commands of one word (count field 1, type 2) at 0x101000, 0x10100C
    // and 0x101034, each with its odd-parity bit.
    EXPECT_EQ(BufferDword(image.get(), 4 * 6), 0x82101002u);
    EXPECT_EQ(BufferDword(image.get(), 4 * 9), 0x8210100Eu);
    EXPECT_EQ(BufferDword(image.get(), 4 * 12), 0x02101036u);
    // The image's own list follows with its parity bits recomputed: both
    // command words have an even count of ones, so bit 31 is set.
    for (size_t i = 0; i < kCommands.size(); ++i)
    {
        const uint32_t word = i == 0 || i == 6 ? kCommands[i] | 0x80000000u : kCommands[i];
        EXPECT_EQ(BufferDword(image.get(), static_cast<uint32_t>(60 + 4 * i)), word)
            << "list word " << i;
    }
    // The header's checksum byte makes the data bytes sum to 0 but for the
    // parity bit it may add.
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 0x6C; ++i)
    {
        sum += created[i];
    }
    EXPECT_TRUE((sum & 0xFF) == 0 || (sum & 0xFF) == 0x80) << sum;

    EXPECT_EQ(ErrorOf([&] { image->CreateBexorIFR(1); }), "CreateBexorIFR: Image already has IFR");
    EXPECT_EQ(Bytes(image.get()), created);

    ASSERT_TRUE(image->StripIFR());
    EXPECT_EQ(image->GetWindowOffset(), 0u);
    EXPECT_EQ(Bytes(image.get()), original);
    EXPECT_FALSE(image->StripIFR());
    EXPECT_EQ(Bytes(image.get()), original);

    ASSERT_TRUE(image->CreateBexorIFR(1));
    EXPECT_EQ(Bytes(image.get()), created);
}

TEST(InitFromROMTest, ListWithoutEndGetsOne)
{
    // The last command is cut off by the block's end: the list has no end.
    CGpuImageBuilder builder = AvrelImage({0x08001000, 1, 2, 3, 4, 5}, {1, 2, 3, 4});
    CRefPtr<IROMImage> image = builder.Truncate(0x8000).BuildImage();
    // Make the command list run to the end of the loaded bytes.
    const int32_t list = image->GetWord(0x68) * 4;
    for (int32_t at = list + 24; at + 4 <= 0x8000; at += 4)
    {
        image->SetDword(at, 0);
    }
    ASSERT_TRUE(image->CreateBexorIFR(0));
    const uint32_t size = image->GetIFRDataSize();
    EXPECT_EQ(BufferDword(image.get(), size - 12), 0x8200E20Bu); // 0x0200E20B with parity
    EXPECT_EQ(BufferDword(image.get(), 4 * 13), 0xFFFFFFFFu);
    EXPECT_EQ(BufferDword(image.get(), 4 * 14), 0u);
}

TEST(InitFromROMTest, UpdateRefreshesStrapsAndCommands)
{
    CRefPtr<IROMImage> plain = AvrelImage().BuildImage();
    const std::vector<uint8_t> before = Bytes(plain.get());
    EXPECT_TRUE(plain->UpdateBexorIFR(true));
    EXPECT_EQ(Bytes(plain.get()), before);

    CRefPtr<IROMImage> image = AvrelImage().BuildImage();
    ASSERT_TRUE(image->CreateBexorIFR(1));
    image->SetStraps(0xA, 0xB, 0xC, 0xD, 0xE, 0xF);
    ASSERT_TRUE(image->UpdateBexorIFR(false));
    EXPECT_EQ(BufferDword(image.get(), 28), 0xAu);
    EXPECT_EQ(BufferDword(image.get(), 32), 0x8000000Bu);
    EXPECT_EQ(BufferDword(image.get(), 44), 0x8000000Du);
    EXPECT_EQ(BufferDword(image.get(), 52), 0xEu);
    EXPECT_EQ(BufferDword(image.get(), 56), 0x8000000Fu);
    EXPECT_EQ(BufferDword(image.get(), 4) & 0x7FFFFF00, 0x00100100u);

    // Replacing commands copies the image's list (new firmware) again.
    image->SetOffsetMode(false);
    image->SetDword(60, 0);
    image->SetOffsetMode(true);
    ASSERT_TRUE(image->UpdateBexorIFR(true));
    EXPECT_EQ(BufferDword(image.get(), 60), 0x88001000u); // kCommands[0] with parity
}

TEST(InitFromROMTest, OlderFirmwareListIsConverted)
{
    // Avrel form: register 0x101000, one data word, last command.
    CRefPtr<IROMImage> image =
        AvrelImage({0x02020002, 0xDEADBEEF}, {1, 2, 3, 4}, 0x00AE0000).BuildImage();
    ASSERT_TRUE(image->CreateBexorIFR(2));
    ASSERT_TRUE(image->UpdateBexorIFR(true));
    EXPECT_EQ(BufferDword(image.get(), 60), 0x80101000u);
    EXPECT_EQ(BufferDword(image.get(), 64), 0xDEADBEEFu);
    EXPECT_EQ(BufferDword(image.get(), 68), 0x8200E20Bu);
}

TEST(InitFromROMTest, UpdateStaysInsideTheSegment)
{
    // The image behind a 512-byte segment gets a list longer than the
    // segment can hold: the update refuses and leaves the image as it was.
    CRefPtr<IROMImage> image = AvrelImage().BuildImage();
    ASSERT_TRUE(image->CreateBexorIFR(1));
    constexpr int32_t kLongList = 0x4000;
    int32_t at = kLongList;
    for (uint32_t i = 0; i < 70; ++i, at += 8)
    {
        image->SetDword(at, 0x1000);
        image->SetDword(at + 4, i);
    }
    image->SetDword(at, 0x1003);
    image->SetDword(at + 4, 0);
    image->SetWord(0x68, kLongList / 4);
    uint32_t sum = 0;
    for (int32_t i = 0x58; i < 0x6B; ++i)
    {
        sum += image->GetByte(i);
    }
    image->SetByte(0x6B, static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    ASSERT_TRUE(image->HasHardwareDataArea());

    const std::vector<uint8_t> before = Bytes(image.get());
    EXPECT_FALSE(image->UpdateBexorIFR(true));
    EXPECT_EQ(Bytes(image.get()), before);
}
