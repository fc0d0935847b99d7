#include "hw/DriverTransportBase.h"

#include "hw/SystemError.h"

#include <cerrno>
#include <stdexcept>

uint32_t CDriverTransportBase::CreateService(const std::string& name, const std::string&)
{
    if (IsServiceInstalled())
    {
        return kErrorServiceExists;
    }
    m_serviceName = name;
    m_serviceInstalled = true;
    return 0;
}

uint32_t CDriverTransportBase::OpenService(const std::string& name)
{
    return IsServiceInstalled() && m_serviceName == name ? 0 : kErrorServiceDoesNotExist;
}

uint32_t CDriverTransportBase::StartService()
{
    if (!IsServiceInstalled())
    {
        return kErrorServiceDoesNotExist;
    }
    if (m_running)
    {
        return kErrorServiceAlreadyRunning;
    }
    if (const uint32_t code = OpenAccess())
    {
        return code;
    }
    m_running = true;
    return 0;
}

uint32_t CDriverTransportBase::StopService()
{
    if (!m_running)
    {
        return kErrorServiceNotActive;
    }
    m_deviceOpen = false;
    m_running = false;
    CloseAccess();
    return 0;
}

uint32_t CDriverTransportBase::RemoveService()
{
    if (!IsServiceInstalled())
    {
        return kErrorServiceDoesNotExist;
    }
    m_serviceName.clear();
    m_serviceInstalled = false;
    return 0;
}

uint32_t CDriverTransportBase::OpenDevice()
{
    if (!m_running)
    {
        return ENODEV;
    }
    if (m_deviceOpen)
    {
        return EBUSY;
    }
    m_deviceOpen = true;
    return 0;
}

uint32_t CDriverTransportBase::CloseDevice()
{
    if (!m_deviceOpen)
    {
        return EBADF;
    }
    m_deviceOpen = false;
    return 0;
}

uint32_t CDriverTransportBase::QueryBarSize(uint16_t, uint8_t, uint8_t, uint8_t, uint32_t,
                                            uint64_t& size)
{
    size = 0;
    return ENOSYS;
}

std::string CDriverTransportBase::DescribeError(uint32_t code)
{
    return SystemErrorText(code);
}

namespace
{
CRefPtr<IDriverTransport>& InstalledTransport()
{
    static CRefPtr<IDriverTransport> transport;
    return transport;
}
} // namespace

void InstallDriverTransport(CRefPtr<IDriverTransport> transport)
{
    InstalledTransport() = std::move(transport);
}

CRefPtr<IDriverTransport> GetDriverTransport()
{
    if (!InstalledTransport())
    {
        throw std::logic_error("No hardware transport installed");
    }
    return InstalledTransport();
}
