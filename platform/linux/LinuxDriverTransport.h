#pragma once
// The driver transport of a Linux machine: physical memory through /dev/mem
// (opened O_SYNC, mapped page by page), the PCI configuration ports
// 0xCF8-0xCFF through ioperm with inl/outl. Both need root.

#include "hw/DriverTransportBase.h"

#include <map>
#include <string>

struct LinuxDriverTransportOptions
{
    // The memory device; tests name a regular file in its place.
    std::string memoryDevice = "/dev/mem";
    // Ask for the configuration ports at start; tests leave them alone.
    bool usePorts = true;
    // Where sysfs is: PCI functions under <sysfsRoot>/bus/pci/devices.
    std::string sysfsRoot = "/sys";
};

class CLinuxDriverTransport : public CDriverTransportBase
{
public:
    explicit CLinuxDriverTransport(LinuxDriverTransportOptions options = {});
    ~CLinuxDriverTransport() override;

    bool IsCompatibilityMode() override;
    std::string DescribeError(uint32_t code) override;

    uint32_t MapPhysical(uint64_t physical, uint64_t length, uint64_t& linear) override;
    uint32_t UnmapPhysical(uint64_t linear, uint64_t length) override;
    uint32_t ReadPort32(uint32_t port, uint32_t& value) override;
    uint32_t WritePort32(uint32_t port, uint32_t value) override;
    // From the function's `resource` file in sysfs.
    uint32_t QueryBarSize(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                          uint32_t bar, uint64_t& size) override;

    uint8_t ReadMemory8(uint64_t linear) override;
    uint16_t ReadMemory16(uint64_t linear) override;
    uint32_t ReadMemory32(uint64_t linear) override;
    void WriteMemory8(uint64_t linear, uint8_t value) override;
    void WriteMemory16(uint64_t linear, uint16_t value) override;
    void WriteMemory32(uint64_t linear, uint32_t value) override;

protected:
    uint32_t OpenAccess() override;
    void CloseAccess() override;

private:
    struct View
    {
        void* base;
        size_t length;
    };

    uint32_t Fail(uint32_t code, std::string step);

    LinuxDriverTransportOptions m_options;
    int m_fd = -1;
    bool m_portsEnabled = false;
    std::map<uint64_t, View> m_views; // by the linear address handed out
    // The step of the last recorded failure, until it is described.
    uint32_t m_failedCode = 0;
    std::string m_failedStep;
};

// Installs the Linux transport as the process's driver transport, and the
// kernel's copy of the ACPI tables as the fallback table directory.
void InstallLinuxDriverTransport();
