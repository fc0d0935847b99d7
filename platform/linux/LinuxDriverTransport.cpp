#include "platform/linux/LinuxDriverTransport.h"

#include "hw/IAcpiTableAccessor.h"
#include "hw/SystemError.h"
#include "platform/linux/Sysfs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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
constexpr uint32_t kFirstConfigPort = 0xCF8;
constexpr uint32_t kConfigPortCount = 8;

bool IsConfigPort(uint32_t port)
{
    return port >= kFirstConfigPort && port + 4 <= kFirstConfigPort + kConfigPortCount;
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

uint32_t CLinuxDriverTransport::OpenAccess()
{
    m_failedStep.clear();
    m_fd = open(m_options.memoryDevice.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (m_fd < 0)
    {
        return Fail(static_cast<uint32_t>(errno), "opening " + m_options.memoryDevice);
    }
    if (m_options.usePorts)
    {
#if ROMVISE_HAS_PORT_IO
        if (ioperm(kFirstConfigPort, kConfigPortCount, 1) != 0)
        {
            const uint32_t code = static_cast<uint32_t>(errno);
            CloseAccess();
            return Fail(code, "ioperm for ports 0xCF8-0xCFF");
        }
        m_portsEnabled = true;
#else
        CloseAccess();
        return Fail(ENOSYS, "I/O ports on this processor");
#endif
    }
    return 0;
}

void CLinuxDriverTransport::CloseAccess()
{
    for (const auto& [linear, view] : m_views)
    {
        munmap(view.base, view.length);
    }
    m_views.clear();
#if ROMVISE_HAS_PORT_IO
    if (m_portsEnabled)
    {
        ioperm(kFirstConfigPort, kConfigPortCount, 0);
    }
#endif
    m_portsEnabled = false;
    if (m_fd >= 0)
    {
        close(m_fd);
        m_fd = -1;
    }
}

uint32_t CLinuxDriverTransport::MapPhysical(uint64_t physical, uint64_t length, uint64_t& linear)
{
    linear = 0;
    if (m_fd < 0)
    {
        return EBADF;
    }
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t start = physical & ~(page - 1);
    const uint64_t delta = physical - start;
    const uint64_t viewLength = (delta + length + page - 1) & ~(page - 1);
    void* base = mmap(nullptr, viewLength, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd,
                      static_cast<off_t>(start));
    if (base == MAP_FAILED)
    {
        return Fail(static_cast<uint32_t>(errno), "mapping " + m_options.memoryDevice);
    }
    linear = reinterpret_cast<uint64_t>(base) + delta;
    m_views[linear] = View{base, viewLength};
    return 0;
}

uint32_t CLinuxDriverTransport::UnmapPhysical(uint64_t linear, uint64_t)
{
    const auto found = m_views.find(linear);
    if (found == m_views.end())
    {
        return EINVAL;
    }
    const View view = found->second;
    m_views.erase(found);
    return munmap(view.base, view.length) == 0 ? 0 : static_cast<uint32_t>(errno);
}

uint32_t CLinuxDriverTransport::ReadPort32(uint32_t port, uint32_t& value)
{
    value = 0xFFFFFFFF;
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

uint8_t CLinuxDriverTransport::ReadMemory8(uint64_t linear)
{
    return Load<uint8_t>(linear);
}
uint16_t CLinuxDriverTransport::ReadMemory16(uint64_t linear)
{
    return Load<uint16_t>(linear);
}
uint32_t CLinuxDriverTransport::ReadMemory32(uint64_t linear)
{
    return Load<uint32_t>(linear);
}
void CLinuxDriverTransport::WriteMemory8(uint64_t linear, uint8_t value)
{
    Store<uint8_t>(linear, value);
}
void CLinuxDriverTransport::WriteMemory16(uint64_t linear, uint16_t value)
{
    Store<uint16_t>(linear, value);
}
void CLinuxDriverTransport::WriteMemory32(uint64_t linear, uint32_t value)
{
    Store<uint32_t>(linear, value);
}

void InstallLinuxDriverTransport()
{
    InstallDriverTransport(CRefPtr<IDriverTransport>(new CLinuxDriverTransport()));
    SetAcpiTableDirectory("/sys/firmware/acpi/tables");
}
