#include "varnex/VarnexParity.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace
{
TEST(ParityTest, ReadsAndSetsTheFirstNonZeroWord)
{
    EXPECT_EQ(Parity32(0), 0u);
    EXPECT_EQ(Parity32(0b1011), 1u);
    EXPECT_EQ(Parity32(0xFFFFFFFF), 0u);

    uint32_t words[3] = {0, 0b11, 0b1};
    uint32_t parity = 9;
    EXPECT_EQ(GetArrayParity(words, 3, &parity), 0);
    EXPECT_EQ(parity, 0u); // 0b11 decides
    EXPECT_EQ(SetArrayParity(words, 3, 1), 0);
    EXPECT_EQ(words[1], 0b10u);
    EXPECT_EQ(words[2], 0b1u);

    std::array<uint32_t, 26> een{};
    EXPECT_EQ(SetArrayParity(een.data(), 26, 0), 0);
    EXPECT_EQ(een, (std::array<uint32_t, 26>{}));
    EXPECT_EQ(SetArrayParity(een.data(), 26, 1), 0);
    EXPECT_EQ(een[0], 0xFFFFFFFEu);
    for (size_t i = 1; i < een.size(); ++i)
    {
        EXPECT_EQ(een[i], 0xFFFFFFFFu);
    }

    uint32_t zero = 0;
    EXPECT_EQ(SetValueParity(&zero, 1), 2);
    EXPECT_EQ(SetValueParity(nullptr, 0), 2);
    EXPECT_EQ(GetArrayParity(nullptr, 1, &parity), 2);
    EXPECT_EQ(GetArrayParity(words, 1, nullptr), 2);
    EXPECT_EQ(SetArrayParity(nullptr, 1, 1), 2);
    // An empty array cannot be given parity 1.
    EXPECT_EQ(SetArrayParity(words, 0, 1), 2);
}
} // namespace
