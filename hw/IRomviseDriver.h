#pragma once
// The program's driver: maps physical memory, reads and writes 32-bit I/O
// ports, and reaches mapped ranges. A mapped range is used only through the
// memory operations here, never through a raw pointer: device registers have
// side effects, and a simulated machine must see every access.

#include "core/RefCount.h"
#include "hw/IDriverTransport.h"

#include <cstdint>

// The driver maps 32-bit physical addresses: a range must end at or below this.
inline constexpr uint64_t kFourGiB = 0x100000000ull;

class IRomviseDriver : public IReferenceCount
{
public:
    // Linear address at which [physical, physical + length) is reachable.
    virtual uint64_t MapPhysicalToLinear(uint32_t physical, uint32_t length) = 0;
    virtual void UnmapPhysicalToLinear(uint64_t linear, uint32_t length) = 0;
    virtual uint32_t ReadPortULONG(uint32_t port) = 0;
    virtual void WritePortULONG(uint32_t port, uint32_t value) = 0;
    // The size of a function's BAR as the transport knows it without writing
    // the BAR (IDriverTransport::QueryBarSize); 0 when the BAR is not
    // assigned, the function is absent or the transport cannot tell.
    virtual uint64_t QueryBarSize(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                                  uint32_t bar) = 0;

    // Accesses at a linear address inside a mapping; an address outside every
    // mapping raises std::runtime_error.
    virtual uint8_t ReadMemory8(uint64_t linear) = 0;
    virtual uint16_t ReadMemory16(uint64_t linear) = 0;
    virtual uint32_t ReadMemory32(uint64_t linear) = 0;
    virtual void WriteMemory8(uint64_t linear, uint8_t value) = 0;
    virtual void WriteMemory16(uint64_t linear, uint16_t value) = 0;
    virtual void WriteMemory32(uint64_t linear, uint32_t value) = 0;
};

// Builds the driver over a transport: installs and starts its service and
// opens its device.
CRefPtr<IRomviseDriver> CreateRomviseDriver(CRefPtr<IDriverTransport> transport);

// The process-wide driver over the installed transport (GetDriverTransport),
// created on first use. A failed creation leaves no instance; the next call
// tries again. The pointer is borrowed.
IRomviseDriver* GetRomviseDriver();
