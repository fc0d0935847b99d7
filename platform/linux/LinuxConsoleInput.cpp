#include "platform/linux/LinuxServices.h"

#include <cerrno>
#include <unistd.h>

namespace
{
// A typed line longer than this is cut; the rest of it is read and dropped.
constexpr size_t kMaxLineLength = 4096;
constexpr int kEscape = 0x1B;
// Longest key sequence a terminal sends after ESC.
constexpr size_t kMaxEscapeSequence = 16;

// Puts a terminal's saved mode back when the read it guards ends, however it ends.
class CTerminalModeGuard
{
public:
    CTerminalModeGuard(int fd, const termios& saved) : m_fd(fd), m_saved(saved) {}
    ~CTerminalModeGuard() { tcsetattr(m_fd, TCSANOW, &m_saved); }
    CTerminalModeGuard(const CTerminalModeGuard&) = delete;
    CTerminalModeGuard& operator=(const CTerminalModeGuard&) = delete;

private:
    int m_fd;
    termios m_saved;
};
} // namespace

CLinuxConsoleInput::CLinuxConsoleInput(int fd, int outputFd) : m_fd(fd), m_outputFd(outputFd)
{
    termios mode{};
    if (isatty(fd) && tcgetattr(fd, &mode) == 0)
    {
        m_initialMode = mode;
    }
}

int CLinuxConsoleInput::ReadByte()
{
    for (;;)
    {
        unsigned char byte = 0;
        const ssize_t got = ::read(m_fd, &byte, 1);
        if (got == 1)
        {
            return byte;
        }
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        return kConsoleEndOfInput;
    }
}

int CLinuxConsoleInput::ReadKey(bool echo)
{
    termios current{};
    if (!m_initialMode || tcgetattr(m_fd, &current) != 0)
    {
        return ReadByte();
    }
    CTerminalModeGuard guard(m_fd, current);
    termios single = current;
    single.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    if (echo)
    {
        single.c_lflag |= ECHO;
    }
    else
    {
        single.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    }
    single.c_cc[VMIN] = 1;
    single.c_cc[VTIME] = 0;
    tcsetattr(m_fd, TCSANOW, &single);
    const int key = ReadByte();
    if (key == kEscape)
    {
        DropPendingBytes(single);
    }
    return key;
}

void CLinuxConsoleInput::DropPendingBytes(termios mode)
{
    // A function or arrow key arrives as ESC and a few bytes at once; the rest
    // of it must not answer the next prompt.
    mode.c_cc[VMIN] = 0;
    mode.c_cc[VTIME] = 0;
    tcsetattr(m_fd, TCSANOW, &mode);
    unsigned char byte = 0;
    for (size_t i = 0; i < kMaxEscapeSequence && ::read(m_fd, &byte, 1) == 1; ++i)
    {
    }
}

int CLinuxConsoleInput::ReadKeyWithoutEcho()
{
    return ReadKey(false);
}

int CLinuxConsoleInput::ReadKeyWithEcho()
{
    return ReadKey(true);
}

bool CLinuxConsoleInput::ReadLine(std::string& line)
{
    line.clear();
    bool any = false;
    for (;;)
    {
        const int byte = ReadByte();
        if (byte == kConsoleEndOfInput)
        {
            return any;
        }
        any = true;
        if (byte == '\n')
        {
            return true;
        }
        if (line.size() < kMaxLineLength)
        {
            line.push_back(static_cast<char>(byte));
        }
    }
}

void CLinuxConsoleInput::RestoreTerminal()
{
    if (m_initialMode)
    {
        tcsetattr(m_fd, TCSANOW, &*m_initialMode);
    }
}

bool CLinuxConsoleInput::IsInteractive()
{
    return isatty(m_fd) == 1 && isatty(m_outputFd) == 1;
}
