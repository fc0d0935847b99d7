#include "core/NewFile.h"

#include "core/Exceptions.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
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

// Writes the pieces, syncs and closes the descriptor; 0, or the error number
// of the first step that failed.
int WritePiecesAndClose(int fd, std::initializer_list<std::span<const uint8_t>> pieces)
{
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
    return error;
}

int CreateExclusive(const std::string& path, mode_t mode)
{
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

// The folder holding the path, for the temporary file and its sync.
std::string FolderOf(const std::string& path)
{
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

// The rename is what replaces the file; syncing the folder makes it last
// through a power loss. A folder that cannot be synced changes nothing the
// caller can mend, so its failure is not reported.
void SyncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
    {
        ::fsync(fd);
        ::close(fd);
    }
}

OutputFileOutcome CreateOutputFile(const std::string& path,
                                   std::initializer_list<std::span<const uint8_t>> pieces)
{
    const int fd = CreateExclusive(path, 0644);
    if (fd < 0)
    {
        return {OutputFileStatus::CannotCreate, errno};
    }
    const int error = WritePiecesAndClose(fd, pieces);
    if (error != 0)
    {
        ::unlink(path.c_str());
        return {OutputFileStatus::WriteFailed, error};
    }
    return {};
}

// Writes a hidden temporary file beside the old one and renames it over the
// old one, which stays as it was until the new bytes are all on the disk.
OutputFileOutcome ReplaceOutputFile(const std::string& path, mode_t oldMode,
                                    std::initializer_list<std::span<const uint8_t>> pieces)
{
    const std::filesystem::path name(path);
    std::string temporary =
        (name.parent_path() / ("." + name.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
    {
        return {OutputFileStatus::CannotCreate, errno};
    }
    int error = ::fchmod(fd, oldMode & 07777) == 0 ? 0 : errno;
    if (error != 0)
    {
        ::close(fd);
    }
    else
    {
        error = WritePiecesAndClose(fd, pieces);
    }
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
    {
        error = errno;
    }
    if (error != 0)
    {
        ::unlink(temporary.c_str());
        return {OutputFileStatus::WriteFailed, error};
    }
    SyncFolder(FolderOf(path));
    return {};
}
} // namespace

NewFileOutcome WriteNewFile(const std::string& path,
                            std::initializer_list<std::span<const uint8_t>> pieces)
{
    const int fd = CreateExclusive(path, 0644);
    if (fd < 0)
    {
        return {false, errno};
    }
    const int error = WritePiecesAndClose(fd, pieces);
    if (error != 0)
    {
        ::unlink(path.c_str());
    }
    return {true, error};
}

OutputFileOutcome WriteOutputFile(const std::string& path,
                                  std::initializer_list<std::span<const uint8_t>> pieces)
{
    struct stat status{};
    if (::lstat(path.c_str(), &status) != 0)
    {
        if (errno != ENOENT)
        {
            return {OutputFileStatus::CannotCreate, errno};
        }
        return CreateOutputFile(path, pieces);
    }
    if (!S_ISREG(status.st_mode))
    {
        return {OutputFileStatus::NotRegularFile, 0};
    }
    return ReplaceOutputFile(path, status.st_mode, pieces);
}

std::string CannotCreateText(const std::string& path, const OutputFileOutcome& outcome)
{
    const std::string reason = outcome.status == OutputFileStatus::NotRegularFile
                                   ? std::string("not a regular file")
                                   : std::string(std::strerror(outcome.error));
    return "Cannot create file: " + path + " (" + reason + ")";
}

void WriteOutputFileOrThrow(const std::string& path,
                            std::initializer_list<std::span<const uint8_t>> pieces,
                            const std::string& writeFailedText)
{
    const OutputFileOutcome written = WriteOutputFile(path, pieces);
    if (written.status == OutputFileStatus::WriteFailed)
    {
        throw io_error(writeFailedText);
    }
    if (written.status != OutputFileStatus::Written)
    {
        throw io_error(CannotCreateText(path, written));
    }
}
