// The console input over a pipe and over a pseudo-terminal: keys and lines
// until the end of input, the line end after an answer, single-key reads that
// put the terminal's mode back, and when the console counts as interactive.

#include "core/CrossPlatform.h"
#include "platform/linux/LinuxServices.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <stdexcept>
#include <stdlib.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{
// A console whose input is what the test wrote to a pipe.
struct PipeConsole
{
    explicit PipeConsole(const std::string& input)
    {
        if (pipe(fds) != 0)
        {
            throw std::runtime_error("pipe");
        }
        if (write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        {
            throw std::runtime_error("write");
        }
        close(fds[1]);
        console = new CLinuxConsoleInput(fds[0]);
    }
    ~PipeConsole() { close(fds[0]); }

    int fds[2] = {-1, -1};
    CRefPtr<IConsoleInput> console;
};

// A pseudo-terminal: the test types on the master side, the console reads the
// slave side as it would a real terminal.
struct PseudoTerminal
{
    PseudoTerminal()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        {
            throw std::runtime_error("no pseudo-terminal");
        }
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        if (slave < 0)
        {
            throw std::runtime_error("no pseudo-terminal slave");
        }
        fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~PseudoTerminal()
    {
        close(slave);
        close(master);
    }
    void Type(const std::string& keys) const
    {
        if (write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        {
            throw std::runtime_error("type");
        }
    }
    // What the terminal echoed back.
    std::string Echoed() const
    {
        std::string text;
        char buffer[64];
        ssize_t got = 0;
        while ((got = read(master, buffer, sizeof buffer)) > 0)
        {
            text.append(buffer, static_cast<size_t>(got));
        }
        return text;
    }
    tcflag_t LocalModes() const
    {
        termios mode{};
        tcgetattr(slave, &mode);
        return mode.c_lflag;
    }

    int master = -1;
    int slave = -1;
};
// Starts the read, types the keys once the read has switched the terminal to
// single keys, and returns what the read gave.
int ReadWhileTyping(const PseudoTerminal& terminal, const std::function<int()>& read,
                    const std::string& keys)
{
    auto result = std::async(std::launch::async, read);
    // Bounded generously: a loaded CI machine can take seconds to start the read.
    for (int i = 0; i < 20000 && (terminal.LocalModes() & ICANON) != 0; ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    terminal.Type(keys);
    return result.get();
}
} // namespace

TEST(LinuxConsoleInput, KeysAndLinesUntilEndOfInput)
{
    PipeConsole pipeConsole("ab\nYES\nlast");
    IConsoleInput& console = *pipeConsole.console;
    EXPECT_EQ(console.ReadKeyWithoutEcho(), 'a');
    EXPECT_EQ(console.ReadKeyWithEcho(), 'b');
    std::string line;
    EXPECT_TRUE(console.ReadLine(line)); // the rest of the first line
    EXPECT_EQ(line, "");
    EXPECT_TRUE(console.ReadLine(line));
    EXPECT_EQ(line, "YES");
    EXPECT_TRUE(console.ReadLine(line)); // a last line without its line end
    EXPECT_EQ(line, "last");
    EXPECT_FALSE(console.ReadLine(line));
    EXPECT_EQ(console.ReadKeyWithoutEcho(), kConsoleEndOfInput);
    EXPECT_EQ(console.ReadKeyWithEcho(), kConsoleEndOfInput);
}

// An answer key and the line end typed after it make one answer: the read
// after the answer, whatever its kind, drops that one line end. Key strings
// without line ends read as they always did.
TEST(LinuxConsoleInput, TheLineEndAfterAnAnswerIsDroppedByTheNextRead)
{
    struct Case
    {
        std::string input;
        // a: an answer key, k: a plain key, l: a line.
        std::string reads;
        std::vector<std::string> results; // a key as one character; "EOF" at end of input
    };
    const std::vector<Case> cases = {
        {"y\ny\n", "aaa", {"y", "y", "EOF"}},
        {"y\r\ns\ry", "aaa", {"y", "s", "y"}},
        {"yys", "aaa", {"y", "y", "s"}},
        {"yYES\ny", "ala", {"y", "YES", "y"}},
        {"y\nYES\ny", "ala", {"y", "YES", "y"}},
        {"y\r\nYES\n", "al", {"y", "YES"}},
        {"y\rYES\n", "al", {"y", "YES"}},
        // Only one line end: a second is the next answer, or an empty line.
        {"y\n\ny", "aaa", {"y", "\n", "y"}},
        {"y\n\n", "all", {"y", "", "EOF"}},
        {"y\r\r\n", "aa", {"y", "\r"}},
        // Every kind of read after an answer drops it: a menu key, a line.
        {"y\n1\n", "akk", {"y", "1", "\n"}},
        {"y\n", "al", {"y", "EOF"}},
        // A line end given as the answer leaves nothing to drop, and plain
        // keys never set anything up.
        {"\n\ny", "aaa", {"\n", "\n", "y"}},
        {"1\n2", "kkk", {"1", "\n", "2"}},
        {"y", "aa", {"y", "EOF"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.input) + " " + c.reads);
        PipeConsole pipeConsole(c.input);
        PlatformServices services;
        services.consoleInput = pipeConsole.console;
        CRefPtr<ICrossPlatform> os(CreateCrossPlatform(services));
        std::vector<std::string> results;
        for (const char read : c.reads)
        {
            if (read == 'l')
            {
                std::string line;
                results.push_back(os->ReadLine(line) ? line : "EOF");
                continue;
            }
            const int key = read == 'a' ? os->GetAnswerKey(false) : os->GetKey();
            results.push_back(key == kConsoleEndOfInput ? "EOF"
                                                        : std::string(1, static_cast<char>(key)));
        }
        EXPECT_EQ(results, c.results);
    }
}

TEST(LinuxConsoleInput, TerminalKeyReadsTakeOneKeyAndRestoreTheMode)
{
    PseudoTerminal terminal;
    const tcflag_t before = terminal.LocalModes();
    ASSERT_NE(before & ICANON, 0u);
    ASSERT_NE(before & ECHO, 0u);
    CRefPtr<IConsoleInput> console(new CLinuxConsoleInput(terminal.slave));

    // Keys are typed while the read waits, without a line end: a line-buffered
    // read would still be waiting.
    EXPECT_EQ(ReadWhileTyping(
                  terminal, [&] { return console->ReadKeyWithoutEcho(); }, "s"),
              's');
    EXPECT_EQ(terminal.LocalModes(), before);
    EXPECT_EQ(terminal.Echoed(), "");

    EXPECT_EQ(ReadWhileTyping(
                  terminal, [&] { return console->ReadKeyWithEcho(); }, "y"),
              'y');
    EXPECT_EQ(terminal.LocalModes(), before);
    EXPECT_EQ(terminal.Echoed(), "y");

    // An arrow key is ESC and two more bytes; they do not answer the next read.
    EXPECT_EQ(ReadWhileTyping(
                  terminal, [&] { return console->ReadKeyWithoutEcho(); }, "\x1b[A"),
              0x1B);
    EXPECT_EQ(ReadWhileTyping(
                  terminal, [&] { return console->ReadKeyWithoutEcho(); }, "n"),
              'n');
    EXPECT_EQ(terminal.LocalModes(), before);

    // Whatever a caller left behind, RestoreTerminal puts back the first mode.
    termios changed{};
    tcgetattr(terminal.slave, &changed);
    changed.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(terminal.slave, TCSANOW, &changed);
    console->RestoreTerminal();
    EXPECT_EQ(terminal.LocalModes(), before);
}

// Only a person at a terminal, reading what the program writes there, is
// asked for a key every page.
TEST(LinuxConsoleInput, InteractiveOnlyWhenInputAndOutputAreTerminals)
{
    PseudoTerminal terminal;
    PipeConsole pipe("");
    EXPECT_TRUE(CRefPtr<IConsoleInput>(new CLinuxConsoleInput(terminal.slave, terminal.slave))
                    ->IsInteractive());
    EXPECT_FALSE(CRefPtr<IConsoleInput>(new CLinuxConsoleInput(terminal.slave, pipe.fds[0]))
                     ->IsInteractive());
    EXPECT_FALSE(CRefPtr<IConsoleInput>(new CLinuxConsoleInput(pipe.fds[0], terminal.slave))
                     ->IsInteractive());
}
