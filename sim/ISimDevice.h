#pragma once
// A device model of the simulated machine. A model owns its registers and sees
// every access to what it claims: memory ranges and I/O ports it claims from
// the machine in Attach, and the BARs and configuration space of the PCI
// functions it is attached to. Widths are 1, 2 or 4 bytes; values are
// little-endian in the low bits.

#include <cstdint>
#include <optional>
#include <string>

class CSimMachine;
class CSimPciFunction;

class ISimDevice
{
public:
    virtual ~ISimDevice() = default;

    virtual std::string Name() const = 0;

    // Called once by CSimMachine::AddDevice: claim ranges and ports, attach to
    // functions.
    virtual void Attach(CSimMachine& machine) = 0;

    // A range claimed with CSimMachine::ClaimMemory; `tag` is the claim's.
    virtual uint32_t ReadMemory(int /*tag*/, uint64_t /*offset*/, unsigned /*width*/)
    {
        return 0xFFFFFFFF;
    }
    virtual void WriteMemory(int /*tag*/, uint64_t /*offset*/, unsigned /*width*/,
                             uint32_t /*value*/)
    {
    }

    // A memory BAR of an attached function while its memory decoding is on.
    virtual uint32_t ReadBar(CSimPciFunction& /*function*/, int /*bar*/, uint64_t /*offset*/,
                             unsigned /*width*/)
    {
        return 0xFFFFFFFF;
    }
    virtual void WriteBar(CSimPciFunction& /*function*/, int /*bar*/, uint64_t /*offset*/,
                          unsigned /*width*/, uint32_t /*value*/)
    {
    }

    // Ports claimed with CSimMachine::ClaimPorts.
    virtual uint32_t ReadPort(uint16_t /*port*/, unsigned /*width*/) { return 0xFFFFFFFF; }
    virtual void WritePort(uint16_t /*port*/, unsigned /*width*/, uint32_t /*value*/) {}

    // Configuration space of an attached function: a value to return in place
    // of the stored bytes, or nullopt.
    virtual std::optional<uint32_t> ReadConfig(CSimPciFunction& /*function*/, uint32_t /*offset*/,
                                               unsigned /*width*/)
    {
        return std::nullopt;
    }
    // Called after a configuration write was stored through the masks.
    virtual void OnConfigWrite(CSimPciFunction& /*function*/, uint32_t /*offset*/,
                               unsigned /*width*/, uint32_t /*value*/)
    {
    }
};
