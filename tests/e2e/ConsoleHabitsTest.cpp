// The programs used the way a Linux user does: keys typed at a terminal with
// Enter after each, answers piped in from `yes`, a firmware file named by its
// absolute path, and the usage screen written to a file.

#include "ProgramRun.h"
#include "testkit/TextCount.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;
// Only reached when a program waits where it should not (or a sanitized
// build on a loaded machine is very slow): the run is then ended and fails.
constexpr std::chrono::seconds kTimeLimit{60};

const std::string kMonitorQuestion = "Please press 'y' to continue: ";
const std::string kConfirm = "Press 'y' to confirm ('s' to skip, 'a' to abort):  ";

using testkit::CountOf;

// A program running in the folder on a pseudo-terminal, on the folder's
// machine: the test sees what it shows and types when it chooses, as a
// person at a terminal does.
class CTerminalRun
{
public:
    // `output`: a file in the folder that takes standard output in place of
    // the terminal; empty for none.
    CTerminalRun(const std::string& folder, const std::vector<std::string>& arguments,
                 const std::string& output = "")
    {
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
        {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        m_pid = forkpty(&m_master, nullptr, nullptr, nullptr);
        if (m_pid == 0)
        {
            if (chdir(folder.c_str()) != 0 || setenv("ROMVISE_MACHINE", "machine.json", 1) != 0)
            {
                _exit(126);
            }
            if (!output.empty())
            {
                const int file = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (file < 0 || dup2(file, STDOUT_FILENO) < 0)
                {
                    _exit(126);
                }
                close(file);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        m_deadline = Clock::now() + kTimeLimit;
    }
    ~CTerminalRun()
    {
        if (m_pid > 0)
        {
            Stop();
        }
        if (m_master >= 0)
        {
            close(m_master);
        }
    }
    CTerminalRun(const CTerminalRun&) = delete;
    CTerminalRun& operator=(const CTerminalRun&) = delete;

    bool Started() const { return m_pid > 0 && m_master >= 0; }

    // Reads until the text shows after what earlier waits found; false when
    // the program ends or the time runs out first.
    bool WaitFor(const std::string& text)
    {
        for (;;)
        {
            const size_t at = m_shown.find(text, m_seen);
            if (at != std::string::npos)
            {
                m_seen = at + text.size();
                return true;
            }
            if (!ReadSome())
            {
                return false;
            }
        }
    }

    void Type(const std::string& keys)
    {
        ASSERT_EQ(write(m_master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // The program's exit code once it has ended; -1 when it did not end in
    // time (it is then killed).
    int Finish()
    {
        while (ReadSome())
        {
        }
        if (Clock::now() >= m_deadline)
        {
            Stop();
            return -1;
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Everything the terminal showed.
    const std::string& Shown() const { return m_shown; }

private:
    // Reads what the terminal shows next; false at the program's end (the
    // terminal closes) or when the time is up.
    bool ReadSome()
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
        if (left.count() <= 0)
        {
            return false;
        }
        pollfd waiting{m_master, POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
        {
            return true; // nothing read; the caller looks again
        }
        if (ready <= 0)
        {
            return false;
        }
        char buffer[4096];
        const ssize_t got = read(m_master, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
        {
            return true;
        }
        if (got <= 0)
        {
            return false; // EIO: every holder of the terminal has closed it
        }
        m_shown.append(buffer, static_cast<size_t>(got));
        return true;
    }

    void Stop()
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    pid_t m_pid = -1;
    int m_master = -1;
    Clock::time_point m_deadline;
    std::string m_shown;
    size_t m_seen = 0;
};

// Two adapters with older firmware and romuvise carrying a newer package.
void MakeTwoAdapterUpdate(CProgramFolder& folder)
{
    folder.MakeMachine({MakeFirmware(kOld), MakeFirmware(kOld)});
    ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
}
} // namespace

// At a terminal a person types 'y' and then Enter, and may press Enter only
// once the next question shows: that Enter belongs to the answer before and
// answers nothing.
TEST(ConsoleHabits, EnterAfterAKeyAtATerminalAnswersNoFurtherQuestion)
{
    CProgramFolder folder;
    MakeTwoAdapterUpdate(folder);
    CTerminalRun run(folder.PathOf(""), {folder.PathOf("romuvise")});
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(run.WaitFor(kMonitorQuestion)) << run.Shown();
    run.Type("y");
    ASSERT_TRUE(run.WaitFor(kConfirm)) << run.Shown();
    run.Type("\r");
    // Typed at once this time: the Enter after 's' waits for the next read.
    run.Type("s\r");
    ASSERT_TRUE(run.WaitFor(kConfirm)) << run.Shown();
    run.Type("y\r");
    EXPECT_EQ(run.Finish(), 0) << run.Shown();
    EXPECT_EQ(CountOf(run.Shown(), kConfirm), 2u) << run.Shown();
    EXPECT_EQ(CountOf(run.Shown(), "Update successful."), 1u) << run.Shown();
    EXPECT_TRUE(ChipHolds(folder.Chip(0), MakeFirmware(kOld)));
    EXPECT_TRUE(ChipHolds(folder.Chip(1), MakeFirmware(kNewer)));
}

// The same answers through a pipe, with each line end a program may send, and
// without line ends as before; `yes` answers every question.
TEST(ConsoleHabits, PipedAnswersWithOrWithoutLineEnds)
{
    struct Case
    {
        const char* command;
        std::string keys;
        bool firstUpdated;
    };
    const std::vector<Case> cases = {
        {"sh -c 'yes | ./romuvise'", "", true},
        {"sh -c 'cat | ./romuvise'", "y\ns\ny\n", false},
        {"sh -c 'cat | ./romuvise'", "y\r\ns\r\ny\r\n", false},
        {"./romuvise", "y\ny\ny\n", true},
        {"./romuvise", "ysy", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.command + (" with " + testing::PrintToString(c.keys)));
        CProgramFolder folder;
        MakeTwoAdapterUpdate(folder);
        const ProgramResult run = folder.Run(c.command, c.keys);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(CountOf(run.out, kConfirm), 2u) << run.out;
        EXPECT_TRUE(ChipHolds(folder.Chip(0), MakeFirmware(c.firstUpdated ? kNewer : kOld)));
        EXPECT_TRUE(ChipHolds(folder.Chip(1), MakeFirmware(kNewer)));
    }
}

// A firmware file named by its absolute path is flashed, not read as an
// option word; Enter after each answer, as at a terminal.
TEST(ConsoleHabits, EngineeringFlashOfAFileNamedByItsAbsolutePath)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware(kOld), MakeFirmware(kOld)});
    folder.WriteFile("new.rom", MakeFirmware(kNewer));
    const ProgramResult run = folder.Romvise("'" + folder.PathOf("new.rom") + "'", "y\ny\ns\n");
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_FALSE(Contains(run.out, "-- Primary Commands --")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Firmware update process is completed.")) << run.out;
    EXPECT_TRUE(ChipHolds(folder.Chip(0), MakeFirmware(kNewer)));
    EXPECT_TRUE(ChipHolds(folder.Chip(1), MakeFirmware(kOld)));
}

// Written to a file, the usage screen runs through although the input is a
// terminal; on the terminal itself it still stops for a key every page.
TEST(ConsoleHabits, UsageScreenPagesOnlyOnATerminal)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware(kOld)});
    {
        CTerminalRun run(folder.PathOf(""), {ROMVISE_PATH, "--help"}, "usage.txt");
        ASSERT_TRUE(run.Started());
        EXPECT_EQ(run.Finish(), 5) << run.Shown();
    }
    const std::vector<uint8_t> bytes = folder.ReadFile("usage.txt");
    ExpectTexts(
        std::string(bytes.begin(), bytes.end()),
        {"-- Primary Commands --", "-- Commands and Options -- ", "-- Supported EEPROM's --"},
        {"Press 'Enter'"});

    CTerminalRun run(folder.PathOf(""), {ROMVISE_PATH, "--help"});
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(run.WaitFor("Press 'Enter' to continue, or 'Q' to quit.")) << run.Shown();
    run.Type("q");
    EXPECT_EQ(run.Finish(), 5) << run.Shown();
    EXPECT_FALSE(Contains(run.Shown(), "Update Varnex firmware:")) << run.Shown();
}
