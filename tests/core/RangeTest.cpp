#include "core/Range.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace
{
struct RangeCase
{
    uint64_t offset;
    uint64_t length;
    uint64_t limit;
    bool fits;
};

TEST(RangeTest, RangeFitsAtTheEdgesAndNeverWraps)
{
    const RangeCase cases[] = {
        {0, 0, 0, true},                          // empty range in an empty buffer
        {0x10, 0, 0x10, true},                    // empty range at the end
        {0x11, 0, 0x10, false},                   // empty range past the end
        {0, 0x300000, 0x300000, true},            // the whole buffer
        {0x2FFFFF, 1, 0x300000, true},            // last byte
        {0x300000, 1, 0x300000, false},           // one past
        {0x2FFFFE, 4, 0x300000, false},           // dword straddling the end
        {UnsignedOffset(-1), 1, 0x300000, false}, // "not found" never passes
        {UnsignedOffset(-1), 2, 0x300000, false}, // not even when 32-bit sum wraps to 1
        {1, UINT64_MAX, 0x300000, false},         // huge length
        {UINT64_MAX, UINT64_MAX, UINT64_MAX, false},
    };
    for (const RangeCase& c : cases)
    {
        EXPECT_EQ(RangeFits(c.offset, c.length, c.limit), c.fits)
            << std::hex << c.offset << "+" << c.length << " in " << c.limit;
    }
}

TEST(RangeTest, OffsetFitsNeedsOneByte)
{
    EXPECT_TRUE(OffsetFits(0, 1));
    EXPECT_FALSE(OffsetFits(1, 1));
    EXPECT_FALSE(OffsetFits(0, 0));
    EXPECT_FALSE(OffsetFits(UnsignedOffset(-1), 0x300000));
    EXPECT_EQ(UnsignedOffset(-1), 0xFFFFFFFFu);
}
} // namespace
