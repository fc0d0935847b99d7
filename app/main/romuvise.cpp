// The packaged updater's process entry.

#include "app/KRUserFlashApp.h"
#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "flasher/IFlasher.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimulatedMachine.h"

#include <cstdlib>

int main(int argc, char** argv)
{
    InstallLinuxPlatform();
    InstallMachineFromEnvironment();
    int result = 0;
    {
        CKRUserFlashApp app(argc, argv);
        GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(GetFlasher()));
        result = app.CKRUserFlashApp::Run();
    }
    ReleaseSingletons();
    return result;
}
