#pragma once

#include "hw/IDriverTransport.h"

#include <string>

// Service and device bookkeeping shared by every transport: a service exists
// once created (until removed) and runs between start and stop; the device is
// opened exclusively while it runs. A transport supplies the bring-up and
// take-down of its access in OpenAccess and CloseAccess.
class CDriverTransportBase : public CReferenceCountImpl, public IDriverTransport
{
public:
    ROMVISE_REFCOUNT_FORWARD

    uint32_t CreateService(const std::string& name, const std::string& path) override;
    uint32_t OpenService(const std::string& name) override;
    uint32_t StartService() override;
    uint32_t StopService() override;
    uint32_t RemoveService() override;
    uint32_t OpenDevice() override;
    uint32_t CloseDevice() override;
    bool IsCompatibilityMode() override { return false; }
    std::string DescribeError(uint32_t code) override;
    // ENOSYS: a transport that knows its BARs says so.
    uint32_t QueryBarSize(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                          uint32_t bar, uint64_t& size) override;

    bool IsServiceInstalled() const { return m_serviceInstalled; }
    bool IsRunning() const { return m_running; }
    bool IsDeviceOpen() const { return m_deviceOpen; }

protected:
    // 0 or the system code of the step that failed.
    virtual uint32_t OpenAccess() = 0;
    virtual void CloseAccess() = 0;

private:
    std::string m_serviceName;
    bool m_serviceInstalled = false;
    bool m_running = false;
    bool m_deviceOpen = false;
};
