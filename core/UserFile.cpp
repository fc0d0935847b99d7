#include "core/UserFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
class CDescriptor
{
public:
    explicit CDescriptor(int fd) : m_fd(fd) {}
    ~CDescriptor()
    {
        if (m_fd >= 0)
        {
            ::close(m_fd);
        }
    }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

UserFileContents Refusal(UserFileStatus status, int error)
{
    UserFileContents contents;
    contents.status = status;
    contents.error = error;
    return contents;
}

// Reads into bytes from `done` until they are full or the file ends; the
// count held, or -1 with errno set.
ssize_t ReadUpTo(int fd, std::vector<uint8_t>& bytes, size_t done = 0)
{
    while (done < bytes.size())
    {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            return -1;
        }
        if (got == 0)
        {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// The refusal of a file past its bound, with the first bytes of what was
// read (or is read now) for messages that show how the file begins.
UserFileContents TooLarge(int fd, uint64_t size, std::vector<uint8_t> head)
{
    UserFileContents contents = Refusal(UserFileStatus::kTooLarge, EFBIG);
    contents.size = size;
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(size, kUserFileHeadBytes));
    if (head.size() < wanted)
    {
        head.resize(wanted);
        const ssize_t got = ReadUpTo(fd, head);
        head.resize(got < 0 ? 0 : static_cast<size_t>(got));
    }
    head.resize(std::min(head.size(), wanted));
    contents.bytes = std::move(head);
    return contents;
}

// The whole body, up to one byte past the bound: a file that grew since
// fstat, or one whose size the system does not tell (0 for many files of
// /proc and /sys), shows as too large without being read whole.
UserFileContents ReadBody(int fd, uint64_t size, uint64_t maxBytes)
{
    const uint64_t limit = maxBytes + 1;
    std::vector<uint8_t> bytes(static_cast<size_t>(std::min(size + 1, limit)));
    ssize_t got = ReadUpTo(fd, bytes);
    while (got >= 0 && static_cast<size_t>(got) == bytes.size() && bytes.size() < limit)
    {
        bytes.resize(static_cast<size_t>(std::min<uint64_t>(limit, bytes.size() * 2 + 4096)));
        got = ReadUpTo(fd, bytes, static_cast<size_t>(got));
    }
    if (got < 0)
    {
        return Refusal(UserFileStatus::kReadFailed, errno);
    }
    if (static_cast<uint64_t>(got) > maxBytes)
    {
        return TooLarge(fd, static_cast<uint64_t>(got), std::move(bytes));
    }
    bytes.resize(static_cast<size_t>(got));
    UserFileContents contents;
    contents.status = UserFileStatus::kRead;
    contents.size = static_cast<uint64_t>(got);
    contents.bytes = std::move(bytes);
    return contents;
}
} // namespace

UserFileContents ReadUserFile(const std::string& path, UserFileFormat format)
{
    return ReadUserFile(path, MaxUserFileBytes(format));
}

UserFileContents ReadUserFile(const std::string& path, uint64_t maxBytes)
{
    // A device is refused before it is opened: opening some (a tape, a
    // watchdog) already acts on the device. The descriptor's own type is
    // checked again below.
    struct stat named{};
    if (::stat(path.c_str(), &named) == 0 && (S_ISCHR(named.st_mode) || S_ISBLK(named.st_mode)))
    {
        return Refusal(UserFileStatus::kNotRegularFile, EINVAL);
    }
    // O_NONBLOCK: opening a FIFO no one writes would otherwise wait for ever.
    CDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0)
    {
        return Refusal(errno == EISDIR ? UserFileStatus::kNotRegularFile
                                       : UserFileStatus::kCannotOpen,
                       errno);
    }
    // The descriptor's own type and size, not those of whatever the name
    // pointed to a moment before.
    struct stat info{};
    if (::fstat(fd.Get(), &info) != 0)
    {
        return Refusal(UserFileStatus::kCannotOpen, errno);
    }
    if (!S_ISREG(info.st_mode))
    {
        return Refusal(UserFileStatus::kNotRegularFile, EINVAL);
    }
    // A regular file never waits for data; reads go on as usual.
    ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    if (size > maxBytes)
    {
        return TooLarge(fd.Get(), size, {});
    }
    return ReadBody(fd.Get(), size, maxBytes);
}
