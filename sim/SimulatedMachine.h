#pragma once
// Making a simulated machine the program's hardware, and the rule that picks
// the machine for every program.

#include <memory>

class CSimMachine;

// Installs the machine as the driver transport, and as the platform's clock,
// power source, system control, trusted root, display devices and D3-cold
// control (see
// sim/SimDisplay.h). Console input and break handling stay as installed. No
// ACPI table directory is read.
void InstallSimulatedMachine(std::shared_ptr<CSimMachine> machine);

enum class EMachineSelection
{
    Linux,
    Simulated,
};

// The programs' main calls this after installing the Linux platform services:
// with ROMVISE_MACHINE=<file> the simulated machine of that file becomes the
// hardware and clock; without it the Linux driver transport is installed.
// A machine file that cannot be loaded raises its error. `installed`, when
// given, receives the simulated machine (null on Linux).
EMachineSelection InstallMachineFromEnvironment(std::shared_ptr<CSimMachine>* installed = nullptr);
