// The engineering flasher's process entry. Every failure, including one of
// the machine set-up before the run, ends in a message and an exit code;
// nothing leaves main.

#include "app/RomviseBaseApp.h"
#include "app/engineering/ExitCodes.h"
#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "flasher/IFlasher.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimulatedMachine.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    try
    {
        InstallLinuxPlatform();
        InstallMachineFromEnvironment();
        int result = 0;
        {
            CRomviseBaseApp app(argc, argv);
            GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(GetFlasher()));
            result = app.Run();
        }
        ReleaseSingletons();
        return result;
    }
    catch (const std::exception& error)
    {
        std::cerr << "\nERROR: " << error.what() << std::endl;
    }
    catch (...)
    {
        std::cerr << "\nERROR: Unknown failure." << std::endl;
    }
    return engineering_exit::kRuntimeError;
}
