// The packaged updater's process entry.

#include "app/KRUserFlashApp.h"
#include "app/ProgramGuard.h"
#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "flasher/FlasherDefaultServices.h"
#include "flasher/FlasherImpl.h"
#include "flasher/IFlasher.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimMachine.h"
#include "sim/SimulatedMachine.h"

#include <iostream>

namespace
{
// A simulated machine may name the root its images are signed under; real
// hardware always keeps the built-in root.
void TrustMachineRoot(const CSimMachine* machine, IFlasher* flasher)
{
    auto* engine = dynamic_cast<CFlasherImpl*>(flasher);
    if (!machine || !machine->TrustedRoot() || !engine)
    {
        return;
    }
    engine->SetCertificateGateServices(CertificateGateServicesWithRoot(
        machine->TrustedRoot()->container, machine->TrustedRoot()->passPhrase));
}
} // namespace

int main(int argc, char** argv)
{
    std::shared_ptr<CSimMachine> machine;
    const int result = RunGuarded(
        [&]
        {
            InstallLinuxPlatform();
            // A machine file that cannot be loaded ends the process here,
            // with the loader's message.
            InstallMachineFromEnvironment(&machine);
            CKRUserFlashApp app(argc, argv);
            GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(GetFlasher()));
            TrustMachineRoot(machine.get(), GetFlasher());
            return app.CKRUserFlashApp::Run();
        },
        std::cerr);
    ReleaseSingletons();
    return result;
}
