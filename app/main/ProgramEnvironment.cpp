// The programs' shared set-up (ProgramEnvironment.h).

#include "app/main/ProgramEnvironment.h"

#include "core/CrossPlatform.h"
#include "flasher/IFlasher.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimulatedMachine.h"

void InstallPlatformAndMachine()
{
    InstallLinuxPlatform();
    InstallMachineFromEnvironment();
}

void ConnectEngineToPlatform()
{
    GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(GetFlasher()));
}
