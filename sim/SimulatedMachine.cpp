#include "sim/SimulatedMachine.h"

#include "core/platform/PlatformServices.h"
#include "hw/IAcpiTableAccessor.h"
#include "platform/linux/LinuxDriverTransport.h"
#include "sim/MachineFile.h"
#include "sim/SimDisplay.h"
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
    services.trustedRoot = CreateSimTrustedRootSource(machine);
    // The machine's own display devices and D3-cold settings stand in for the
    // Linux ones, which would act on the real machine.
    auto* displays = new CSimDisplayDevices(machine);
    services.displayDevices = CRefPtr<IDisplayDeviceManager>(displays);
    services.d3Cold = CRefPtr<ID3ColdControl>(displays);
    InstallPlatformServices(services);
    SetAcpiTableDirectory("");
    InstallDriverTransport(CRefPtr<IDriverTransport>(new CSimDriverTransport(std::move(machine))));
}

EMachineSelection InstallMachineFromEnvironment(std::shared_ptr<CSimMachine>* installed)
{
    const char* file = std::getenv("ROMVISE_MACHINE");
    if (file && *file)
    {
        std::shared_ptr<CSimMachine> machine = LoadMachineFile(file);
        if (installed)
        {
            *installed = machine;
        }
        InstallSimulatedMachine(std::move(machine));
        return EMachineSelection::Simulated;
    }
    InstallLinuxDriverTransport();
    return EMachineSelection::Linux;
}
