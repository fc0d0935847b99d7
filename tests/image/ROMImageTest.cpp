// The image object: factories and kind detection, byte access and its bounds,
// files and streams, sums, CRC, comparison and block editing.

#include "tests/image/ImageBytes.h"
#include "core/Exceptions.h"
#include "image/IROMImage.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/UefiBuilder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;

namespace
{
constexpr uint32_t kMiB3 = 0x300000;

template <class E, class F> std::string ErrorText(F&& action)
{
    try
    {
        action();
    }
    catch (const E& error)
    {
        return error.what();
    }
    catch (const std::exception& other)
    {
        return std::string("wrong exception type: ") + other.what();
    }
    return "no exception";
}

class TempFile
{
public:
    explicit TempFile(const std::string& name) : m_path(m_folder / name) {}
    std::string Path() const { return m_path.string(); }
    void Write(const std::vector<uint8_t>& bytes) const
    {
        m_folder.WriteBytes(m_path.filename(), bytes);
    }
    std::vector<uint8_t> Read() const
    {
        std::ifstream in(m_path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    testkit::CScratchDirectory m_folder;
    std::filesystem::path m_path;
};

struct DetectionCase
{
    const char* name;
    std::vector<uint8_t> bytes;
    int32_t bufferKind;
    int32_t fileKind;
};

TEST(ROMImageTest, KindFollowsTheFirstBytesInEveryFactory)
{
    const std::vector<DetectionCase> cases = {
        {"empty", {}, kROMImageGPU, -1},
        {"one 0x5A byte", {0x5A}, kROMImageGPU, kROMImageBridgePLX8747},
        {"0x5A and a byte", {0x5A, 0x00}, kROMImageBridgePLX8747, kROMImageBridgePLX8747},
        {"22XZ", {'2', '2', 'X', 'Z', 1, 2}, kROMImageBridgeZX22, kROMImageBridgeZX22},
        {"22X only", {'2', '2', 'X'}, kROMImageGPU, kROMImageGPU},
        // A UEFI driver file must carry its GPU support list to load.
        {"PE mark", testkit::Join({{0x4D, 0x5A, 0x90, 0x00}, testkit::GpuSupportList(1, 1, {})}),
         kROMImageGPUEFI, kROMImageGPUEFI},
        {"public block mark", {0x55, 0xAA, 0x01, 0x00}, kROMImageGPU, kROMImageGPU},
        {"init-from-ROM", {'K', 'R', 'G', 'I'}, kROMImageGPU, kROMImageGPU},
    };
    for (const DetectionCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = FromBytes(c.bytes);
        EXPECT_EQ(image->GetImageType(), c.bufferKind);
        EXPECT_EQ(image->GetLoadedSize(), c.bytes.size());
        if (c.fileKind == -1)
        {
            continue;
        }
        TempFile file("romvise-detect");
        file.Write(c.bytes);
        EXPECT_EQ(IROMImage::CreateFromFile(file.Path())->GetImageType(), c.fileKind);
    }
}

TEST(ROMImageTest, CreateMakesEmptyImagesOfEachKindAndRefusesOthers)
{
    for (int32_t type = 1; type <= 4; ++type)
    {
        CRefPtr<IROMImage> image = IROMImage::Create(type);
        EXPECT_EQ(image->GetImageType(), type);
        EXPECT_EQ(image->GetLoadedSize(), 0u);
        EXPECT_TRUE(image->IsBlank());
    }
    for (int32_t type : {0, 5, -1})
    {
        EXPECT_EQ(ErrorText<std::runtime_error>([&] { IROMImage::Create(type); }),
                  "IROMImage::Create: Unknown/unsupported ROM image type");
    }
}

TEST(ROMImageTest, KindsWithoutAGpuChainGiveTheNeutralAnswers)
{
    for (int32_t type : {1, 2})
    {
        CRefPtr<IROMImage> image = IROMImage::Create(type);
        EXPECT_EQ(image->GetVarnexVersion(), "Not Supported") << type;
        EXPECT_TRUE(image->GetHeaderFlag49()) << type;
        EXPECT_FALSE(image->StripIFR()) << type;
        EXPECT_FALSE(image->CreateBexorIFR(1)) << type;
        EXPECT_FALSE(image->UpdateBexorIFR(true)) << type;
        EXPECT_TRUE(image->IsBlank()) << type;
    }
}

TEST(ROMImageTest, ByteAccessAtTheLastValidOffsetsAndOnePast)
{
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    image->SetWord(0x1000, 0xBEEF);
    EXPECT_EQ(image->GetLoadedSize(), 0x1002u);
    EXPECT_EQ(image->GetByte(0x1000), 0xEF); // low byte first
    EXPECT_EQ(image->GetByte(0x1001), 0xBE);

    image->SetByte(kMiB3 - 1, 0x12);
    image->SetDword(kMiB3 - 4 - 4, 0x01020304);
    EXPECT_EQ(image->GetByte(kMiB3 - 1), 0x12);
    EXPECT_EQ(image->GetDword(kMiB3 - 8), 0x01020304u);
    EXPECT_EQ(image->GetLoadedSize(), kMiB3);

    const auto invalid = [&](auto action) { return ErrorText<std::out_of_range>(action); };
    EXPECT_EQ(invalid([&] { image->SetByte(kMiB3, 1); }), "Invalid offset");
    EXPECT_EQ(invalid([&] { image->SetWord(kMiB3 - 1, 1); }), "Invalid offset");
    EXPECT_EQ(invalid([&] { image->SetDword(kMiB3 - 2, 1); }), "Invalid offset");
    EXPECT_EQ(invalid([&] { image->GetDword(kMiB3 - 2); }), "Invalid offset");
    EXPECT_EQ(invalid([&] { image->GetWord(kMiB3 - 1); }), "Invalid offset");
    // A refused write changes nothing, not even its first bytes.
    EXPECT_EQ(image->GetByte(kMiB3 - 1), 0x12);
    EXPECT_EQ(image->GetByte(kMiB3 - 2), 0xFF);

    // Offset -1 (a missing table) reads blank and never reaches the buffer.
    EXPECT_EQ(image->GetByte(-1), 0xFF);
    EXPECT_EQ(image->GetDword(-1), 0xFFFFFFFFu);
    EXPECT_EQ(invalid([&] { image->SetByte(-1, 0); }), "Invalid offset");
}

TEST(ROMImageTest, BuffersAndFilesLargerThanTheImageAreRefusedNotCut)
{
    std::vector<uint8_t> big(kMiB3 + 1, 0x11);
    EXPECT_EQ(ErrorText<std::domain_error>([&] { FromBytes(big); }),
              "Image is larger than the image buffer");

    TempFile file("romvise-big");
    file.Write(big);
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    image->SetByte(0, 0x00);
    EXPECT_EQ(ErrorText<io_error>([&] { image->LoadFromFile(file.Path()); }),
              "File is larger than the image buffer: " + file.Path());
    EXPECT_EQ(image->GetLoadedSize(), 0u);
    EXPECT_TRUE(image->IsBlank());

    big.pop_back(); // exactly 3 MiB fits
    file.Write(big);
    EXPECT_EQ(image->LoadFromFile(file.Path()), kMiB3);
}

// A device that fails under a stream: reads and writes end in the bad state.
class CBrokenStreamBuffer : public std::streambuf
{
protected:
    int_type underflow() override { throw std::runtime_error("device gone"); }
    int_type overflow(int_type) override { throw std::runtime_error("device gone"); }
};

TEST(ROMImageTest, FileErrorsCarryTheirTexts)
{
    TempFile empty("romvise-empty");
    empty.Write({});
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    EXPECT_EQ(ErrorText<io_error>([&] { image->LoadFromFile(empty.Path()); }),
              "Error reading file into buffer");
    EXPECT_EQ(ErrorText<io_error>([&] { IROMImage::CreateFromFile("/nonexistent/x.rom"); }),
              "Cannot open file: /nonexistent/x.rom");
    EXPECT_EQ(ErrorText<io_error>([&] { image->SaveToFile("/nonexistent/x.rom", 0, 1); }),
              "Cannot create file: /nonexistent/x.rom (No such file or directory)");
    EXPECT_EQ(ErrorText<std::domain_error>([&] { image->SaveToFile(empty.Path(), kMiB3, 1); }),
              "Save range is outside the image buffer");

    CBrokenStreamBuffer broken;
    std::istream input(&broken);
    EXPECT_EQ(ErrorText<io_error>([&] { IROMImage::CreateFromStream(input, 16); }),
              "Error reading signature from input stream");
    std::ostream output(&broken);
    EXPECT_EQ(ErrorText<io_error>([&] { image->WriteToStream(output, 0, 16); }),
              "Error writing image to file");
}

TEST(ROMImageTest, SaveLoadAndStreamsRoundTripTheBytes)
{
    const std::vector<uint8_t> bytes =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x1000).Build();
    CRefPtr<IROMImage> image = FromBytes(bytes);
    TempFile file("romvise-save");
    EXPECT_EQ(image->SaveToFile(file.Path(), 0, 0x1000), 0x1000u);
    EXPECT_EQ(file.Read(), bytes);
    EXPECT_EQ(IROMImage::CreateFromFile(file.Path())->Compare(image.get()), -1);

    std::stringstream stream;
    image->WriteToStream(stream, 0, 0x1000);
    CRefPtr<IROMImage> fromStream = IROMImage::CreateFromStream(stream, 0x1000);
    EXPECT_EQ(fromStream->GetLoadedSize(), 0x1000u);
    EXPECT_EQ(fromStream->Compare(image.get()), -1);

    // A stream that ends before the length it was given is a cut image, not
    // a shorter one.
    std::stringstream cut;
    image->WriteToStream(cut, 0, 0x800);
    EXPECT_EQ(ErrorText<io_error>([&] { IROMImage::CreateFromStream(cut, 0x1000); }),
              "Stream ended before the image did");

    std::stringstream tooLong;
    EXPECT_EQ(
        ErrorText<std::domain_error>([&] { IROMImage::CreateFromStream(tooLong, kMiB3 + 1); }),
        "Image length in stream is out of range");
    std::stringstream drained;
    EXPECT_EQ(ErrorText<io_error>([&] { image->ReadFromStream(drained, 0, 16); }),
              "Error reading stream into buffer");
}

TEST(ROMImageTest, SumsChecksumsAndCrc)
{
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    const uint8_t bytes[] = {0x10, 0x20, 0x00};
    image->WriteBytes(0, bytes, 3, false);
    EXPECT_EQ(image->Sum8(0, 3), 0x30);
    EXPECT_EQ(image->GetChecksumByte(0, 3), 0xD0);
    EXPECT_EQ(image->Sum8(0x10, 0x10), 0);
    EXPECT_EQ(image->GetChecksumByte(2, 3), 0x00);
    EXPECT_EQ(ErrorText<std::out_of_range>([&] { image->Sum8(0, kMiB3); }), "Invalid offset");
    EXPECT_EQ(ErrorText<std::out_of_range>([&] { image->Sum8(5, 4); }), "Invalid offset");

    // The standard check value of CRC-32 over "123456789".
    CRefPtr<IROMImage> text = FromBytes({'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    EXPECT_EQ(text->GetCRC32(9), 0xCBF43926u);
    EXPECT_EQ(text->GetCRC32(0), 0u);
    EXPECT_EQ(ErrorText<std::domain_error>([&] { text->GetCRC32(10); }),
              "Improper size used for CRC calculation");
}

TEST(ROMImageTest, InsertAndRemoveMoveTheLoadedBytes)
{
    std::vector<uint8_t> bytes(0x1000);
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    image->WriteBytes(0, bytes.data(), 0x1000, false);

    const std::vector<uint8_t> insert(0x200, 0xAB);
    EXPECT_EQ(image->InsertBlock(0, insert.data(), 0x200), 0x1200u);
    EXPECT_EQ(image->GetByte(0x200), bytes[0]);
    EXPECT_EQ(image->GetByte(0x1FF), 0xAB);

    // A source inside the part that moves is copied as it was.
    const uint8_t* source = image->GetBuffer() + 0x800;
    const uint8_t expected = image->GetByte(0x800);
    image->InsertBlock(0x400, source, 0x10);
    EXPECT_EQ(image->GetByte(0x400), expected);
    EXPECT_EQ(ErrorText<std::domain_error>(
                  [&] { image->InsertBlock(0x404, image->GetBuffer() + 0x400, 0x10); }),
              "InsertBlock: insert point within source block");
    EXPECT_EQ(ErrorText<std::domain_error>(
                  [&] { image->InsertBlock(0, image->GetBuffer() + 0x2000, 4); }),
              "InsertBlock: invalid source block");

    image->RemoveBlock(0x400, 0x10);
    image->RemoveBlock(0, 0x200);
    EXPECT_EQ(image->GetLoadedSize(), 0x1000u);
    EXPECT_EQ(image->CompareRange(FromBytes(bytes).get(), 0, 0x1000), -1);

    image->RemoveBlock(0, 0x100);
    EXPECT_EQ(image->GetLoadedSize(), 0xF00u);
    for (int32_t offset : {0xF00, 0xF80, 0xFFF})
    {
        EXPECT_EQ(image->GetByte(offset), 0xFF);
    }
    EXPECT_EQ(ErrorText<std::domain_error>([&] { image->RemoveBlock(0xE00, 0x101); }),
              "RemoveBlock: block is out of range");
}

TEST(ROMImageTest, InsertThatDoesNotFitLeavesTheImageAlone)
{
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    image->SetByte(kMiB3 - 0x10 - 1, 0x42);
    const std::vector<uint8_t> insert(0x11, 0);
    EXPECT_EQ(ErrorText<std::domain_error>([&] { image->InsertBlock(0, insert.data(), 0x11); }),
              "InsertBlock: insufficient space");
    EXPECT_EQ(image->GetLoadedSize(), kMiB3 - 0x10);
    EXPECT_EQ(image->GetByte(0), 0xFF);
    EXPECT_EQ(image->InsertBlock(0, insert.data(), 0x10), kMiB3);
}

TEST(ROMImageTest, CompareReportsTheFirstDifferenceOrTheShorterSize)
{
    // The display configuration block of the longer image lies behind the
    // first block and raises its ROM size to 0xC00; the shorter image holds
    // the same first 0x800 bytes but not the block, so its size stays 0x800.
    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x800).DisplayConfigurationPointer(0x900);
    CRefPtr<IROMImage> shorter = builder.BuildImage();
    std::vector<uint8_t> trailer(0x400, 0);
    trailer[0x101] = 2; // two units of 128 bytes
    CRefPtr<IROMImage> longer = builder.Trailer(trailer).BuildImage();
    ASSERT_EQ(shorter->GetROMSize(), 0x800u);
    ASSERT_EQ(longer->GetROMSize(), 0xC00u);

    EXPECT_EQ(shorter->Compare(longer.get()), 0x800);
    EXPECT_EQ(longer->Compare(shorter.get()), 0x800);
    EXPECT_EQ(shorter->Compare(builder.Trailer({}).BuildImage().get()), -1);

    shorter->SetByte(0x123, static_cast<uint8_t>(shorter->GetByte(0x123) + 1));
    EXPECT_EQ(shorter->Compare(longer.get()), 0x123);
}

TEST(ROMImageTest, CopyBlockChecksBothRangesBeforeCopying)
{
    CRefPtr<IROMImage> source = FromBytes(std::vector<uint8_t>(0x100, 0x33));
    CRefPtr<IROMImage> target = IROMImage::Create(kROMImageGPU);
    target->CopyBlock(0x10, source.get(), 0, 0x100);
    EXPECT_EQ(target->GetLoadedSize(), 0x110u);
    EXPECT_EQ(target->GetByte(0x10F), 0x33);

    EXPECT_EQ(ErrorText<std::domain_error>([&] { target->CopyBlock(0, source.get(), -1, 2); }),
              "Source block is out of range");
    EXPECT_EQ(ErrorText<std::out_of_range>(
                  [&] { target->CopyBlock(kMiB3 - 0x10, source.get(), 0, 0x20); }),
              "Invalid offset");
    EXPECT_EQ(target->GetByte(kMiB3 - 0x10), 0xFF);
}

TEST(ROMImageTest, BlankTestSeesTheWholeBuffer)
{
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    EXPECT_TRUE(image->IsBlank());
    image->SetByte(0x2000, 0);
    image->SetLoadedSize(0);
    EXPECT_FALSE(image->IsBlank());
}

TEST(ROMImageTest, StringsSelectionsAndNames)
{
    CRefPtr<IROMImage> image = FromBytes({'a', 'b', 0, 'c'});
    EXPECT_EQ(image->GetStringAt(0), "ab");
    // Without a zero byte the text runs to the buffer end, never past it.
    EXPECT_EQ(image->GetStringAt(3).size(), kMiB3 - 3);
    image->SetFileName("flash.rom");
    image->SetBoardName("Board");
    EXPECT_STREQ(image->GetFileNameCStr(), "flash.rom");
    EXPECT_EQ(image->GetBoardName(), "Board");

    image->AddSelection({7, 10, 20});
    EXPECT_EQ(image->GetSelectionCount(), 1u);
    EXPECT_TRUE(image->IsInSelectionRange(0, 10));
    EXPECT_TRUE(image->IsInSelectionRange(0, 20));
    EXPECT_FALSE(image->IsInSelectionRange(0, 21));
    EXPECT_THROW(image->GetSelection(1), std::out_of_range);
}
} // namespace

namespace
{
class CAttachmentImpl : public CReferenceCountImpl, public IImageAttachment
{
public:
    explicit CAttachmentImpl(int32_t kind) : m_kind(kind) {}
    ROMVISE_REFCOUNT_FORWARD
    int32_t GetAttachmentKind() override { return m_kind; }

private:
    int32_t m_kind;
};

TEST(ROMImageTest, AttachedObjectsGoToTheSlotOfTheirKind)
{
    CRefPtr<IImageAttachment> first(new CAttachmentImpl(0));
    CRefPtr<IImageAttachment> second(new CAttachmentImpl(1));
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    image->AttachObject(first.get());
    image->AttachObject(second.get());
    EXPECT_EQ(image->GetAttachedObject1(), first.get());
    EXPECT_EQ(image->GetAttachedObject2(), second.get());
    EXPECT_EQ(image->CopyAttachedList().size(), 2u);
    image->DetachObject(first.get());
    EXPECT_EQ(image->GetAttachedList(), std::vector<IImageAttachment*>{second.get()});
}
} // namespace
