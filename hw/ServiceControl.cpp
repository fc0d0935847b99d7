#include "hw/ServiceControl.h"

#include "hw/SystemError.h"

namespace
{
class CServiceImpl : public CReferenceCountImpl, public IService
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CServiceImpl(CRefPtr<IDriverTransport> transport) : m_transport(std::move(transport))
    {
    }

    void Remove() override
    {
        if (const uint32_t code = m_transport->RemoveService())
        {
            ThrowSystemError("Unable to remove service (0x", code,
                             m_transport->DescribeError(code));
        }
    }

    void Start() override
    {
        const uint32_t code = m_transport->StartService();
        if (code != 0 && code != kErrorServiceAlreadyRunning && code != kErrorServiceDisabled)
        {
            ThrowSystemError("Unable to start service (0x", code, m_transport->DescribeError(code));
        }
    }

    void Stop() override
    {
        if (const uint32_t code = m_transport->StopService())
        {
            ThrowSystemError("Unable to stop service (0x", code, m_transport->DescribeError(code));
        }
    }

private:
    CRefPtr<IDriverTransport> m_transport;
};

class CServiceManagerImpl : public CReferenceCountImpl, public IServiceManager
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CServiceManagerImpl(CRefPtr<IDriverTransport> transport)
        : m_transport(std::move(transport))
    {
    }

    CRefPtr<IService> CreateService(const std::string& name, const std::string& path) override
    {
        if (const uint32_t code = m_transport->CreateService(name, path))
        {
            ThrowSystemError("Unable to create service (0x", code,
                             m_transport->DescribeError(code));
        }
        return CreateServiceObject(m_transport);
    }

    CRefPtr<IService> OpenService(const std::string& name) override
    {
        const uint32_t code = m_transport->OpenService(name);
        if (code == kErrorServiceDoesNotExist)
        {
            return nullptr;
        }
        if (code != 0)
        {
            ThrowSystemError("Unable to open service (0x", code, m_transport->DescribeError(code));
        }
        return CreateServiceObject(m_transport);
    }

private:
    CRefPtr<IDriverTransport> m_transport;
};
} // namespace

CRefPtr<IServiceManager> CreateServiceManager(CRefPtr<IDriverTransport> transport)
{
    return CRefPtr<IServiceManager>(new CServiceManagerImpl(std::move(transport)));
}

CRefPtr<IService> CreateServiceObject(CRefPtr<IDriverTransport> transport)
{
    return CRefPtr<IService>(new CServiceImpl(std::move(transport)));
}
