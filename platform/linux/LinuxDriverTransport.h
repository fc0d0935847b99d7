#pragma once
// The driver transport of a Linux machine. PCI devices are reached as Linux
// tools reach them, through sysfs: configuration space through each
// function's `config` file (the configuration ports 0xCF8/0xCFC and the MCFG
// windows are both served from it), and BARs by mapping `resourceN`.
// Everything else in physical memory (the low-memory ACPI scan) goes through
// /dev/mem (opened O_SYNC, mapped page by page) when it opens; without it the
// first megabyte reads as all ones, so the scan finds no root pointer and the
// tables come from /sys/firmware/acpi/tables. Where sysfs has no PCI bus,
// /dev/mem serves everything and the configuration ports go through ioperm
// with inl/outl. All of it needs root.

#include "hw/DriverTransportBase.h"
#include "platform/linux/SysfsPci.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct LinuxDriverTransportOptions
{
    // The memory device; tests name a regular file, or a missing one, in its
    // place.
    std::string memoryDevice = "/dev/mem";
    // On the /dev/mem path, ask for the configuration ports at start; tests
    // leave them alone.
    bool usePorts = true;
    // Where sysfs is: PCI functions under <sysfsRoot>/bus/pci/devices, the
    // ACPI tables under firmware/acpi/tables, the lockdown mode in
    // kernel/security/lockdown. Tests point it at a tree of their own.
    std::string sysfsRoot = "/sys";
    // The effective user ID to judge root by; unset: the process's own.
    std::optional<uint32_t> userId;
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

    // True while PCI devices are reached through sysfs.
    bool UsesSysfs() const { return m_sysfs != nullptr; }

protected:
    uint32_t OpenAccess() override;
    void CloseAccess() override;

private:
    struct View
    {
        void* base; // null for a range served without a mapping
        size_t length;
        // Ranges served without a mapping hand out the same linear address
        // each time they are mapped; each map needs its unmap.
        size_t users = 1;
    };

    uint32_t Fail(uint32_t code, std::string step);
    // "; the kernel is locked down (<mode>)" when it is, else empty.
    std::string LockdownNote() const;
    uint32_t OpenSysfsOrMemory();
    uint32_t MapResource(const CSysfsPci::Bar& bar, uint64_t physical, uint64_t length,
                         uint64_t& linear);
    uint32_t MapFile(int fd, const std::string& name, uint64_t offset, uint64_t length,
                     uint64_t& linear);
    uint64_t MapWithoutMapping(uint64_t linear, uint64_t length);
    const McfgWindow* FindConfigWindow(uint64_t physical, uint64_t length) const;
    uint32_t ReadConfigAt(uint64_t physical, unsigned width);
    void WriteConfigAt(uint64_t physical, unsigned width, uint32_t value);
    template <class T> T Read(uint64_t linear);
    template <class T> void Write(uint64_t linear, T value);

    LinuxDriverTransportOptions m_options;
    int m_fd = -1;
    bool m_portsEnabled = false;
    std::unique_ptr<CSysfsPci> m_sysfs;
    std::vector<McfgWindow> m_mcfg;
    uint32_t m_configAddress = 0;     // the 0xCF8 latch, when sysfs serves the ports
    std::map<uint64_t, View> m_views; // by the linear address handed out
    // The step of the last recorded failure, until it is described.
    uint32_t m_failedCode = 0;
    std::string m_failedStep;
};

// Installs the Linux transport as the process's driver transport, and the
// kernel's copy of the ACPI tables as the fallback table directory.
void InstallLinuxDriverTransport();
