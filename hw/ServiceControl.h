#pragma once
// Registering, starting, stopping and removing the driver's service. On Linux
// the service is the transport: starting it opens the PCI functions in sysfs
// (or /dev/mem and the configuration ports), stopping it closes them. Failures raise
// std::runtime_error in the hardware layer's form (hw/SystemError.h); the
// failures listed with each operation are accepted.

#include "core/RefCount.h"
#include "hw/IDriverTransport.h"

#include <string>

class IService : public IReferenceCount
{
public:
    virtual void Remove() = 0;
    // A service already running, or disabled, counts as started.
    virtual void Start() = 0;
    virtual void Stop() = 0;
};

class IServiceManager : public IReferenceCount
{
public:
    virtual CRefPtr<IService> CreateService(const std::string& name, const std::string& path) = 0;
    // Empty when no service of that name exists.
    virtual CRefPtr<IService> OpenService(const std::string& name) = 0;
};

CRefPtr<IServiceManager> CreateServiceManager(CRefPtr<IDriverTransport> transport);
CRefPtr<IService> CreateServiceObject(CRefPtr<IDriverTransport> transport);
