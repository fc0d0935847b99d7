// The engineering flasher's process entry. Every failure, including one of
// the machine set-up before the run, ends in a message and an exit code;
// nothing leaves main.

#include "app/RomviseBaseApp.h"
#include "app/engineering/ExitCodes.h"
#include "app/main/ProgramEnvironment.h"
#include "core/Singleton.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    try
    {
        int result = 0;
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
