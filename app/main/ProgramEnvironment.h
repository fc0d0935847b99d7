#pragma once
// The set-up both programs make around their application object, in one
// place so that they run on the same engine on the same machine. First the
// operating-system services and the machine: the Linux services, then the
// simulated machine that ROMVISE_MACHINE names (its clock, power source,
// display devices, trusted root ... in place of the Linux ones, and its
// driver transport) or the Linux driver transport. Then the application
// object, whose constructor reads the command line. Then what needs the
// engine, which is made from the command line: the display-driver hook
// through which the operating-system layer asks the engine to start the
// adapter's pre-OS application. The certificate gate takes its root from the
// platform's trusted-root service whenever it checks an image: the built-in
// root on real hardware, the machine's own on a simulated machine that names
// one. Nothing here knows which machine it runs on.

#include <memory>
#include <utility>

void InstallPlatformAndMachine();
void ConnectEngineToPlatform();

template <typename Application, typename... Arguments>
std::unique_ptr<Application> InstallProgramEnvironment(Arguments&&... arguments)
{
    // A machine file that cannot be loaded ends the set-up here, with the
    // loader's message.
    InstallPlatformAndMachine();
    auto application = std::make_unique<Application>(std::forward<Arguments>(arguments)...);
    ConnectEngineToPlatform();
    return application;
}
