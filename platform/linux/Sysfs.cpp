#include "platform/linux/Sysfs.h"

#include "core/TextHelpers.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

std::optional<std::string> ReadSysfsText(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line))
    {
        return std::nullopt;
    }
    return TrimWhitespace(line);
}

std::optional<uint32_t> ReadSysfsNumber(const fs::path& file)
{
    const std::optional<std::string> text = ReadSysfsText(file);
    if (!text || text->empty())
    {
        return std::nullopt;
    }
    try
    {
        size_t used = 0;
        const unsigned long value = std::stoul(*text, &used, 0);
        if (used != text->size() || value > UINT32_MAX)
        {
            return std::nullopt;
        }
        return static_cast<uint32_t>(value);
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
}

int WriteSysfsText(const fs::path& file, const std::string& text)
{
    // One write() call: sysfs attributes take their value from a single write.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return errno;
    }
    const ssize_t written = ::write(fd, text.data(), text.size());
    const int writeError = written < 0 ? errno : 0;
    const int closeError = ::close(fd) != 0 ? errno : 0;
    if (writeError != 0)
    {
        return writeError;
    }
    if (static_cast<size_t>(written) != text.size())
    {
        return EIO;
    }
    return closeError;
}

bool ParsePciAddress(const std::string& text, SysfsPciFunction& function)
{
    unsigned segment = 0, bus = 0, device = 0, fn = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4x:%2x:%2x.%1x%n", &segment, &bus, &device, &fn, &consumed) !=
            4 ||
        static_cast<size_t>(consumed) != text.size() || device > 31 || fn > 7)
    {
        return false;
    }
    function.address = text;
    function.segment = segment;
    function.bus = bus;
    function.device = device;
    function.function = fn;
    return true;
}

bool ReadSysfsPciFunction(const fs::path& pciRoot, const std::string& address,
                          SysfsPciFunction& function)
{
    if (!ParsePciAddress(address, function))
    {
        return false;
    }
    const fs::path dir = pciRoot / "devices" / address;
    const auto vendor = ReadSysfsNumber(dir / "vendor");
    const auto device = ReadSysfsNumber(dir / "device");
    const auto classCode = ReadSysfsNumber(dir / "class");
    if (!vendor || !device || !classCode || *vendor > 0xFFFF || *device > 0xFFFF)
    {
        return false;
    }
    function.vendorId = static_cast<uint16_t>(*vendor);
    function.deviceId = static_cast<uint16_t>(*device);
    function.classCode = *classCode & 0xFFFFFF;
    function.revision = static_cast<uint8_t>(ReadSysfsNumber(dir / "revision").value_or(0));
    std::error_code error;
    const fs::path driverLink = fs::read_symlink(dir / "driver", error);
    function.driver.reset();
    if (!error && !driverLink.filename().empty())
    {
        function.driver = driverLink.filename().string();
    }
    return true;
}

bool ListSysfsDirectory(const fs::path& dir, std::vector<std::string>& names,
                        std::error_code& error)
{
    names.clear();
    error.clear();
    if (!fs::exists(dir, error))
    {
        return !error;
    }
    fs::directory_iterator it(dir, error);
    // An increment that fails also ends the walk, so the error is checked
    // after the loop as well as inside it.
    for (; !error && it != fs::directory_iterator(); it.increment(error))
    {
        names.push_back(it->path().filename().string());
    }
    if (error)
    {
        names.clear();
        return false;
    }
    std::sort(names.begin(), names.end());
    return true;
}

bool ListSysfsPciFunctions(const fs::path& pciRoot, std::vector<SysfsPciFunction>& functions,
                           int& error)
{
    functions.clear();
    error = 0;
    std::vector<std::string> addresses;
    std::error_code code;
    if (!ListSysfsDirectory(pciRoot / "devices", addresses, code))
    {
        error = code.value();
        return false;
    }
    for (const std::string& address : addresses)
    {
        SysfsPciFunction function;
        if (ReadSysfsPciFunction(pciRoot, address, function))
        {
            functions.push_back(std::move(function));
        }
    }
    return true;
}

std::string SysfsPciAddress(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function)
{
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%04x:%02x:%02x.%x", unsigned{segment}, unsigned{bus},
                  unsigned{device} & 0x1F, unsigned{function} & 0x7);
    return text.data();
}

bool ReadSysfsPciResources(const fs::path& functionDir, std::vector<SysfsPciResource>& resources,
                           int& error)
{
    resources.clear();
    error = 0;
    std::error_code exists;
    if (!fs::exists(functionDir / "resource", exists))
    {
        error = ENOENT;
        return false;
    }
    std::ifstream in(functionDir / "resource");
    if (!in)
    {
        error = EACCES;
        return false;
    }
    std::string line;
    while (std::getline(in, line))
    {
        if (TrimWhitespace(line).empty())
        {
            continue;
        }
        unsigned long long start = 0;
        unsigned long long end = 0;
        unsigned long long flags = 0;
        if (std::sscanf(line.c_str(), "%llx %llx %llx", &start, &end, &flags) != 3)
        {
            error = EINVAL;
            return false;
        }
        resources.push_back(SysfsPciResource{start, end, flags});
    }
    return true;
}
