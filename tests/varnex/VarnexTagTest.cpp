#include "varnex/VarnexTag.h"

#include <gtest/gtest.h>

namespace
{
TEST(VarnexTagTest, BuildsFromThreeCharactersOnly)
{
    EXPECT_EQ(VarnexTag("IMG").bytes, (std::array<uint8_t, 3>{'I', 'M', 'G'}));
    EXPECT_TRUE(VarnexTag("IM").IsUnknown());
    EXPECT_TRUE(VarnexTag("Unknown").IsUnknown());
    EXPECT_TRUE(VarnexTag("").IsUnknown());
    EXPECT_EQ(VarnexTags::Unknown, VarnexTag("IMGX"));
    EXPECT_NE(VarnexTags::Zero, VarnexTags::IMG);
    EXPECT_NE(VarnexTags::Unknown, VarnexTags::IMG);
    EXPECT_EQ(VarnexTags::ROM.ToInteger(), 0x4D4F52u);
    EXPECT_EQ(TagToString(VarnexTags::PBL), "PBL");
    EXPECT_EQ(TagToString(VarnexTags::Zero), std::string(3, '\0'));
}
} // namespace
