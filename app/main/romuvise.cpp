// The packaged updater's process entry.

#include "app/KRUserFlashApp.h"
#include "app/ProgramGuard.h"
#include "app/main/ProgramEnvironment.h"
#include "core/Singleton.h"

#include <iostream>

int main(int argc, char** argv)
{
    const int result = RunGuarded(
        [&]
        {
            const auto app = InstallProgramEnvironment<CKRUserFlashApp>(argc, argv);
            return app->CKRUserFlashApp::Run();
        },
        std::cerr);
    ReleaseSingletons();
    return result;
}
