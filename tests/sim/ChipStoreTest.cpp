// Chip contents written back to their file as they change.

#include "sim/ChipStore.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace
{
class ChipStoreTest : public ::testing::Test
{
protected:
    std::vector<uint8_t> FileBytes()
    {
        std::ifstream file(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
    }

    const testkit::CScratchDirectory folder{"romvise-chip"};
    const std::string path = (folder / "chip.bin").string();
};

TEST_F(ChipStoreTest, EveryChangeIsOnDiskAtOnce)
{
    CSimChipStore chip(path, 16);
    EXPECT_EQ(FileBytes(), std::vector<uint8_t>(16, 0xFF)) << "a new chip is erased";
    chip.Write(4, std::vector<uint8_t>{1, 2, 3});
    chip.Fill(0, 2, 0x00);
    // Another run opening the same file sees the half-written chip.
    const std::vector<uint8_t> expected{0,    0,    0xFF, 0xFF, 1,    2,    3,    0xFF,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(FileBytes(), expected);
    CSimChipStore again(path, 16);
    EXPECT_EQ(again.Read(0, 16), expected);
}

TEST_F(ChipStoreTest, FileAndChipSizesMustAgree)
{
    std::ofstream(path, std::ios::binary).write("\x01\x02", 2);
    {
        CSimChipStore chip(path, 4);
        EXPECT_EQ(chip.Read(0, 4), (std::vector<uint8_t>{1, 2, 0xFF, 0xFF}));
    }
    EXPECT_EQ(FileBytes().size(), 4u);
    EXPECT_THROW(CSimChipStore(path, 3), std::runtime_error);

    CSimChipStore chip(4);
    EXPECT_THROW(chip.Write(3, std::vector<uint8_t>{1, 2}), std::out_of_range);
    EXPECT_THROW(chip.Read(SIZE_MAX, 2), std::out_of_range);
}

TEST_F(ChipStoreTest, AFailedOpenLeavesNoFileOpen)
{
    const auto openFiles = []
    {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = openFiles();
    // /dev/full opens but refuses the padding written to it.
    EXPECT_THROW(CSimChipStore("/dev/full", 16), std::runtime_error);
    EXPECT_EQ(openFiles(), before);
}
} // namespace
