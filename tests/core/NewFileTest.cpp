// The output-file rule: a new name is created, a regular file replaced in one
// step with its mode kept, anything else refused untouched, and a write that
// fails keeps the old file and leaves no temporary file.

#include "core/NewFile.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>

namespace
{
std::string Text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

size_t EntriesIn(const std::filesystem::path& folder)
{
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                             std::filesystem::directory_iterator()));
}

OutputFileOutcome Write(const std::string& path, const std::string& text)
{
    return WriteOutputFile(
        path, {std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())});
}
} // namespace

TEST(OutputFile, ReplacesOnlyARegularFileAndKeepsItsMode)
{
    testkit::CScratchDirectory folder("romvise-output");
    const std::string fresh = (folder.Path() / "fresh.bin").string();
    EXPECT_EQ(Write(fresh, "new").status, OutputFileStatus::Written);
    EXPECT_EQ(Text(fresh), "new");

    const std::string old = folder.WriteText("old.bin", "a longer old content");
    ASSERT_EQ(::chmod(old.c_str(), 0600), 0);
    EXPECT_EQ(Write(old, "short").status, OutputFileStatus::Written);
    EXPECT_EQ(Text(old), "short");
    struct stat status{};
    ASSERT_EQ(::stat(old.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    const std::string target = folder.WriteText("target.bin", "kept");
    const std::string link = (folder.Path() / "link.bin").string();
    const std::string dangling = (folder.Path() / "dangling.bin").string();
    const std::string fifo = (folder.Path() / "fifo.bin").string();
    std::filesystem::create_symlink(target, link);
    std::filesystem::create_symlink(folder.Path() / "nowhere.bin", dangling);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const size_t entries = EntriesIn(folder.Path());
    for (const std::string& refused : {link, dangling, fifo, folder.Path().string(),
                                       std::string("/dev/null")})
    {
        SCOPED_TRACE(refused);
        const OutputFileOutcome outcome = Write(refused, "lost");
        EXPECT_EQ(outcome.status, OutputFileStatus::NotRegularFile);
        EXPECT_EQ(CannotCreateText(refused, outcome),
                  "Cannot create file: " + refused + " (not a regular file)");
    }
    EXPECT_EQ(Text(target), "kept");
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "nowhere.bin"));
    EXPECT_EQ(EntriesIn(folder.Path()), entries);
}

TEST(OutputFile, AFailedWriteKeepsTheOldFileAndLeavesNoOtherFile)
{
    testkit::CScratchDirectory folder("romvise-output");
    const std::string old = folder.WriteText("old.bin", "old");
    const std::string fresh = (folder.Path() / "fresh.bin").string();
    const std::string big(8192, 'x');
    // A file-size limit below the file's size stops the write part way.
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const OutputFileOutcome replaced = Write(old, big);
    const OutputFileOutcome created = Write(fresh, big);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(replaced.status, OutputFileStatus::WriteFailed);
    EXPECT_EQ(replaced.error, EFBIG);
    EXPECT_EQ(created.status, OutputFileStatus::WriteFailed);
    EXPECT_EQ(Text(old), "old");
    EXPECT_FALSE(std::filesystem::exists(fresh));
    EXPECT_EQ(EntriesIn(folder.Path()), 1u);
}
