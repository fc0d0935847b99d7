#include "platform/linux/LinuxDriverTransport.h"

#include "core/Range.h"
#include "core/TextHelpers.h"
#include "hw/IAcpiTableAccessor.h"
#include "hw/SystemError.h"
#include "platform/linux/Sysfs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define ROMVISE_HAS_PORT_IO 1
#else
#define ROMVISE_HAS_PORT_IO 0
#endif

namespace
{
namespace fs = std::filesystem;

constexpr uint32_t kFirstConfigPort = 0xCF8;
constexpr uint32_t kConfigPortCount = 8;
constexpr uint32_t kConfigAddressPort = 0xCF8;
constexpr uint32_t kConfigDataPort = 0xCFC;
constexpr uint64_t kLowMemorySize = 0x100000;
// Linear addresses of ranges served without a mapping lie where no user
// pointer can (the kernel's half of the address space), so an access tells
// them apart by its address alone. The physical address sits in the low bits.
constexpr uint64_t kConfigLinearBase = 0xA000000000000000ull;
constexpr uint64_t kAbsentLinearBase = 0xB000000000000000ull;
constexpr uint64_t kSyntheticSpan = 0x1000000000000000ull;

bool IsConfigPort(uint32_t port)
{
    return port >= kFirstConfigPort && port + 4 <= kFirstConfigPort + kConfigPortCount;
}

std::string RangeText(uint64_t physical, uint64_t length)
{
    return ToHexString64(physical, 1) + "-" + ToHexString64(physical + length - 1, 1);
}

bool Overlaps(uint64_t firstBase, uint64_t firstSize, uint64_t secondBase, uint64_t secondSize)
{
    return firstBase < secondBase + secondSize && secondBase < firstBase + firstSize;
}

template <class T> constexpr T AllOnes()
{
    return static_cast<T>(~T{0});
}
} // namespace

CLinuxDriverTransport::CLinuxDriverTransport(LinuxDriverTransportOptions options)
    : m_options(std::move(options))
{
}

CLinuxDriverTransport::~CLinuxDriverTransport()
{
    CloseAccess();
}

bool CLinuxDriverTransport::IsCompatibilityMode()
{
    if (sizeof(void*) != 4)
    {
        return false;
    }
    utsname system{};
    return uname(&system) == 0 && std::strcmp(system.machine, "x86_64") == 0;
}

std::string CLinuxDriverTransport::DescribeError(uint32_t code)
{
    std::string text = SystemErrorText(code);
    // A step names the failure it was recorded with and no later one: a
    // failure that comes from elsewhere (an ungranted port, a closed device)
    // must not carry it.
    if (code == m_failedCode && !m_failedStep.empty())
    {
        text += " (" + m_failedStep + ")";
    }
    m_failedStep.clear();
    return text;
}

uint32_t CLinuxDriverTransport::Fail(uint32_t code, std::string step)
{
    m_failedCode = code;
    m_failedStep = std::move(step);
    return code;
}

std::string CLinuxDriverTransport::LockdownNote() const
{
    const std::optional<std::string> modes =
        ReadSysfsText(fs::path(m_options.sysfsRoot) / "kernel" / "security" / "lockdown");
    if (!modes)
    {
        return "";
    }
    const size_t open = modes->find('[');
    const size_t close = modes->find(']', open);
    if (open == std::string::npos || close == std::string::npos)
    {
        return "";
    }
    const std::string mode = modes->substr(open + 1, close - open - 1);
    return mode == "none" ? "" : "; the kernel is locked down (" + mode + ")";
}

uint32_t CLinuxDriverTransport::OpenAccess()
{
    m_failedStep.clear();
    const uint32_t user = m_options.userId.value_or(static_cast<uint32_t>(geteuid()));
    if (user != 0)
    {
        return Fail(EPERM, "reaching PCI devices needs root: run it with sudo");
    }
    if (const uint32_t code = OpenSysfsOrMemory())
    {
        CloseAccess();
        return code;
    }
    return 0;
}

// sysfs first; /dev/mem beside it for the rest of physical memory, or alone
// (with the configuration ports) where sysfs has no PCI bus.
uint32_t CLinuxDriverTransport::OpenSysfsOrMemory()
{
    m_fd = open(m_options.memoryDevice.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    const int memoryError = m_fd < 0 ? errno : 0;

    auto sysfs =
        std::make_unique<CSysfsPci>(fs::path(m_options.sysfsRoot) / "bus" / "pci" / "devices");
    const int sysfsError = sysfs->Load();
    if (sysfsError == 0)
    {
        m_sysfs = std::move(sysfs);
        m_mcfg = ReadMcfgWindows(fs::path(m_options.sysfsRoot) / "firmware" / "acpi" / "tables" /
                                 "MCFG");
        return 0;
    }
    if (m_fd < 0)
    {
        const std::string memory = m_options.memoryDevice + " cannot be opened (" +
                                   std::strerror(memoryError) + LockdownNote() + ")";
        if (sysfsError == ENOENT)
        {
            return Fail(ENODEV, "no PCI bus in sysfs: " + sysfs->DevicesDir().string() +
                                    " is missing, and " + memory);
        }
        return Fail(static_cast<uint32_t>(sysfsError),
                    "reading " + sysfs->DevicesDir().string() + ", and " + memory);
    }
    if (m_options.usePorts)
    {
#if ROMVISE_HAS_PORT_IO
        if (ioperm(kFirstConfigPort, kConfigPortCount, 1) != 0)
        {
            const uint32_t code = static_cast<uint32_t>(errno);
            return Fail(code, "ioperm for ports 0xCF8-0xCFF" + LockdownNote());
        }
        m_portsEnabled = true;
#else
        return Fail(ENOSYS, "I/O ports on this processor");
#endif
    }
    return 0;
}

void CLinuxDriverTransport::CloseAccess()
{
    for (const auto& [linear, view] : m_views)
    {
        if (view.base)
        {
            munmap(view.base, view.length);
        }
    }
    m_views.clear();
#if ROMVISE_HAS_PORT_IO
    if (m_portsEnabled)
    {
        ioperm(kFirstConfigPort, kConfigPortCount, 0);
    }
#endif
    m_portsEnabled = false;
    m_sysfs.reset();
    m_mcfg.clear();
    m_configAddress = 0;
    if (m_fd >= 0)
    {
        close(m_fd);
        m_fd = -1;
    }
}

const McfgWindow* CLinuxDriverTransport::FindConfigWindow(uint64_t physical, uint64_t length) const
{
    for (const McfgWindow& window : m_mcfg)
    {
        if (Overlaps(window.First(), window.Size(), physical, length))
        {
            return &window;
        }
    }
    return nullptr;
}

uint32_t CLinuxDriverTransport::MapPhysical(uint64_t physical, uint64_t length, uint64_t& linear)
{
    linear = 0;
    if (!m_sysfs && m_fd < 0)
    {
        return EBADF;
    }
    if (length == 0 || !RangeFits(physical, length, kSyntheticSpan))
    {
        return EINVAL;
    }
    if (m_sysfs)
    {
        if (const McfgWindow* window = FindConfigWindow(physical, length))
        {
            if (physical < window->First() ||
                !RangeFits(physical - window->First(), length, window->Size()))
            {
                return Fail(EINVAL, "mapping " + RangeText(physical, length) +
                                        ": the range leaves the configuration window of "
                                        "segment " +
                                        std::to_string(window->segment));
            }
            linear = MapWithoutMapping(kConfigLinearBase + physical, length);
            return 0;
        }
        const CSysfsPci::Bar* first = m_sysfs->FindBar(physical);
        const CSysfsPci::Bar* last = m_sysfs->FindBar(physical + length - 1);
        if (first || last)
        {
            const CSysfsPci::Bar& bar = first ? *first : *last;
            if (first != last)
            {
                return Fail(EINVAL, "mapping " + RangeText(physical, length) +
                                        ": the range leaves BAR" + std::to_string(bar.index) +
                                        " of " + bar.function);
            }
            return MapResource(bar, physical, length, linear);
        }
        if (const CSysfsPci::Bar* inside = m_sysfs->FindBarInside(physical, length))
        {
            return Fail(EINVAL, "mapping " + RangeText(physical, length) + ": the range holds BAR" +
                                    std::to_string(inside->index) + " of " + inside->function +
                                    " and more");
        }
    }
    if (m_fd >= 0)
    {
        return MapFile(m_fd, m_options.memoryDevice, physical, length, linear);
    }
    if (RangeFits(physical, length, kLowMemorySize))
    {
        linear = MapWithoutMapping(kAbsentLinearBase + physical, length);
        return 0;
    }
    return Fail(ENXIO, "mapping " + RangeText(physical, length) +
                           ": no PCI function decodes it, and " + m_options.memoryDevice +
                           " is not open");
}

uint32_t CLinuxDriverTransport::MapResource(const CSysfsPci::Bar& bar, uint64_t physical,
                                            uint64_t length, uint64_t& linear)
{
    const fs::path file = m_sysfs->ResourceFile(bar);
    const int fd = open(file.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0)
    {
        const uint32_t code = static_cast<uint32_t>(errno);
        return Fail(code, "opening " + file.string() + LockdownNote());
    }
    // The mapping keeps the file; the descriptor is not needed past it.
    const uint32_t code = MapFile(fd, file.string(), physical - bar.start, length, linear);
    close(fd);
    return code;
}

// Maps whole pages of the file around [offset, offset + length) and hands
// out the address of the offset itself.
uint32_t CLinuxDriverTransport::MapFile(int fd, const std::string& name, uint64_t offset,
                                        uint64_t length, uint64_t& linear)
{
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t start = offset & ~(page - 1);
    const uint64_t delta = offset - start;
    const uint64_t viewLength = (delta + length + page - 1) & ~(page - 1);
    void* base = mmap(nullptr, viewLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                      static_cast<off_t>(start));
    if (base == MAP_FAILED)
    {
        const uint32_t code = static_cast<uint32_t>(errno);
        return Fail(code, "mapping " + name + LockdownNote());
    }
    linear = reinterpret_cast<uint64_t>(base) + delta;
    m_views[linear] = View{base, viewLength};
    return 0;
}

uint64_t CLinuxDriverTransport::MapWithoutMapping(uint64_t linear, uint64_t length)
{
    const auto [view, added] = m_views.try_emplace(linear, View{nullptr, length});
    if (!added)
    {
        ++view->second.users;
        view->second.length = std::max<size_t>(view->second.length, length);
    }
    return linear;
}

uint32_t CLinuxDriverTransport::UnmapPhysical(uint64_t linear, uint64_t)
{
    const auto found = m_views.find(linear);
    if (found == m_views.end())
    {
        return EINVAL;
    }
    if (--found->second.users > 0)
    {
        return 0;
    }
    const View view = found->second;
    m_views.erase(found);
    if (!view.base)
    {
        return 0;
    }
    return munmap(view.base, view.length) == 0 ? 0 : static_cast<uint32_t>(errno);
}

// With sysfs the configuration ports are served from the config files, as
// mechanism #1 reaches segment 0: 0xCF8 latches the address, 0xCFC reads or
// writes the dword it selects while its enable bit is set.
uint32_t CLinuxDriverTransport::ReadPort32(uint32_t port, uint32_t& value)
{
    value = 0xFFFFFFFF;
    if (m_sysfs)
    {
        if (port == kConfigAddressPort)
        {
            value = m_configAddress;
            return 0;
        }
        if (port != kConfigDataPort)
        {
            return EINVAL;
        }
        if (m_configAddress & 0x80000000u)
        {
            value = m_sysfs->ReadConfig(0, static_cast<uint8_t>(m_configAddress >> 16),
                                        (m_configAddress >> 11) & 0x1F,
                                        (m_configAddress >> 8) & 0x7, m_configAddress & 0xFC, 4);
        }
        return 0;
    }
    if (!m_portsEnabled)
    {
        return EPERM;
    }
    if (!IsConfigPort(port))
    {
        return EINVAL;
    }
#if ROMVISE_HAS_PORT_IO
    value = inl(static_cast<unsigned short>(port));
    return 0;
#else
    return ENOSYS;
#endif
}

uint32_t CLinuxDriverTransport::WritePort32(uint32_t port, uint32_t value)
{
    if (m_sysfs)
    {
        if (port == kConfigAddressPort)
        {
            m_configAddress = value & 0x80FFFFFCu;
            return 0;
        }
        if (port != kConfigDataPort)
        {
            return EINVAL;
        }
        if (!(m_configAddress & 0x80000000u))
        {
            return 0;
        }
        const uint8_t bus = static_cast<uint8_t>(m_configAddress >> 16);
        const uint8_t device = (m_configAddress >> 11) & 0x1F;
        const uint8_t function = (m_configAddress >> 8) & 0x7;
        if (const int code =
                m_sysfs->WriteConfig(0, bus, device, function, m_configAddress & 0xFC, 4, value))
        {
            return Fail(static_cast<uint32_t>(code), "writing the configuration space of " +
                                                         SysfsPciAddress(0, bus, device, function) +
                                                         LockdownNote());
        }
        return 0;
    }
    if (!m_portsEnabled)
    {
        return EPERM;
    }
    if (!IsConfigPort(port))
    {
        return EINVAL;
    }
#if ROMVISE_HAS_PORT_IO
    outl(value, static_cast<unsigned short>(port));
    return 0;
#else
    (void)value;
    return ENOSYS;
#endif
}

uint32_t CLinuxDriverTransport::QueryBarSize(uint16_t segment, uint8_t bus, uint8_t device,
                                             uint8_t function, uint32_t bar, uint64_t& size)
{
    size = 0;
    if (bar > 5)
    {
        return EINVAL;
    }
    const std::filesystem::path dir = std::filesystem::path(m_options.sysfsRoot) / "bus" / "pci" /
                                      "devices" / SysfsPciAddress(segment, bus, device, function);
    std::vector<SysfsPciResource> resources;
    int error = 0;
    if (!ReadSysfsPciResources(dir, resources, error))
    {
        return static_cast<uint32_t>(error == ENOENT ? ENODEV : error);
    }
    if (bar < resources.size())
    {
        size = resources[bar].Size();
    }
    return 0;
}

// Device registers are reached by single loads and stores of their width. A
// misaligned address (a table field in RAM, never a register) is reached
// byte by byte instead, which the processor's alignment rules allow.
namespace
{
template <class T> T Load(uint64_t linear)
{
    if (linear % sizeof(T) == 0)
    {
        return *reinterpret_cast<volatile T*>(linear);
    }
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
    {
        value = static_cast<T>(
            value | static_cast<T>(*reinterpret_cast<volatile uint8_t*>(linear + i)) << (8 * i));
    }
    return value;
}

template <class T> void Store(uint64_t linear, T value)
{
    if (linear % sizeof(T) == 0)
    {
        *reinterpret_cast<volatile T*>(linear) = value;
        return;
    }
    for (size_t i = 0; i < sizeof(T); ++i)
    {
        *reinterpret_cast<volatile uint8_t*>(linear + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}
} // namespace

// An access inside a configuration window: the function and register it
// selects, read or written through the function's config file.
uint32_t CLinuxDriverTransport::ReadConfigAt(uint64_t physical, unsigned width)
{
    const McfgWindow* window = FindConfigWindow(physical, width);
    if (!window || !m_sysfs)
    {
        return 0xFFFFFFFF;
    }
    const uint64_t offset = physical - window->base;
    return m_sysfs->ReadConfig(window->segment, static_cast<uint8_t>(offset >> 20),
                               (offset >> 15) & 0x1F, (offset >> 12) & 0x7, offset & 0xFFF, width);
}

void CLinuxDriverTransport::WriteConfigAt(uint64_t physical, unsigned width, uint32_t value)
{
    const McfgWindow* window = FindConfigWindow(physical, width);
    if (!window || !m_sysfs)
    {
        return;
    }
    const uint64_t offset = physical - window->base;
    const uint8_t bus = static_cast<uint8_t>(offset >> 20);
    const uint8_t device = (offset >> 15) & 0x1F;
    const uint8_t function = (offset >> 12) & 0x7;
    if (const int code = m_sysfs->WriteConfig(window->segment, bus, device, function,
                                              offset & 0xFFF, width, value))
    {
        throw std::runtime_error("Error writing the configuration space of " +
                                 SysfsPciAddress(window->segment, bus, device, function) + " at " +
                                 ToHexString64(offset & 0xFFF, 1) + ": " + std::strerror(code) +
                                 LockdownNote());
    }
}

template <class T> T CLinuxDriverTransport::Read(uint64_t linear)
{
    if (linear >= kAbsentLinearBase)
    {
        return AllOnes<T>();
    }
    if (linear >= kConfigLinearBase)
    {
        return static_cast<T>(ReadConfigAt(linear - kConfigLinearBase, sizeof(T)));
    }
    return Load<T>(linear);
}

template <class T> void CLinuxDriverTransport::Write(uint64_t linear, T value)
{
    if (linear >= kAbsentLinearBase)
    {
        return;
    }
    if (linear >= kConfigLinearBase)
    {
        WriteConfigAt(linear - kConfigLinearBase, sizeof(T), value);
        return;
    }
    Store<T>(linear, value);
}

uint8_t CLinuxDriverTransport::ReadMemory8(uint64_t linear)
{
    return Read<uint8_t>(linear);
}
uint16_t CLinuxDriverTransport::ReadMemory16(uint64_t linear)
{
    return Read<uint16_t>(linear);
}
uint32_t CLinuxDriverTransport::ReadMemory32(uint64_t linear)
{
    return Read<uint32_t>(linear);
}
void CLinuxDriverTransport::WriteMemory8(uint64_t linear, uint8_t value)
{
    Write<uint8_t>(linear, value);
}
void CLinuxDriverTransport::WriteMemory16(uint64_t linear, uint16_t value)
{
    Write<uint16_t>(linear, value);
}
void CLinuxDriverTransport::WriteMemory32(uint64_t linear, uint32_t value)
{
    Write<uint32_t>(linear, value);
}

void InstallLinuxDriverTransport()
{
    InstallDriverTransport(CRefPtr<IDriverTransport>(new CLinuxDriverTransport()));
    SetAcpiTableDirectory("/sys/firmware/acpi/tables");
}
