#pragma once
// The operating-system services the program uses, installed once at start-up
// by the program's main: the Linux implementations, or the simulated machine's
// when ROMVISE_MACHINE names a machine file. Tests install fakes. A service
// left empty is treated as absent: the operating-system layer skips what needs
// it (no tone, no power reading, end of console input).

#include "core/RefCount.h"
#include "core/platform/IBreakHandling.h"
#include "core/platform/IClock.h"
#include "core/platform/IConsoleInput.h"
#include "core/platform/ID3ColdControl.h"
#include "core/platform/IDisplayDeviceManager.h"
#include "core/platform/IPowerSource.h"
#include "core/platform/ISystemControl.h"
#include "core/platform/IToneOutput.h"
#include "core/platform/ITrustedRootSource.h"

struct PlatformServices
{
    CRefPtr<IClock> clock;
    CRefPtr<IConsoleInput> consoleInput;
    CRefPtr<IBreakHandling> breakHandling;
    CRefPtr<IPowerSource> powerSource;
    CRefPtr<ISystemControl> systemControl;
    CRefPtr<IDisplayDeviceManager> displayDevices;
    CRefPtr<ID3ColdControl> d3Cold;
    CRefPtr<IToneOutput> toneOutput;
    CRefPtr<ITrustedRootSource> trustedRoot;
};

// The services in force. Throws std::logic_error when a service is asked for
// before any was installed.
PlatformServices& GetPlatformServices();
void InstallPlatformServices(const PlatformServices& services);
IClock& GetClock();
// The root the certificate gate trusts: the installed source's answer, the
// built-in root when no source is installed.
TrustedRoot GetTrustedRoot();
