#include "platform/linux/LinuxServices.h"

#include "core/Exceptions.h"
#include "core/StateFolder.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <system_error>

extern char** environ;

CLinuxSystemControl::CLinuxSystemControl(std::vector<std::string> rebootCommand,
                                         std::filesystem::path stateDirectory)
    : m_rebootCommand(std::move(rebootCommand)), m_stateDirectory(std::move(stateDirectory))
{
}

void CLinuxSystemControl::Reboot()
{
    if (m_rebootCommand.empty())
    {
        throw std::runtime_error("Unable to reboot system.");
    }
    std::vector<char*> argv;
    for (std::string& arg : m_rebootCommand)
    {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    {
        throw std::runtime_error("Unable to reboot system.");
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
    {
        if (errno != EINTR)
        {
            throw std::runtime_error("Unable to reboot system.");
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    {
        throw std::runtime_error("Unable to reboot system.");
    }
}

bool CLinuxSystemControl::IsWow64()
{
    if (sizeof(void*) != 4)
    {
        return false;
    }
    utsname name{};
    if (uname(&name) != 0)
    {
        return false;
    }
    return std::string_view(name.machine).find("64") != std::string_view::npos;
}

std::string CLinuxSystemControl::GetSystemErrorText(uint32_t code)
{
    if (code == 0 || code > INT_MAX)
    {
        return {};
    }
    const char* text = strerrordesc_np(static_cast<int>(code));
    return text ? std::string(text) : std::string();
}

std::string CLinuxSystemControl::GetWorkingDirectory()
{
    std::error_code error;
    const auto path = std::filesystem::current_path(error);
    return error ? std::string() : path.string();
}

std::string CLinuxSystemControl::GetStateDirectory()
{
    // Only the program's own folder is made private; the folders above it
    // are the system's.
    std::error_code error;
    std::filesystem::create_directories(m_stateDirectory.parent_path(), error);
    if (::mkdir(m_stateDirectory.c_str(), 0700) != 0 && errno != EEXIST)
    {
        throw io_error("Cannot create the folder " + m_stateDirectory.string() + ": " +
                       std::strerror(errno));
    }
    // An existing folder is used only when it is as private as a new one.
    CheckStateFolder(m_stateDirectory);
    return m_stateDirectory.string();
}
