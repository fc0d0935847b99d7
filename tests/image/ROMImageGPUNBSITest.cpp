// Finding the Varnex block and its objects in the NBSI block of GPU images.

#include "image/IROMImage.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "tests/image/NbsiBlockTypes.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;

TEST(NBSIBlockTest, LookupsFindTheVarnexObjects)
{
    // A block whose directory starts with another type comes first and is
    // skipped; offsets are window-relative behind an init-from-ROM segment.
    CRefPtr<IROMImage> image = CGpuImageBuilder()
                                   .InitFromRom(0x400)
                                   .Block(CGpuImageBuilder::kX86, 0x800)
                                   .NbsiBlock({{0x5347, {9, 9}}})
                                   .VarnexBlock({0x52, 0x4F, 0x4D}, {0x11, 0x22})
                                   .BuildImage();
    EXPECT_EQ(image->FindNBSIBlock(), 0xA00);
    const int32_t data = 0xA00 + 0x50 + 14 + 16;
    EXPECT_EQ(image->FindNBSIObject(kIR), data);
    EXPECT_EQ(image->GetNBSIObjectLength(kIR), 3u);
    EXPECT_EQ(image->FindNBSIObject(kIB), data + 3 + 16);
    EXPECT_EQ(image->GetNBSIObjectLength(kIB), 2u);
    EXPECT_TRUE(image->HasVarnexBlock());
    EXPECT_TRUE(image->HasVarnexBackupBlock());
    EXPECT_EQ(image->FindNBSIObject(0x1234), -1);
}

TEST(NBSIBlockTest, AVarnexStoreTravelsWhole)
{
    const std::vector<uint8_t> store =
        testkit::CVarnexStoreBuilder().Img("1.2", 0x2204, 0x7E2B, 0x1454, 0x7E2B).BuildRaw();
    CRefPtr<IROMImage> image = CGpuImageBuilder()
                                   .Block(CGpuImageBuilder::kX86, 0x800)
                                   .VarnexBlock(store, store)
                                   .BuildImage();
    ASSERT_EQ(image->GetNBSIObjectLength(kIR), store.size());
    const int32_t data = image->FindNBSIObject(kIR);
    std::vector<uint8_t> found(store.size());
    image->ReadBlock(found.data(), data, static_cast<uint32_t>(found.size()));
    EXPECT_EQ(found, store);
    EXPECT_EQ(image->FindNBSIObject(kIB), data + static_cast<int32_t>(store.size()) + 16);
    EXPECT_EQ(image->GetROMSize(), image->GetLoadedSize());
}

TEST(NBSIBlockTest, PresenceNeedsDataThatIsNotErased)
{
    struct Case
    {
        const char* name;
        CGpuImageBuilder builder;
        bool image;
        bool backup;
    };
    const std::vector<Case> cases = {
        {"erased image", CGpuImageBuilder().VarnexBlock({0xFF, 0x00}, {0x01}), false, true},
        {"empty backup", CGpuImageBuilder().VarnexBlock({0x00}, {}), true, false},
        {"only an image object",
         CGpuImageBuilder()
             .NbsiBlock({
                 {kIR, {1}},
             })
             .Patch(0x50 + 12 + 17, {0x42, 0x49}),
         true, false},
        {"no NBSI block", CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x800), false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = c.builder.BuildImage();
        EXPECT_EQ(image->HasVarnexBlock(), c.image);
        EXPECT_EQ(image->HasVarnexBackupBlock(), c.backup);
    }
    // With one object in the directory "IB" is not looked for behind it.
    CRefPtr<IROMImage> single = CGpuImageBuilder().NbsiBlock({{kIR, {1}}}).BuildImage();
    EXPECT_EQ(single->FindNBSIObject(kIB), -1);
}

TEST(NBSIBlockTest, ObjectSizesOutsideTheBlockAreRefused)
{
    const std::string refused = "NBSI block corrupted - invalid object size";
    struct Case
    {
        const char* name;
        CGpuImageBuilder builder;
        uint16_t type;
    };
    const std::vector<Case> cases = {
        {"size below a record", CGpuImageBuilder().VarnexBlock({1}, {2}).NbsiObjectSizeField(0, 8),
         kIR},
        {"size of zero", CGpuImageBuilder().VarnexBlock({1}, {2}).NbsiObjectSizeField(0, 0), kIB},
        {"image past the block",
         CGpuImageBuilder().VarnexBlock({1}, {2}).NbsiObjectSizeField(0, 0x10000), kIR},
        {"backup past the block",
         CGpuImageBuilder().VarnexBlock({1}, {2}).NbsiObjectSizeField(1, 0xFFFFFFF0), kIB},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = c.builder.BuildImage();
        EXPECT_EQ(ErrorOf([&] { image->FindNBSIObject(c.type); }), refused);
    }
    // A directory pointer outside the block: no Varnex block there.
    CRefPtr<IROMImage> image =
        CGpuImageBuilder().VarnexBlock({1}, {2}).Patch(22, {0xF0, 0xFF}).BuildImage();
    EXPECT_EQ(image->FindNBSIBlock(), -1);
}
