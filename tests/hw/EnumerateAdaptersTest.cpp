// Adapter enumeration over simulated machines: the PLX filter, unconfigured
// adapters and the device-ID filters in normal and reverse mode.

#include "hw/adapter/EnumerateAdapters.h"
#include "core/CommandLine.h"
#include "core/Singleton.h"
#include "testkit/TextCount.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <sstream>

using testkit::CountOf;

namespace
{
constexpr uint32_t kAdapterBar = 0xC0000000;

// The catalogue with one more row: a legacy GPU, whose device touches no
// register when it is made, so an unconfigured one can become an adapter.
class CCatalogueWithLegacyGpu : public CReferenceCountImpl, public IDisplayAdapterDatabase
{
public:
    ROMVISE_REFCOUNT_FORWARD
    void GetAdapterType(CDisplayAdapterType& type, uint16_t vendorId, uint16_t deviceId) override
    {
        if (vendorId == 0x7E2B && deviceId == 0x0500)
        {
            type = CDisplayAdapterType();
            type.vendorId = vendorId;
            type.deviceId = deviceId;
            type.deviceKind = 5;
            type.name = "Korvan Legacy 500";
            return;
        }
        m_real->GetAdapterType(type, vendorId, deviceId);
    }
    void GetAdapterTypes(std::vector<CDisplayAdapterType>& types) override
    {
        m_real->GetAdapterTypes(types);
    }

private:
    CRefPtr<IDisplayAdapterDatabase> m_real{CreateDisplayAdapterDatabase()};
};

// GPUs 0x0B00 at 01:00.0, 0x0C00 at 02:00.0, 0x0C01 at 03:00.0 and an
// unconfigured legacy GPU at 04:00.0, each behind its own root port.
std::shared_ptr<CSimMachine> MakeFourGpuMachine()
{
    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
    const struct
    {
        uint16_t deviceId;
        uint32_t kind;
        uint32_t bar;
    } gpus[] = {{0x0B00, 11, kAdapterBar},
                {0x0C00, 12, kAdapterBar + 0x1000000},
                {0x0C01, 12, kAdapterBar + 0x2000000},
                {0x0500, 5, 0}};
    uint8_t bus = 1;
    for (const auto& gpu : gpus)
    {
        AddSimRootPort(*machine, {0, bus, 0}, bus, bus);
        AddSimGpu(*machine, {bus, 0, 0}, gpu.deviceId, gpu.kind, gpu.bar);
        ++bus;
    }
    return machine;
}

struct Enumerated
{
    std::vector<uint16_t> ids;
    std::string log;
};

Enumerated Enumerate(const std::vector<DeviceIdFilter>& filters, bool reverse,
                     bool reportUnconfigured)
{
    CLog log;
    std::ostringstream out;
    log.AddSink(&out, 1, 5);
    EnumerateOptions options;
    options.reverse = reverse;
    options.reportUnconfigured = reportUnconfigured;
    DisplayAdapterList adapters;
    EnumerateAdapters(adapters, IPCIBus::Create(),
                      CRefPtr<IDisplayAdapterDatabase>(new CCatalogueWithLegacyGpu()), filters,
                      options, &log);
    Enumerated result;
    for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        result.ids.push_back(adapter->GetDeviceID());
    }
    result.log = out.str();
    return result;
}

TEST(EnumerateAdapters, FiltersSelectOrRemoveByDeviceId)
{
    struct Case
    {
        const char* name;
        std::vector<DeviceIdFilter> filters;
        bool reverse;
        std::vector<uint16_t> ids;
        size_t removedNotes;
    };
    const Case cases[] = {
        {"no filter lets every configured adapter through", {}, false, {0x0B00, 0x0C00, 0x0C01}, 0},
        {"a block filter selects its block", {{0x0C00, 0xFFF0}}, false, {0x0C00, 0x0C01}, 1},
        {"either of two filters selects",
         {{0x0B00, 0xFFFF}, {0x0C01, 0xFFFF}},
         false,
         {0x0B00, 0x0C01},
         1},
        {"reverse removes the block", {{0x0C00, 0xFFF0}}, true, {0x0B00}, 2},
        {"reverse with a filter matching all empties the list", {{0x0000, 0x0000}}, true, {}, 3},
        {"reverse without filters keeps all", {}, true, {0x0B00, 0x0C00, 0x0C01}, 0},
    };
    for (const Case& c : cases)
    {
        CSimHardwareScope scope(MakeFourGpuMachine());
        const Enumerated result = Enumerate(c.filters, c.reverse, false);
        EXPECT_EQ(result.ids, c.ids) << c.name;
        EXPECT_EQ(CountOf(result.log, "Display adapter removed by filter:\n      "), c.removedNotes)
            << c.name;
        EXPECT_EQ(CountOf(result.log, "NOTE:"), 0u) << c.name;
    }
}

TEST(EnumerateAdapters, UnconfiguredAdapterIsNotedWhenAsked)
{
    CSimHardwareScope scope(MakeFourGpuMachine());
    const Enumerated normal = Enumerate({}, false, true);
    EXPECT_EQ(normal.ids.size(), 3u);
    EXPECT_NE(normal.log.find("NOTE: Unconfigured display adapter found, device not accessible:\n"
                              "      Korvan Legacy 500    Device Path: S:00,B:04,D:00,F:00\n\n"),
              std::string::npos)
        << normal.log;

    const Enumerated reverse = Enumerate({}, true, true);
    EXPECT_NE(reverse.log.find("NOTE: Un-configured display adapter found, device not "
                               "accessible:\n      Korvan Legacy 500 "),
              std::string::npos);
}

TEST(EnumerateAdapters, DescriptionOfARemovedAdapter)
{
    CSimHardwareScope scope(MakeFourGpuMachine());
    const Enumerated result = Enumerate({{0x0B00, 0xFFFF}}, false, false);
    EXPECT_NE(result.log.find("Display adapter removed by filter:\n"
                              "      Korvan Dolvik1 C00   Device Path: S:00,B:02,D:00,F:00\n"),
              std::string::npos)
        << result.log;
}

// An upstream PLX port at 00:01.0 leading to bus 1, a downstream port at
// 01:08.0 leading to a GPU on bus 2, and a motherboard PLX port at 00:05.0
// whose bus holds no GPU.
std::shared_ptr<CSimMachine> MakePlxMachine()
{
    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
    AddSimPlxPort(*machine, {0, 1, 0}, 1, 2, 0, 0xD0000000);
    AddSimPlxPort(*machine, {1, 8, 0}, 2, 2, 1, 0xD0020000);
    AddSimGpu(*machine, {2, 0, 0}, 0x0C00, 12, kAdapterBar);
    AddSimPlxPort(*machine, {0, 5, 0}, 5, 5, 2, 0xD0040000);
    return machine;
}

std::string EnumerateLocations()
{
    CLog log;
    DisplayAdapterList adapters;
    EnumerateAdapters(adapters, IPCIBus::Create(),
                      CRefPtr<IDisplayAdapterDatabase>(CreateDisplayAdapterDatabase()), {}, {},
                      &log);
    std::string text;
    for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        std::ostringstream location;
        adapter->GetDevice()->PrintLocation(location, true);
        text += location.str() + " ";
    }
    return text;
}

TEST(EnumerateAdapters, MotherboardSwitchPortsAreFilteredOut)
{
    CSimHardwareScope scope(MakePlxMachine());
    // The upstream port leads to the GPU's parent bus; the others do not.
    EXPECT_EQ(EnumerateLocations(), "00:00:01.0 00:02:00.0 ");
}

TEST(EnumerateAdapters, SwitchFilterCanBeTurnedOff)
{
    CSimHardwareScope scope(MakePlxMachine());
    const OptionDescriptor table[] = {{"offsysplxfilter", ' ', 0, "", ""}};
    char program[] = "romvise";
    char option[] = "--offsysplxfilter";
    char* argv[] = {program, option};
    ICommandLine::Create(1, table, 2, argv);
    EXPECT_EQ(EnumerateLocations(), "00:00:01.0 00:00:05.0 00:01:08.0 00:02:00.0 ");
    ReleaseSingletons();
}
} // namespace
