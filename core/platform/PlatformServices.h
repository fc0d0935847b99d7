#pragma once
// The operating-system services the program uses, installed once at start-up
// by the program's main: the Linux implementations, or the simulated machine's
// when ROMVISE_MACHINE names a machine file. Tests install fakes.

#include "core/RefCount.h"
#include "core/platform/IClock.h"

struct PlatformServices
{
    CRefPtr<IClock> clock;
};

// The services in force. Throws std::logic_error when a service is asked for
// before any was installed.
PlatformServices& GetPlatformServices();
void InstallPlatformServices(const PlatformServices& services);
IClock& GetClock();
