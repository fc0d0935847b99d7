#include "testkit/machine/TypedConsole.h"

#include "core/platform/PlatformServices.h"

CRefPtr<CTypedConsole> InstallTypedConsole()
{
    CRefPtr<CTypedConsole> console(new CTypedConsole());
    PlatformServices services = GetPlatformServices();
    services.consoleInput = CRefPtr<IConsoleInput>(console.get());
    InstallPlatformServices(services);
    return console;
}
