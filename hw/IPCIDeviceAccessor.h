#pragma once
// One PCI function: its address, its configuration space and the register
// window behind BAR0. Configuration dwords below 0x100 go through
// configuration mechanism #1 (ports 0xCF8/0xCFC); offsets from 0x100 and every
// 8- or 16-bit configuration access go through the function's ECAM page.

#include "core/RefCount.h"
#include "hw/IAcpiTableAccessor.h"
#include "hw/IRomviseDriver.h"

#include <cstdint>
#include <ostream>

class IPCIDeviceAccessor : public IReferenceCount
{
public:
    virtual uint32_t ReadConfig32(uint32_t offset) = 0;
    virtual uint32_t ReadExtConfig32(uint32_t offset) = 0;
    virtual uint16_t ReadExtConfig16(uint32_t offset) = 0;
    virtual uint8_t ReadExtConfig8(uint32_t offset) = 0;
    virtual void WriteConfig32(uint32_t offset, uint32_t value) = 0;
    virtual void WriteExtConfig32(uint32_t offset, uint32_t value) = 0;
    virtual void WriteExtConfig16(uint32_t offset, uint16_t value) = 0;
    virtual void WriteExtConfig8(uint32_t offset, uint8_t value) = 0;
    virtual uint16_t GetSegment() = 0;
    virtual uint8_t GetBus() = 0;
    virtual uint8_t GetDeviceNumber() = 0;
    virtual uint8_t GetFunctionNumber() = 0;
    // Uses [physical, physical + length) as the register window when none is
    // mapped; otherwise does nothing.
    virtual void MapPhysicalRange(uint32_t physical, uint32_t length) = 0;
    // Enables memory decoding and maps the window at BAR0: 8 MiB or the BAR's
    // size (GetBarSize), whichever is smaller. A BAR whose size is unknown is
    // not mapped.
    virtual void MapRegisters() = 0;
    virtual void UnmapRegisters() = 0;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    // "00:01:00.0" (short) or "S:00,B:01,D:00,F:00".
    virtual void PrintLocation(std::ostream& out, bool shortForm) = 0;
    // Register accesses at an offset into the window; the window is mapped on
    // first use. An access past the window's end raises std::runtime_error.
    virtual uint8_t Read8(uint32_t offset) = 0;
    virtual void Write8(uint32_t offset, uint8_t value) = 0;
    virtual uint16_t Read16(uint32_t offset) = 0;
    virtual void Write16(uint32_t offset, uint16_t value) = 0;
    virtual uint32_t Read32(uint32_t offset) = 0;
    virtual void Write32(uint32_t offset, uint32_t value) = 0;
    virtual bool HasAGPCapability() = 0;
    virtual bool IsBar0Assigned() = 0;
    // The size of BAR `bar` as the system assigned it, learnt through the
    // driver without writing the BAR; 0 when unknown or not assigned.
    virtual uint64_t GetBarSize(uint32_t bar) = 0;
    // Not behind a recognised switch (switch port -1).
    virtual bool IsNormalBoard() = 0;
    virtual int32_t GetSwitchPort() = 0;
    virtual int32_t GetSwitchPortIndex() = 0;
    virtual uint8_t GetParentBus() = 0;
    virtual uint16_t GetParentSegment() = 0;
};

// The accessor of one function. `acpi` empty takes GetAcpiTableAccessor().
CRefPtr<IPCIDeviceAccessor> CreatePCIDeviceAccessor(CRefPtr<IRomviseDriver> driver,
                                                    uint16_t segment, uint8_t bus, uint8_t device,
                                                    uint8_t function, int32_t switchPort,
                                                    uint8_t parentBus, uint16_t parentSegment,
                                                    CRefPtr<IAcpiTableAccessor> acpi = nullptr);
