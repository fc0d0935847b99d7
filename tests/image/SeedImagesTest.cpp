// The seed images the fuzzers start from are what they claim: whole,
// well-formed chains that the image model reads end to end and that fit the
// fuzzers' longest input, and bridge images the factory recognises as their
// bridge.

#include "image/IROMImage.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/SeedImages.h"

#include <gtest/gtest.h>

namespace
{
TEST(SeedImagesTest, EveryBuiltSeedIsAWholeChain)
{
    for (const testkit::NamedBytes& seed : testkit::SeedImages())
    {
        SCOPED_TRACE(seed.name);
        EXPECT_LE(seed.bytes.size(), testkit::kLongestSeedImage);
        CRefPtr<IROMImage> image =
            IROMImage::CreateFromBuffer(seed.bytes.data(), static_cast<uint32_t>(seed.bytes.size()));
        if (seed.name.rfind("bridge-", 0) == 0)
        {
            const int32_t expected =
                seed.name == "bridge-zx22" ? kROMImageBridgeZX22 : kROMImageBridgePLX8747;
            EXPECT_EQ(image->GetImageType(), expected);
            EXPECT_TRUE(image->IsValid());
            continue;
        }
        EXPECT_EQ(testkit::ErrorOf([&] { image->CheckOffsetModeChain(); }), "(no error)");
        image->SetOffsetMode(false);
        EXPECT_EQ(image->GetROMSize(), seed.bytes.size());
    }
}
} // namespace
