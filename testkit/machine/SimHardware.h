#pragma once
// Simulated hardware for tests: a machine with ACPI tables and an ECAM
// window ready, and a scope that makes a machine the process's hardware and
// releases the driver and ACPI singletons again when it ends.

#include "sim/AcpiTableBuilder.h"
#include "sim/SimMachine.h"

#include <memory>

constexpr uint64_t kTestEcamBase = 0xE0000000;

// RAM below 1 MiB with a revision 2 root pointer, an XSDT and an MCFG whose
// entry 0 covers buses 0-255 at kTestEcamBase.
std::shared_ptr<CSimMachine> MakeMachineWithMcfg();

// A function with IDs and a 32-bit memory BAR0 of `barSize` at `barAddress`.
CSimPciFunction& AddTestFunction(CSimMachine& machine, uint8_t bus, uint8_t device,
                                 uint8_t function, uint16_t vendorId, uint16_t deviceId,
                                 uint32_t barAddress, uint64_t barSize);

class CSimHardwareScope
{
public:
    explicit CSimHardwareScope(std::shared_ptr<CSimMachine> machine);
    ~CSimHardwareScope();
    CSimHardwareScope(const CSimHardwareScope&) = delete;
    CSimHardwareScope& operator=(const CSimHardwareScope&) = delete;

    CSimMachine& Machine() { return *m_machine; }

private:
    std::shared_ptr<CSimMachine> m_machine;
};
