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
