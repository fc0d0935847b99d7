// NBSI blocks: building the block parts.

#include "image/NBSIPCIBlock.h"
#include "tests/image/NbsiBlockTypes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
uint32_t DwordAt(const uint8_t* bytes)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

uint16_t WordAt(const uint8_t* bytes)
{
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

TEST(NBSIBlockTest, EmptyKeyListGivesAnEmptyDirectory)
{
    CRefPtr<CNBSIPCIBlock> block(new CNBSIPCIBlock({}));
    const std::vector<uint8_t>& directory = block->GetDirectory();
    ASSERT_EQ(directory.size(), 12u);
    EXPECT_EQ(std::string(directory.begin(), directory.begin() + 4), "ISBN");
    EXPECT_EQ(block->GetDirectorySize(), 12u);
    EXPECT_EQ(directory[8], 0);
    EXPECT_EQ(directory[9], 1);
    EXPECT_EQ(block->GetObjectRecord(0), nullptr);

    const auto& header = block->GetHeader();
    EXPECT_EQ(block->GetHeaderSize(), 56u);
    EXPECT_EQ(WordAt(&header[0]), 0xAA55);
    EXPECT_EQ(WordAt(&header[24]), 0x20);
    EXPECT_EQ(std::string(header.begin() + 32, header.begin() + 36), "PCIR");
    EXPECT_EQ(WordAt(&header[36]), 0x7E2B);
    EXPECT_EQ(WordAt(&header[42]), 0x18);
    EXPECT_EQ(header[52], 0x70);
    EXPECT_EQ(header[53], 0x80);
    EXPECT_EQ(WordAt(&block->GetKPDE()[4]), 0x0101);
}

TEST(NBSIBlockTest, VarnexBlockHoldsImageAndBackup)
{
    CRefPtr<CNBSIPCIBlock> block(
        new CNBSIPCIBlockVarnex(std::vector<uint8_t>(4096, 0x52), std::vector<uint8_t>{}));
    const std::vector<uint8_t>& directory = block->GetDirectory();
    EXPECT_EQ(block->GetDirectorySize(), 14u);
    EXPECT_EQ(directory[8], 2);
    EXPECT_EQ(WordAt(&directory[10]), kIR);
    EXPECT_EQ(WordAt(&directory[12]), kIB);
    EXPECT_EQ(DwordAt(block->GetObjectRecord(0) + 10), 4112u);
    EXPECT_EQ(DwordAt(block->GetObjectRecord(1) + 10), 16u);
    EXPECT_EQ(block->GetObjectRecord(0)[15], 1);
    EXPECT_EQ(block->GetObjectData(0).size(), 4096u);
    EXPECT_EQ(WordAt(&block->GetKPDE()[4]), 0x0100);
    EXPECT_EQ(block->GetKPDE()[11], 0x04);

    EXPECT_EQ(block->GetObjectRecord(2), nullptr);
    block->SetObjectData(2, {1, 2, 3});
    EXPECT_THROW(block->GetObjectData(2), std::out_of_range);
    EXPECT_EQ(DwordAt(block->GetObjectRecord(1) + 10), 16u);
}
} // namespace
