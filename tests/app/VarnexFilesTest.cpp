// Whole-file writes of the Varnex commands: an OBD object too short for its
// fields, an empty file, and output that never goes through a link nor stays
// half written.

#include "VarnexRig.h"

#include "app/engineering/VarnexFiles.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <filesystem>
#include <vector>

// An OBD object too short for its fields is found out before the file is
// opened, so an existing file keeps what it held.
TEST(VarnexFiles, AShortObdObjectLeavesAnExistingFileAlone)
{
    testkit::CScratchDirectory folder("romvise-obd");
    const std::string file = folder.WriteText("o.txt", "kept");
    const std::vector<uint8_t> packed = ObjectsOf(PrimaryStore()).at("OBD");
    const std::vector<uint8_t> shortObd(packed.begin(), packed.end() - 1);
    CFileAccess files;
    EXPECT_FALSE(files.WriteObdFile(file, shortObd, false));
    EXPECT_EQ(FileText(file), "kept");
    EXPECT_TRUE(files.WriteObdFile(file, packed, false));
    EXPECT_TRUE(Contains(FileText(file), "BoardSerialNumber: SN-ADAPTER-42\n"));
}

TEST(VarnexFiles, NoBytesStillMakeTheFile)
{
    testkit::CScratchDirectory folder("romvise-bytes");
    const std::string empty = (folder.Path() / "empty.bin").string();
    EXPECT_TRUE(CFileAccess().WriteFileBytes(empty, {}));
    EXPECT_TRUE(std::filesystem::exists(empty));
    EXPECT_EQ(std::filesystem::file_size(empty), 0u);
}

// A file a command writes never lands on another file through a link, and a
// raw file whose bytes did not all reach the disk is not left behind.
TEST(VarnexFiles, OutputNeverGoesThroughALinkNorStaysHalfWritten)
{
    testkit::CScratchDirectory folder("romvise-out");
    const std::string target = folder.WriteText("target.txt", "kept");
    const std::string link = (folder.Path() / "bbo.txt").string();
    std::filesystem::create_symlink(target, link);
    CFileAccess files;
    EXPECT_FALSE(files.WriteBboFile(link, 1, 2, 3));
    EXPECT_FALSE(files.WriteFileBytes(link, std::vector<uint8_t>(16, 0xAB)));
    EXPECT_EQ(FileText(target), "kept");

    // A file-size limit below the file's size stops the write part way.
    const std::string big = (folder.Path() / "big.bin").string();
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = files.WriteFileBytes(big, std::vector<uint8_t>(8192, 0xCD));
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_FALSE(std::filesystem::exists(big));
}
