#include "core/StateFolder.h"

#include "core/Exceptions.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// The reason the folder cannot be trusted, or empty.
std::string PrivateFolderFault(const struct stat& info)
{
    if (S_ISLNK(info.st_mode))
    {
        return "it is a link";
    }
    if (!S_ISDIR(info.st_mode))
    {
        return "it is not a folder";
    }
    if (info.st_uid != ::geteuid())
    {
        return "it belongs to another user";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    {
        return "other users can write to it";
    }
    return "";
}
} // namespace

void CheckStateFolder(const std::filesystem::path& folder)
{
    struct stat info{};
    if (::lstat(folder.c_str(), &info) != 0)
    {
        if (errno == ENOENT)
        {
            return;
        }
        throw io_error("Cannot check the state folder " + folder.string() + ": " +
                       std::strerror(errno));
    }
    if (const std::string fault = PrivateFolderFault(info); !fault.empty())
    {
        throw io_error("The state folder " + folder.string() + " cannot hold update records: " +
                       fault + ".");
    }
}
