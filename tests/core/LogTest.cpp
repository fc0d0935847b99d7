#include "core/Log.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace
{
std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class LogTest : public ::testing::Test
{
protected:
    void SetUp() override { log->SetLevel(3); }
    void TearDown() override { log->SetLevel(3); }

    CLog* log = GetLog();
    std::ostringstream console;
    std::ostringstream file;
};
} // namespace

TEST_F(LogTest, LevelAtFlushPicksTheSinks)
{
    CScopedLogSink consoleSink(log, &console, 4, 5);
    CScopedLogSink fileSink(log, &file, 1, 5);

    struct Case
    {
        int level;
        bool toConsole;
        bool toFile;
    };
    for (const Case& c : {Case{3, false, true}, Case{4, true, true}, Case{5, true, true},
                          Case{6, false, false}, Case{0, false, false}})
    {
        console.str("");
        file.str("");
        *log << LogLevel(c.level) << "text" << LogEndl;
        EXPECT_EQ(console.str(), c.toConsole ? "text\n" : "") << c.level;
        EXPECT_EQ(file.str(), c.toFile ? "text\n" : "") << c.level;
    }

    // Written at 3, flushed at 4: the level at the flush decides.
    console.str("");
    log->SetLevel(3);
    *log << "late";
    log->SetLevel(4);
    log->flush();
    EXPECT_EQ(console.str(), "late");
}

TEST_F(LogTest, FlushWithoutSinksEmptiesTheBuffer)
{
    *log << "dropped" << LogEndl;
    CScopedLogSink sink(log, &file, 1, 5);
    *log << "kept" << LogEndl;
    EXPECT_EQ(file.str(), "kept\n");
}

TEST_F(LogTest, RemovedSinkReceivesNothing)
{
    std::ostringstream other;
    int index = log->AddSink(&other, 1, 5);
    {
        CScopedLogSink scoped(log, &file, 1, 5);
        *log << "one" << LogEndl;
    }
    *log << "two" << LogEndl;
    EXPECT_EQ(file.str(), "one\n");
    EXPECT_TRUE(log->RemoveSink(index));
    EXPECT_FALSE(log->RemoveSink(index));
    EXPECT_FALSE(log->RemoveSink(-1));
    *log << "three" << LogEndl;
    EXPECT_EQ(other.str(), "one\ntwo\n");
}

TEST_F(LogTest, SinkIndexesCountFromZero)
{
    CLog local;
    std::ostringstream a, b, c;
    EXPECT_EQ(local.AddSink(&a, 1, 5), 0);
    EXPECT_EQ(local.AddSink(&b, 1, 5), 1);
    EXPECT_EQ(local.AddSink(&c, 1, 5), 2);
}

TEST_F(LogTest, MessageWritersAndTheirLevels)
{
    CScopedLogSink consoleSink(log, &console, 4, 5);
    CScopedLogSink fileSink(log, &file, 1, 5);

    std::ostringstream message;
    message << "warning";
    LogMessage(message, 4, true);
    EXPECT_EQ(console.str(), "warning\n");
    EXPECT_EQ(message.str(), "");
    EXPECT_EQ(log->GetLevel(), 3);

    message << "no newline";
    LogMessage(message, 3, false);
    EXPECT_EQ(file.str(), "warning\nno newline");

    testing::internal::CaptureStdout();
    message << "echoed";
    FlushMessageBuffer(message, log, 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "echoed\n");
    EXPECT_EQ(console.str(), "warning\nechoed\n");
    EXPECT_EQ(log->GetLevel(), 4);
    EXPECT_EQ(message.str(), "");
}

TEST(FileBufUnbuf, TruncatesThenAppendsEachFlush)
{
    const testkit::CScratchDirectory folder{"romvise-crash"};
    const auto path = folder / "crash.log";
    std::ofstream(path) << "old contents";
    {
        filebufunbuf buffer;
        buffer.SetFileName(path.c_str());
        EXPECT_EQ(ReadFile(path), "");
        std::ostream stream(&buffer);
        stream << "first\n" << std::flush;
        EXPECT_EQ(ReadFile(path), "first\n"); // on disk as soon as the flush returns
        stream << "second\n" << std::flush;
        stream << "never flushed";
    }
    EXPECT_EQ(ReadFile(path), "first\nsecond\n");
}

TEST(FileBufUnbuf, UnopenableFileDropsTheText)
{
    filebufunbuf buffer;
    buffer.SetFileName("/nonexistent-dir/crash.log");
    std::ostream stream(&buffer);
    stream << "lost" << std::flush;
    EXPECT_TRUE(stream.good());
}

// A log file is opened only as a regular file of its own name: a link planted
// in its place, or a folder, is refused and what it points at stays as it was.
TEST(OpenLogFile, WritesOnlyARegularFileNeverThroughALink)
{
    const testkit::CScratchDirectory folder{"romvise-logfile"};
    const auto victim = folder / "victim.txt";
    const auto link = folder / "linked.log";
    const auto plain = folder / "plain.log";
    std::ofstream(victim) << "keep";
    std::filesystem::create_symlink(victim, link);
    std::filesystem::create_directory(folder / "folder.log");
    std::ofstream(plain) << "old\n";

    struct Case
    {
        const char* name;
        bool truncate;
        bool opens;
        const char* plainAfter;
    };
    const Case cases[] = {
        {"linked.log", true, false, "old\n"},
        {"linked.log", false, false, "old\n"},
        {"folder.log", true, false, "old\n"},
        {"plain.log", false, true, "old\nnew\n"},
        {"plain.log", true, true, "new\n"},
        {"fresh.log", true, true, "new\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.name) + (c.truncate ? " truncated" : " appended"));
        std::ofstream(plain, std::ios::trunc) << "old\n";
        std::ofstream file;
        EXPECT_EQ(OpenLogFile(file, (folder / c.name).string(), c.truncate), c.opens);
        if (c.opens)
        {
            file << "new\n" << std::flush;
            const auto written = std::string(c.name) == "plain.log" ? plain : folder / c.name;
            EXPECT_EQ(ReadFile(written), c.plainAfter);
        }
        EXPECT_EQ(ReadFile(victim), "keep");
    }

    filebufunbuf crash;
    crash.SetFileName(link.c_str());
    std::ostream stream(&crash);
    stream << "lost\n" << std::flush;
    EXPECT_EQ(ReadFile(victim), "keep");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
}
