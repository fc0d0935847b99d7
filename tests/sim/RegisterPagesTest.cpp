// Sparse register storage: aligned dwords below the limit and every other
// offset keep their own values, never written ones read 0.

#include "sim/RegisterPages.h"

#include <gtest/gtest.h>

namespace
{
constexpr uint64_t kLimit = 0x10000;

TEST(RegisterPagesTest, EveryOffsetKeepsItsOwnValue)
{
    struct Case
    {
        uint64_t offset;
        uint32_t value;
    };
    // First and last dword of the space, both sides of a page boundary, an
    // unaligned offset inside a written dword, the limit itself and far past it.
    const Case cases[] = {
        {0x0, 0x11111111},          {kLimit - 4, 0x22222222}, {0xFFC, 0x33333333},
        {0x1000, 0x44444444},       {0x1001, 0x55555555},     {kLimit, 0x66666666},
        {~uint64_t{3}, 0x77777777},
    };
    CSimRegisterPages registers(kLimit);
    for (const Case& wanted : cases)
    {
        EXPECT_EQ(registers.Get(wanted.offset), 0u) << std::hex << wanted.offset;
        registers.Set(wanted.offset, wanted.value);
    }
    for (const Case& wanted : cases)
    {
        EXPECT_EQ(registers.Get(wanted.offset), wanted.value) << std::hex << wanted.offset;
    }
    // Neighbours of written registers stay unwritten.
    EXPECT_EQ(registers.Get(0x4), 0u);
    EXPECT_EQ(registers.Get(0x1004), 0u);
    EXPECT_EQ(registers.Get(0x1002), 0u);

    registers.Set(0x1000, 0);
    EXPECT_EQ(registers.Get(0x1000), 0u);
    EXPECT_EQ(registers.Get(0x1001), 0x55555555u);
}
} // namespace
