// Choosing the target of a command: one adapter, all adapters or one PCI
// function. A location given with --pcisegbus wins; a single candidate is
// taken without asking; otherwise the index picks one, -1 takes all and any
// other negative index asks with a numbered menu.

#include "app/RomviseBaseApp.h"
#include "app/MenuKeys.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"

#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace
{
using menu_keys::IsEnter;
using menu_keys::kEscape;
constexpr int kMaxMenuDigits = 2;

// Up to two digits, ended by Enter after at least one; every other key is
// ignored. ESC, and the end of input, abandon the menu.
int ReadMenuNumber(const char* abortText)
{
    int value = 0;
    int digits = 0;
    while (digits < kMaxMenuDigits)
    {
        const int key = GetCrossPlatform()->GetKey();
        if (key == kEscape || key == kConsoleEndOfInput)
        {
            throw user_abort_error(abortText);
        }
        if (key >= '0' && key <= '9')
        {
            value = value * 10 + (key - '0');
            ++digits;
            std::cout << static_cast<char>(key) << std::flush;
        }
        else if (IsEnter(key) && digits > 0)
        {
            break;
        }
    }
    return value;
}

// The index of the first candidate at the location (device and function
// only when given); -1 when there is none.
template <typename List, typename DeviceOf>
int FindAtLocation(const List& candidates, DeviceOf deviceOf, int segment, int bus, int device,
                   int function)
{
    for (size_t i = 0; i < candidates.size(); ++i)
    {
        auto& candidate = deviceOf(candidates[i]);
        if (candidate.GetSegment() == segment && candidate.GetBus() == bus &&
            (device < 0 || candidate.GetDeviceNumber() == device) &&
            (function < 0 || candidate.GetFunctionNumber() == function))
        {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The rule once the candidates are known: the only candidate is taken
// (index -1 and a menu request included), -1 takes all (nothing returned),
// another negative index asks, any other must be below the count.
template <typename Ask>
std::optional<int> ChooseIndex(int count, int index, const char* invalidText, Ask ask)
{
    if (count == 1)
    {
        if (index > 0)
        {
            throw std::runtime_error(invalidText);
        }
        return 0;
    }
    if (index == -1)
    {
        return std::nullopt;
    }
    if (index < 0)
    {
        return ask();
    }
    if (index >= count)
    {
        throw std::runtime_error(invalidText);
    }
    return index;
}
} // namespace

namespace
{
// The adapter rule over known candidates: the location, then the index; the
// menu's lines are the caller's.
DisplayAdapterList ChooseAdapters(const DisplayAdapterList& candidates, const PciAddress& location,
                                  int index, const std::function<std::string()>& menuLines,
                                  CLog* log)
{
    const int count = static_cast<int>(candidates.size());
    if (location.segment >= 0 && location.bus >= 0)
    {
        index = FindAtLocation(
            candidates,
            [](const CRefPtr<IDisplayAdapter>& adapter) -> IDevice&
            { return *adapter->GetDevice(); },
            location.segment, location.bus, location.device, location.function);
        if (index < 0)
        {
            throw std::runtime_error(
                "No Korvan display adapters found in the specified segment# and bus#.");
        }
    }
    const std::optional<int> chosen =
        ChooseIndex(count, index, "Invalid display adapter index specified",
                    [&]
                    {
                        // The menu reaches the console through standard error and the log.
                        // The lines first: making them may log at another level.
                        const std::string lines = menuLines();
                        *log << LogLevel(4) << lines << std::flush;
                        int number = 0;
                        while (true)
                        {
                            *log << "Select a number (ESC to quit): " << std::flush;
                            number = ReadMenuNumber("Update aborted");
                            *log << LogEndl;
                            if (number < count)
                            {
                                break;
                            }
                            *log << "{ " << number << " } is not valid" << LogEndl;
                        }
                        log->SetLevel(3);
                        return number;
                    });
    if (!chosen)
    {
        return candidates;
    }
    return {candidates[*chosen]};
}
} // namespace

DisplayAdapterList CRomviseBaseApp::SelectAdapters(CRefPtr<IUserInterface> /*ui*/,
                                                   CRefPtr<IDisplayAdapterDatabase> database,
                                                   CRefPtr<IBoardDatabase> /*boards*/,
                                                   const std::vector<DeviceIdFilter>& filters,
                                                   bool includeUncatalogued, CRefPtr<IPCIBus> bus,
                                                   int index, CLog* log)
{
    DisplayAdapterList candidates;
    EnumerateAdapters(candidates, bus, database, filters, includeUncatalogued, true, log, false);
    if (candidates.empty())
    {
        throw std::runtime_error("No Korvan display adapters found.");
    }
    const auto menu = [&]
    {
        std::ostringstream lines;
        lines << "Select a display adapter:\n";
        for (size_t i = 0; i < candidates.size(); ++i)
        {
            lines << '<' << i << "> ";
            candidates[i]->PrintDescription(lines, false, HasEngineeringFeatures());
            lines << '\n';
        }
        return lines.str();
    };
    return ChooseAdapters(candidates,
                          {selectedSegment, selectedBus, selectedDevice, selectedFunction}, index,
                          menu, log);
}

DisplayAdapterList CRomviseBaseApp::SelectGmacAdapters(CRefPtr<IDisplayAdapterDatabase> database,
                                                       const std::vector<DeviceIdFilter>& filters,
                                                       bool includeUncatalogued,
                                                       CRefPtr<IPCIBus> bus, int index, CLog* log)
{
    const DisplayAdapterList candidates = FindGmacDevices(database, includeUncatalogued, log);
    if (candidates.empty())
    {
        throw std::runtime_error("No Korvan display adapters found or I2C Device Table does not "
                                 "contain a GMAC entry.");
    }
    const auto menu = [&]
    {
        DisplayAdapterList adapters;
        EnumerateAdapters(adapters, bus, database, filters, includeUncatalogued, true, log, true);
        return "Select a GMAC device:\n" +
               ListGmacDevices(candidates, FindMcuAdapters(adapters, log));
    };
    return ChooseAdapters(candidates,
                          {selectedSegment, selectedBus, selectedDevice, selectedFunction}, index,
                          menu, log);
}

PCIDeviceAccessorList CRomviseBaseApp::SelectPciDevice(CRefPtr<IPCIBus> bus, int index, CLog* log)
{
    // Every function is a candidate; a location then picks among them, so
    // that a location without a function says so.
    const bool located = selectedSegment >= 0 && selectedBus >= 0;
    PCIDeviceAccessorList candidates;
    bus->FindPCIDevices(candidates, 0, nullptr, !located && index < 0, log);
    if (candidates.empty())
    {
        throw std::runtime_error("This flasher version does not support \"lspci/setpci\" yet.");
    }
    const int count = static_cast<int>(candidates.size());
    if (located)
    {
        index = FindAtLocation(
            candidates,
            [](const CRefPtr<IPCIDeviceAccessor>& function) -> IPCIDeviceAccessor&
            { return *function; },
            selectedSegment, selectedBus, selectedDevice, selectedFunction);
        if (index < 0)
        {
            throw std::runtime_error("No PCI device found in the specified segment# and bus#.");
        }
    }
    const std::optional<int> chosen =
        ChooseIndex(count, index, "Invalid PCI device index specified",
                    [&]
                    {
                        while (true)
                        {
                            std::cout << "Select a number (ESC to quit): " << std::flush;
                            const int number = ReadMenuNumber("User aborted");
                            std::cout << std::endl;
                            if (number < count)
                            {
                                return number;
                            }
                            std::cout << "{ " << number << " } is not valid" << std::endl;
                        }
                    });
    if (!chosen)
    {
        return candidates;
    }
    return {candidates[*chosen]};
}
