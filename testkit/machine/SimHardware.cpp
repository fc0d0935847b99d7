#include "testkit/machine/SimHardware.h"

#include "core/Singleton.h"
#include "hw/IDriverTransport.h"
#include "sim/SimulatedMachine.h"

std::shared_ptr<CSimMachine> MakeMachineWithMcfg()
{
    auto machine = std::make_shared<CSimMachine>();
    CAcpiTableBuilder()
        .SetRevision(2)
        .AddMcfg({McfgAllocation{kTestEcamBase, 0, 0, 0xFF}})
        .Build(*machine);
    return machine;
}

CSimPciFunction& AddTestFunction(CSimMachine& machine, uint8_t bus, uint8_t device,
                                 uint8_t function, uint16_t vendorId, uint16_t deviceId,
                                 uint32_t barAddress, uint64_t barSize)
{
    CSimPciFunction& added = machine.AddFunction(bus, device, function);
    added.SetIds(vendorId, deviceId, 0x030000, 0xA1);
    added.SetBar(0, SimBar{barSize, ESimBarKind::Memory32, false, barAddress});
    return added;
}

CSimHardwareScope::CSimHardwareScope(std::shared_ptr<CSimMachine> machine)
    : m_machine(std::move(machine))
{
    ReleaseSingletons();
    InstallSimulatedMachine(m_machine);
}

CSimHardwareScope::~CSimHardwareScope()
{
    ReleaseSingletons();
    InstallDriverTransport(nullptr);
}
