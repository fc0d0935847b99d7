#include "sim/SimulatedMachine.h"

#include "core/platform/PlatformServices.h"
#include "hw/IAcpiTableAccessor.h"
#include "platform/linux/LinuxDriverTransport.h"
#include "sim/MachineFile.h"
#include "sim/SimDriverTransport.h"
#include "sim/SimMachine.h"
#include "sim/SimPlatform.h"

#include <cstdlib>

void InstallSimulatedMachine(std::shared_ptr<CSimMachine> machine)
{
    PlatformServices services = GetPlatformServices();
    services.clock = machine->ClockService();
    services.powerSource = CreateSimPowerSource(machine);
    services.systemControl = CreateSimSystemControl(machine);
    // The Linux display-device and D3-cold services would act on the real
    // machine; they stay absent until the simulated machine models them.
    services.displayDevices = nullptr;
    services.d3Cold = nullptr;
    InstallPlatformServices(services);
    SetAcpiTableDirectory("");
    InstallDriverTransport(CRefPtr<IDriverTransport>(new CSimDriverTransport(std::move(machine))));
}

EMachineSelection InstallMachineFromEnvironment()
{
    const char* file = std::getenv("ROMVISE_MACHINE");
    if (file && *file)
    {
        InstallSimulatedMachine(LoadMachineFile(file));
        return EMachineSelection::Simulated;
    }
    InstallLinuxDriverTransport();
    return EMachineSelection::Linux;
}
