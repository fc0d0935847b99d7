#include "platform/linux/SysfsPci.h"

#include "core/Range.h"
#include "platform/linux/Sysfs.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
constexpr size_t kMcfgEntriesOffset = 44;
constexpr size_t kMcfgEntryLength = 16;
constexpr size_t kMaxTableLength = 0x100000;
constexpr uint32_t kConfigSpaceSize = 0x1000;
constexpr uint32_t kBarCount = 6;

uint64_t LittleEndian(const std::vector<uint8_t>& bytes, size_t at, size_t width)
{
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i)
    {
        value |= static_cast<uint64_t>(bytes[at + i]) << (8 * i);
    }
    return value;
}

uint32_t AllOnes(unsigned width)
{
    return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}
} // namespace

std::vector<McfgWindow> ReadMcfgWindows(const fs::path& file)
{
    std::vector<McfgWindow> windows;
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> table;
    char byte = 0;
    while (table.size() < kMaxTableLength && in.get(byte))
    {
        table.push_back(static_cast<uint8_t>(byte));
    }
    if (table.size() < kMcfgEntriesOffset ||
        std::string(table.begin(), table.begin() + 4) != "MCFG")
    {
        return windows;
    }
    const uint64_t length = std::min<uint64_t>(LittleEndian(table, 4, 4), table.size());
    for (uint64_t at = kMcfgEntriesOffset; RangeFits(at, kMcfgEntryLength, length);
         at += kMcfgEntryLength)
    {
        McfgWindow window;
        window.base = LittleEndian(table, at, 8);
        window.segment = static_cast<uint16_t>(LittleEndian(table, at + 8, 2));
        window.startBus = table[at + 10];
        window.endBus = table[at + 11];
        if (window.endBus >= window.startBus)
        {
            windows.push_back(window);
        }
    }
    return windows;
}

CSysfsPci::CSysfsPci(fs::path devicesDir) : m_devicesDir(std::move(devicesDir)) {}

CSysfsPci::~CSysfsPci()
{
    CloseAll();
}

void CSysfsPci::CloseAll()
{
    for (auto& [function, file] : m_config)
    {
        if (file.fd >= 0)
        {
            ::close(file.fd);
        }
    }
    m_config.clear();
}

int CSysfsPci::Load()
{
    CloseAll();
    m_functions.clear();
    m_bars.clear();
    std::error_code error;
    if (!fs::is_directory(m_devicesDir, error))
    {
        return ENOENT;
    }
    std::vector<std::string> names;
    if (!ListSysfsDirectory(m_devicesDir, names, error))
    {
        return error.value() != 0 ? error.value() : EIO;
    }
    for (const std::string& name : names)
    {
        SysfsPciFunction parsed;
        if (!ParsePciAddress(name, parsed))
        {
            continue;
        }
        m_functions.push_back(name);
        std::vector<SysfsPciResource> resources;
        int ignored = 0;
        if (!ReadSysfsPciResources(m_devicesDir / name, resources, ignored))
        {
            continue; // a function without BARs to offer
        }
        for (uint32_t index = 0; index < kBarCount && index < resources.size(); ++index)
        {
            const SysfsPciResource& resource = resources[index];
            if ((resource.flags & SysfsPciResource::kMemory) != 0 && resource.Size() != 0)
            {
                m_bars.push_back(Bar{name, index, resource.start, resource.Size()});
            }
        }
    }
    return 0;
}

CSysfsPci::ConfigFile* CSysfsPci::OpenConfig(const std::string& function, bool forWriting)
{
    if (!std::binary_search(m_functions.begin(), m_functions.end(), function))
    {
        return nullptr;
    }
    ConfigFile& file = m_config[function];
    if (file.fd >= 0 && (file.writable || !forWriting))
    {
        return &file;
    }
    // Reads never open the file for writing, so a run that only looks
    // changes nothing.
    const int fd = ::open((m_devicesDir / function / "config").c_str(),
                          (forWriting ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
    {
        return nullptr;
    }
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0)
    {
        ::close(fd);
        return nullptr;
    }
    if (file.fd >= 0)
    {
        ::close(file.fd);
    }
    file = ConfigFile{fd, forWriting, static_cast<uint64_t>(status.st_size)};
    return &file;
}

uint32_t CSysfsPci::ReadConfig(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                               uint32_t offset, unsigned width)
{
    const ConfigFile* file = OpenConfig(SysfsPciAddress(segment, bus, device, function), false);
    if (!file || !RangeFits(offset, width, std::min<uint64_t>(file->size, kConfigSpaceSize)))
    {
        return AllOnes(width);
    }
    uint8_t bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    const ssize_t got = ::pread(file->fd, bytes, width, static_cast<off_t>(offset));
    if (got != static_cast<ssize_t>(width))
    {
        return AllOnes(width);
    }
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i)
    {
        value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    }
    return value;
}

int CSysfsPci::WriteConfig(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                           uint32_t offset, unsigned width, uint32_t value)
{
    const std::string address = SysfsPciAddress(segment, bus, device, function);
    if (!std::binary_search(m_functions.begin(), m_functions.end(), address))
    {
        return 0;
    }
    const ConfigFile* file = OpenConfig(address, true);
    if (!file)
    {
        return errno != 0 ? errno : EIO;
    }
    if (!RangeFits(offset, width, std::min<uint64_t>(file->size, kConfigSpaceSize)))
    {
        return 0;
    }
    uint8_t bytes[4] = {};
    for (unsigned i = 0; i < width; ++i)
    {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    const ssize_t put = ::pwrite(file->fd, bytes, width, static_cast<off_t>(offset));
    if (put < 0)
    {
        return errno;
    }
    return put == static_cast<ssize_t>(width) ? 0 : EIO;
}

const CSysfsPci::Bar* CSysfsPci::FindBar(uint64_t physical) const
{
    for (const Bar& bar : m_bars)
    {
        if (physical >= bar.start && physical - bar.start < bar.size)
        {
            return &bar;
        }
    }
    return nullptr;
}

const CSysfsPci::Bar* CSysfsPci::FindBarInside(uint64_t physical, uint64_t length) const
{
    for (const Bar& bar : m_bars)
    {
        if (bar.start >= physical && RangeFits(bar.start - physical, bar.size, length))
        {
            return &bar;
        }
    }
    return nullptr;
}

fs::path CSysfsPci::ResourceFile(const Bar& bar) const
{
    return m_devicesDir / bar.function / ("resource" + std::to_string(bar.index));
}
