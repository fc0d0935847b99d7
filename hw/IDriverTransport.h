#pragma once
// What the driver object sends its requests through: the machine's physical
// memory and I/O ports, reached on Linux through sysfs (with /dev/mem and
// ioperm as the fallback), or in the simulated machine through the machine
// itself. Every operation that can
// fail returns 0 or a system code (errno, or one of the service codes of
// hw/SystemError.h); the driver turns codes into the user's error texts.

#include "core/RefCount.h"

#include <cstdint>
#include <string>

class IDriverTransport : public IReferenceCount
{
public:
    // Service control. Installing and starting the driver brings the transport
    // up; stopping and removing it takes it down.
    virtual uint32_t CreateService(const std::string& name, const std::string& path) = 0;
    // kErrorServiceDoesNotExist when no service of that name is installed.
    virtual uint32_t OpenService(const std::string& name) = 0;
    // kErrorServiceAlreadyRunning when already started.
    virtual uint32_t StartService() = 0;
    // kErrorServiceNotActive when not started.
    virtual uint32_t StopService() = 0;
    virtual uint32_t RemoveService() = 0;

    // The device handle: one open at a time, only while the service runs.
    virtual uint32_t OpenDevice() = 0;
    virtual uint32_t CloseDevice() = 0;

    // True when a 32-bit program runs on a 64-bit kernel.
    virtual bool IsCompatibilityMode() = 0;

    // The system's text for a code this transport returned, naming the step
    // of its own that failed where that helps.
    virtual std::string DescribeError(uint32_t code) = 0;

    // A linear address at which the physical range is reachable through the
    // memory operations below.
    virtual uint32_t MapPhysical(uint64_t physical, uint64_t length, uint64_t& linear) = 0;
    virtual uint32_t UnmapPhysical(uint64_t linear, uint64_t length) = 0;
    virtual uint32_t ReadPort32(uint32_t port, uint32_t& value) = 0;

    // The size in bytes of BAR `bar` (0-5) of a PCI function, as the system
    // assigned it, found without touching the BAR: a BAR is never written to
    // size it, since the display driver may be using the device. 0 and size 0
    // for a BAR that is not implemented or not assigned (a 64-bit BAR's upper
    // half among them); ENODEV when the function is not there, ENOSYS when
    // this transport cannot tell.
    virtual uint32_t QueryBarSize(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                                  uint32_t bar, uint64_t& size) = 0;
    virtual uint32_t WritePort32(uint32_t port, uint32_t value) = 0;

    // Accesses inside a mapping. The driver checks the address against its
    // mapping table before it calls these.
    virtual uint8_t ReadMemory8(uint64_t linear) = 0;
    virtual uint16_t ReadMemory16(uint64_t linear) = 0;
    virtual uint32_t ReadMemory32(uint64_t linear) = 0;
    virtual void WriteMemory8(uint64_t linear, uint8_t value) = 0;
    virtual void WriteMemory16(uint64_t linear, uint16_t value) = 0;
    virtual void WriteMemory32(uint64_t linear, uint32_t value) = 0;
};

// The transport the process uses; GetRomviseDriver sends its requests through
// it. The programs' main installs one (the Linux transport or a simulated
// machine); tests install their own.
void InstallDriverTransport(CRefPtr<IDriverTransport> transport);
// Throws std::logic_error when none was installed.
CRefPtr<IDriverTransport> GetDriverTransport();
