#pragma once
// The Linux implementations of the platform services.

#include "core/platform/PlatformServices.h"

#include <filesystem>
#include <string>
#include <vector>

struct LinuxPlatformOptions
{
    // Root of sysfs; tests point it at a temporary tree.
    std::filesystem::path sysfsRoot = "/sys";
    // The console's file descriptor.
    int consoleFd = 0;
    // The command that restarts the machine.
    std::vector<std::string> rebootCommand = {"systemctl", "reboot"};
    // Where state that outlives a run is kept.
    std::filesystem::path stateDirectory = "/var/lib/romvise";
};

// One Linux implementation of each service.
PlatformServices MakeLinuxPlatformServices(const LinuxPlatformOptions& options = {});

// Installs the Linux services as the platform services in force.
void InstallLinuxPlatform(const LinuxPlatformOptions& options = {});
