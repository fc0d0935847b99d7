// The engineering flasher's process entry. Every failure, including one of
// the machine set-up before the run, ends in a message and an exit code;
// nothing leaves main.

#include "app/EngineeringExitCodes.h"
#include "app/RomviseBaseApp.h"
#include "app/engineering/EngineeringCommands.h"
#include "app/main/ProgramEnvironment.h"
#include "core/Singleton.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    try
    {
        int result = 0;
        // The engineering run reaches its commands through this hook: the
        // packaged updater, built on the same application frame, links none.
        InstallEngineeringCommands(EngineeringCommands());
        {
            const auto app = InstallProgramEnvironment<CRomviseBaseApp>(argc, argv);
            result = app->Run();
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
