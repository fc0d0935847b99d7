#pragma once
// A fuzz input as a file that lives in memory only, for targets whose code
// under test reads a file by name. Its path is empty when the file could not
// be made.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <span>
#include <string>

class CFuzzMemoryFile
{
public:
    explicit CFuzzMemoryFile(std::span<const uint8_t> bytes) : m_fd(memfd_create("input", 0))
    {
        if (m_fd >= 0 && !bytes.empty() &&
            write(m_fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~CFuzzMemoryFile()
    {
        if (m_fd >= 0)
        {
            close(m_fd);
        }
    }
    CFuzzMemoryFile(const CFuzzMemoryFile&) = delete;
    CFuzzMemoryFile& operator=(const CFuzzMemoryFile&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    std::string Path() const { return m_fd < 0 ? "" : "/proc/self/fd/" + std::to_string(m_fd); }

private:
    int m_fd;
};
