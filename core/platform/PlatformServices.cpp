#include "core/platform/PlatformServices.h"

#include <stdexcept>

PlatformServices& GetPlatformServices()
{
    static PlatformServices services;
    return services;
}

void InstallPlatformServices(const PlatformServices& services)
{
    GetPlatformServices() = services;
}

IClock& GetClock()
{
    IClock* clock = GetPlatformServices().clock.get();
    if (!clock)
    {
        throw std::logic_error("No clock installed");
    }
    return *clock;
}

TrustedRoot GetTrustedRoot()
{
    ITrustedRootSource* source = GetPlatformServices().trustedRoot.get();
    if (!source)
    {
        return BuiltInTrustedRoot();
    }
    TrustedRoot root;
    source->ReadTrustedRoot(root);
    return root;
}
