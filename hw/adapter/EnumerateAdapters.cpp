#include "hw/adapter/EnumerateAdapters.h"

#include "core/CommandLine.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace
{
bool IsOptionSet(const char* name)
{
    ICommandLine* commandLine = nullptr;
    try
    {
        commandLine = ICommandLine::GetInstance();
    }
    catch (const std::runtime_error&)
    {
        return false;
    }
    return commandLine->IsSet(name);
}

bool Matches(const DeviceIdFilter& filter, IDisplayAdapter& adapter)
{
    return (adapter.GetDeviceID() & filter.mask) == filter.value;
}

bool MatchesAny(const std::vector<DeviceIdFilter>& filters, IDisplayAdapter& adapter)
{
    return std::any_of(filters.begin(), filters.end(),
                       [&](const DeviceIdFilter& filter) { return Matches(filter, adapter); });
}

void NoteAdapter(CLog& log, int level, const char* heading, IDisplayAdapter& adapter, bool detailed,
                 const char* ending)
{
    log.SetLevel(level);
    log << heading << "\n      ";
    adapter.PrintDescription(log, false, detailed);
    log << ending << std::flush;
}
} // namespace

void SortByPciAddress(DisplayAdapterList& adapters)
{
    const auto key = [](const CRefPtr<IDisplayAdapter>& adapter)
    {
        IDevice& device = *adapter->GetDevice();
        return std::make_tuple(device.GetSegment(), device.GetBus(), device.GetDeviceNumber(),
                               device.GetFunctionNumber());
    };
    std::stable_sort(adapters.begin(), adapters.end(),
                     [&](const CRefPtr<IDisplayAdapter>& a, const CRefPtr<IDisplayAdapter>& b)
                     { return key(a) < key(b); });
}

DisplayAdapterList& FilterOnboardBridges(DisplayAdapterList& result,
                                         const DisplayAdapterList& adapters, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
        *log << "Filter-out on-motherboard PLX bridge device." << LogEndl;
    }
    DisplayAdapterList kept;
    for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        if (adapter->GetDeviceKind() != kDeviceKindPLX8747)
        {
            kept.push_back(adapter);
        }
    }
    const size_t others = kept.size();
    for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        if (adapter->GetDeviceKind() != kDeviceKindPLX8747)
        {
            continue;
        }
        const uint8_t secondaryBus = adapter->GetDevice()->GetSecondaryBus();
        for (size_t i = 0; i < others; ++i)
        {
            if (kept[i]->GetDevice()->GetParentBus() == secondaryBus)
            {
                kept.push_back(adapter);
                break;
            }
        }
    }
    SortByPciAddress(kept);
    result = std::move(kept);
    return result;
}

DisplayAdapterList& EnumerateAdapters(DisplayAdapterList& result, CRefPtr<IPCIBus> bus,
                                      CRefPtr<IDisplayAdapterDatabase> database,
                                      const std::vector<DeviceIdFilter>& filters,
                                      const EnumerateOptions& options, CLog* log)
{
    if (!log)
    {
        throw std::invalid_argument("EnumerateAdapters needs a log");
    }
    DisplayAdapterList scanned;
    bus->FindDevices(scanned, database, options.keepUnknown, log);
    if (!IsOptionSet("offsysplxfilter"))
    {
        DisplayAdapterList filtered;
        FilterOnboardBridges(filtered, scanned, log);
        scanned = std::move(filtered);
    }
    const bool reverse = options.reverse || IsOptionSet("reversefilterid");

    result.clear();
    for (const CRefPtr<IDisplayAdapter>& adapter : scanned)
    {
        if (!adapter->IsConfigured())
        {
            if (options.reportUnconfigured)
            {
                NoteAdapter(*log, 4,
                            reverse ? "NOTE: Un-configured display adapter found, device not "
                                      "accessible:"
                                    : "NOTE: Unconfigured display adapter found, device not "
                                      "accessible:",
                            *adapter, options.detailed, "\n\n");
            }
            continue;
        }
        if (reverse || filters.empty() || MatchesAny(filters, *adapter))
        {
            result.push_back(adapter);
            continue;
        }
        NoteAdapter(*log, 3, "Display adapter removed by filter:", *adapter, options.detailed,
                    "\n");
    }
    if (!reverse)
    {
        return result;
    }
    for (const DeviceIdFilter& filter : filters)
    {
        for (auto it = result.begin(); it != result.end();)
        {
            if (Matches(filter, **it))
            {
                NoteAdapter(*log, 3, "Display adapter removed by filter:", **it, options.detailed,
                            "\n");
                it = result.erase(it);
            }
            else
            {
                ++it;
            }
        }
    }
    return result;
}
