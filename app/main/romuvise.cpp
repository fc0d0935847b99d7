// The packaged updater's process entry.

#include "app/KRUserFlashApp.h"
#include "app/ProgramGuard.h"
#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "flasher/IFlasher.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimulatedMachine.h"

#include <iostream>

int main(int argc, char** argv)
{
    const int result = RunGuarded(
        [&]
        {
            InstallLinuxPlatform();
            // A machine file that cannot be loaded ends the process here,
            // with the loader's message.
            InstallMachineFromEnvironment();
            CKRUserFlashApp app(argc, argv);
            GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(GetFlasher()));
            return app.CKRUserFlashApp::Run();
        },
        std::cerr);
    ReleaseSingletons();
    return result;
}
