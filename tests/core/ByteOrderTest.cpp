// Little-endian loads: byte order, and a top byte of 0x80 or more that must
// not spread as a sign.

#include "core/ByteOrder.h"

#include <gtest/gtest.h>

TEST(ByteOrder, LoadsLittleEndianWords)
{
    const uint8_t bytes[] = {0x78, 0x56, 0x34, 0x12, 0xFE, 0x00, 0x00, 0x80};
    EXPECT_EQ(LoadLE32(bytes), 0x12345678u);
    EXPECT_EQ(LoadLE32(bytes + 4), 0x800000FEu);
    EXPECT_EQ(LoadLE32(bytes + 1), 0xFE123456u);
}
