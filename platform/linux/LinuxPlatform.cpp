#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/LinuxServices.h"

PlatformServices MakeLinuxPlatformServices(const LinuxPlatformOptions& options)
{
    const std::filesystem::path pciRoot = options.sysfsRoot / "bus" / "pci";
    PlatformServices services;
    services.clock = new CLinuxClock;
    services.consoleInput = new CLinuxConsoleInput(options.consoleFd);
    services.breakHandling = new CLinuxBreakHandling;
    services.powerSource = new CLinuxPowerSource(options.sysfsRoot / "class" / "power_supply");
    services.systemControl = new CLinuxSystemControl(options.rebootCommand, options.stateDirectory);
    services.displayDevices = new CLinuxDisplayDeviceManager(pciRoot);
    services.d3Cold = new CLinuxD3ColdControl(pciRoot);
    services.toneOutput = new CLinuxToneOutput;
    services.trustedRoot = CreateBuiltInRootSource();
    return services;
}

void InstallLinuxPlatform(const LinuxPlatformOptions& options)
{
    InstallPlatformServices(MakeLinuxPlatformServices(options));
}
