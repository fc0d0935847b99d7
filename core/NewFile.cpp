#include "core/NewFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace
{
// Writes all bytes; 0, or the error number of the write that failed.
int WriteAll(int fd, std::span<const uint8_t> bytes)
{
    while (!bytes.empty())
    {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        bytes = bytes.subspan(static_cast<size_t>(written));
    }
    return 0;
}
} // namespace

NewFileOutcome WriteNewFile(const std::string& path,
                            std::initializer_list<std::span<const uint8_t>> pieces)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        return {false, errno};
    }
    int error = 0;
    for (const std::span<const uint8_t> piece : pieces)
    {
        if (error == 0)
        {
            error = WriteAll(fd, piece);
        }
    }
    if (error == 0 && ::fsync(fd) != 0)
    {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0)
    {
        error = errno;
    }
    if (error != 0)
    {
        ::unlink(path.c_str());
    }
    return {true, error};
}
