#include "core/Singleton.h"

#include <array>
#include <vector>

namespace
{
using ReleaseList = std::vector<std::function<void()>>;

std::array<ReleaseList, static_cast<size_t>(ESingletonSlot::Count)>& Registry()
{
    static std::array<ReleaseList, static_cast<size_t>(ESingletonSlot::Count)> registry;
    return registry;
}
} // namespace

void RegisterSingletonRelease(ESingletonSlot slot, std::function<void()> release)
{
    Registry().at(static_cast<size_t>(slot)).push_back(std::move(release));
}

void ReleaseSingletons()
{
    for (const ReleaseList& slot : Registry())
    {
        for (const auto& release : slot)
        {
            release();
        }
    }
}
