#include "core/UserFile.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{
// A file of `size` bytes whose blocks are never written: a size of
// gigabytes costs no disk.
std::string SparseFile(const testkit::CScratchDirectory& folder, const std::string& name,
                       uint64_t size)
{
    const std::string path = folder.WriteBytes(name, {});
    std::filesystem::resize_file(path, size);
    return path;
}
} // namespace

// Whatever the name leads to, the reader answers at once, without waiting for
// a writer and without reading more than the bound.
TEST(UserFile, RefusesWhatCannotBeReadWholeBeforeReadingIt)
{
    testkit::CScratchDirectory folder;
    const std::string fifo = (folder / "f.rom").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", folder / "zero.rom");
    std::filesystem::create_directory(folder / "dir.rom");
    struct Case
    {
        const char* name;
        std::string path;
        UserFileStatus status;
    };
    const std::vector<Case> cases = {
        {"FIFO without a writer", fifo, UserFileStatus::kNotRegularFile},
        {"link to /dev/zero", (folder / "zero.rom").string(), UserFileStatus::kNotRegularFile},
        {"directory", (folder / "dir.rom").string(), UserFileStatus::kNotRegularFile},
        {"missing", (folder / "none.rom").string(), UserFileStatus::kCannotOpen},
        {"2 GiB", SparseFile(folder, "big.rom", 2ull << 30), UserFileStatus::kTooLarge},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const UserFileContents file = ReadUserFile(c.path, UserFileFormat::kFirmwareImage);
        EXPECT_EQ(file.status, c.status);
        EXPECT_FALSE(file.Read());
    }
}

// A device is refused without being opened: opening some already acts on
// them. A node of a driver no one loaded shows it, since opening it fails.
TEST(UserFile, RefusesADeviceWithoutOpeningIt)
{
    testkit::CScratchDirectory folder;
    const std::string node = (folder / "dev.rom").string();
    if (::mknod(node.c_str(), S_IFCHR | 0600, ::makedev(240, 7)) != 0)
    {
        GTEST_SKIP() << "this machine does not let the test make a device node";
    }
    const UserFileContents file = ReadUserFile(node, UserFileFormat::kFirmwareImage);
    EXPECT_EQ(file.status, UserFileStatus::kNotRegularFile);
}

TEST(UserFile, ReadsAFileUpToItsFormatsBoundAndShowsTheHeadOfALargerOne)
{
    testkit::CScratchDirectory folder;
    const uint64_t bound = MaxUserFileBytes(UserFileFormat::kVarnexStore);
    std::vector<uint8_t> bytes(bound);
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        bytes[i] = static_cast<uint8_t>(i * 7);
    }
    const UserFileContents whole =
        ReadUserFile(folder.WriteBytes("whole.vnx", bytes), UserFileFormat::kVarnexStore);
    ASSERT_TRUE(whole.Read());
    EXPECT_EQ(whole.bytes, bytes);
    EXPECT_EQ(whole.size, bound);

    bytes.push_back(0);
    const UserFileContents larger =
        ReadUserFile(folder.WriteBytes("larger.vnx", bytes), UserFileFormat::kVarnexStore);
    EXPECT_EQ(larger.status, UserFileStatus::kTooLarge);
    EXPECT_EQ(larger.size, bound + 1);
    EXPECT_EQ(larger.bytes,
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + kUserFileHeadBytes));

    const UserFileContents empty =
        ReadUserFile(folder.WriteBytes("empty.vnx", {}), UserFileFormat::kVarnexStore);
    ASSERT_TRUE(empty.Read());
    EXPECT_TRUE(empty.bytes.empty());
}

// Files of /proc tell a size of 0 and hold more: they are read to their end,
// and refused once they pass the bound.
TEST(UserFile, AFileWhoseSizeIsNotToldIsReadUpToTheBound)
{
    const UserFileContents status = ReadUserFile("/proc/self/status", 1u << 20);
    ASSERT_TRUE(status.Read());
    EXPECT_EQ(std::string(status.bytes.begin(), status.bytes.begin() + 5), "Name:");
    const UserFileContents cut = ReadUserFile("/proc/self/status", 16);
    EXPECT_EQ(cut.status, UserFileStatus::kTooLarge);
    EXPECT_EQ(std::string(cut.bytes.begin(), cut.bytes.begin() + 5), "Name:");
}
