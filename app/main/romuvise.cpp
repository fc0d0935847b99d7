// The packaged updater's process entry.

#include "app/KRUserFlashApp.h"
#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "flasher/FlasherDefaultServices.h"
#include "flasher/FlasherImpl.h"
#include "flasher/IFlasher.h"
#include "platform/linux/LinuxPlatform.h"
#include "sim/SimMachine.h"
#include "sim/SimulatedMachine.h"

#include <cstdlib>

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
    InstallLinuxPlatform();
    std::shared_ptr<CSimMachine> machine;
    InstallMachineFromEnvironment(&machine);
    int result = 0;
    {
        CKRUserFlashApp app(argc, argv);
        GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(GetFlasher()));
        TrustMachineRoot(machine.get(), GetFlasher());
        result = app.CKRUserFlashApp::Run();
    }
    ReleaseSingletons();
    return result;
}
