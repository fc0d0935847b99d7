// Choosing adapters and PCI functions: location, index, device-ID filters and
// the numbered menus with their keys.

#include "EngineeringRig.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "testkit/CapturedOutput.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>

namespace
{
std::string Locations(const DisplayAdapterList& adapters)
{
    std::string text;
    for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        char location[16];
        std::snprintf(location, sizeof location, "%s%02X:%02X", text.empty() ? "" : " ",
                      adapter->GetDevice()->GetBus(), adapter->GetDevice()->GetDeviceNumber());
        text += location;
    }
    return text;
}

std::string Locations(const PCIDeviceAccessorList& functions)
{
    std::string text;
    for (const CRefPtr<IPCIDeviceAccessor>& function : functions)
    {
        char location[16];
        std::snprintf(location, sizeof location, "%s%02X:%02X", text.empty() ? "" : " ",
                      function->GetBus(), function->GetDeviceNumber());
        text += location;
    }
    return text;
}

const std::vector<RigGpu> kOneGpu = {{1, 0, 0x0800, {}}};
// Two of the three share bus 2.
const std::vector<RigGpu> kThreeGpus = {{1, 0, 0x0800, {}}, {2, 0, 0x0801, {}}, {2, 1, 0x0800, {}}};

struct Location
{
    int segment = -1;
    int bus = -1;
    int device = -1;
    int function = -1;
};

struct SelectionCase
{
    const char* name;
    const std::vector<RigGpu>* gpus;
    std::vector<std::string> words;
    std::vector<DeviceIdFilter> filters;
    Location location;
    int index;
    std::string keys;
    std::string expected;  // the chosen locations, or the error's text
    std::string menu = {}; // a part of the menu text (standard error and log)
};

struct SelectionRun
{
    std::string result; // the chosen locations, or the error's text
    std::string menu;   // the log from level 4: the adapter menu
    std::string shown;  // standard output: echoes, the PCI menu and table
};

// One selection by a fresh application with the location set and the keys
// typed.
template <typename Select>
SelectionRun RunSelection(CEngineeringRig& rig, const std::vector<std::string>& words,
                          const Location& location, const std::string& keys, Select select)
{
    std::unique_ptr<CTestRomviseApp> app = rig.MakeApp(words);
    app->selectedSegment = location.segment;
    app->selectedBus = location.bus;
    app->selectedDevice = location.device;
    app->selectedFunction = location.function;
    rig.Type(keys);
    CLog log;
    std::ostringstream menu;
    CScopedLogSink sink(&log, &menu, 4, 5);
    testkit::CCapturedOutput shown;
    SelectionRun run;
    try
    {
        run.result = Locations(select(*app, &log));
    }
    catch (const std::runtime_error& error)
    {
        run.result = error.what();
    }
    run.menu = menu.str();
    run.shown = shown.Text();
    return run;
}

void RunSelectionCase(const SelectionCase& c)
{
    SCOPED_TRACE(c.name);
    CEngineeringRig rig(*c.gpus);
    const SelectionRun run =
        RunSelection(rig, c.words, c.location, c.keys,
                     [&](CTestRomviseApp& app, CLog* log)
                     {
                         return app.SelectAdapters(
                             GetUserInterface(), CreateDisplayAdapterDatabase(), GetBoardDatabase(),
                             c.filters, false, GetPCIBus(), c.index, log);
                     });
    EXPECT_EQ(run.result, c.expected);
    EXPECT_TRUE(Contains(run.menu, c.menu)) << run.menu;
    if (c.menu.empty())
    {
        EXPECT_FALSE(Contains(run.menu, "Select a display adapter:")) << run.menu;
    }
}
} // namespace

TEST(AdapterSelection, IndexLocationAndFilters)
{
    const std::string invalid = "Invalid display adapter index specified";
    const std::string noneOnBus =
        "No Korvan display adapters found in the specified segment# and bus#.";
    const std::string none = "No Korvan display adapters found.";
    const std::vector<SelectionCase> cases = {
        {"one: all", &kOneGpu, {}, {}, {}, -1, "", "01:00"},
        {"one: ask takes it", &kOneGpu, {}, {}, {}, -2, "", "01:00"},
        {"one: index 0", &kOneGpu, {}, {}, {}, 0, "", "01:00"},
        {"one: index 1", &kOneGpu, {}, {}, {}, 1, "", invalid},
        {"one: its bus", &kOneGpu, {}, {}, {0, 1}, -1, "", "01:00"},
        {"one: another bus", &kOneGpu, {}, {}, {0, 2}, -1, "", noneOnBus},
        {"one: another segment", &kOneGpu, {}, {}, {1, 1}, -1, "", noneOnBus},
        {"three: all", &kThreeGpus, {}, {}, {}, -1, "", "01:00 02:00 02:01"},
        {"three: index 2", &kThreeGpus, {}, {}, {}, 2, "", "02:01"},
        {"three: index 3", &kThreeGpus, {}, {}, {}, 3, "", invalid},
        {"three: bus 2 takes its first", &kThreeGpus, {}, {}, {0, 2}, -1, "", "02:00"},
        {"three: bus 2 device 1", &kThreeGpus, {}, {}, {0, 2, 1, 0}, -1, "", "02:01"},
        {"three: bus 2 device 1 any function", &kThreeGpus, {}, {}, {0, 2, 1}, -1, "", "02:01"},
        {"three: bus 2 device 1 function 1", &kThreeGpus, {}, {}, {0, 2, 1, 1}, -1, "", noneOnBus},
        {"three: location wins over index", &kThreeGpus, {}, {}, {0, 2, 1, 0}, 0, "", "02:01"},
        {"three: bus without adapters", &kThreeGpus, {}, {}, {0, 3}, -1, "", noneOnBus},
        {"three: filter", &kThreeGpus, {}, {{0x0801, 0xFFFF}}, {}, -1, "", "02:00"},
        {"three: filter with mask",
         &kThreeGpus,
         {},
         {{0x0800, 0xFFFE}},
         {},
         -1,
         "",
         "01:00 02:00 02:01"},
        {"three: filter excluding all", &kThreeGpus, {}, {{0x0900, 0xFFFF}}, {}, -1, "", none},
        {"three: reverse filter",
         &kThreeGpus,
         {"--reversefilterid=0801"},
         {{0x0801, 0xFFFF}},
         {},
         -1,
         "",
         "01:00 02:01"},
        {"three: reverse filter and location",
         &kThreeGpus,
         {"--reversefilterid=0801"},
         {{0x0801, 0xFFFF}},
         {0, 2},
         -1,
         "",
         "02:01"},
    };
    for (const SelectionCase& c : cases)
    {
        RunSelectionCase(c);
    }
}

TEST(AdapterSelection, MenuKeys)
{
    const std::string menu = "Select a display adapter:\n<0> ";
    const std::vector<SelectionCase> cases = {
        {"two digits out of range",
         &kThreeGpus,
         {},
         {},
         {},
         -2,
         "05"
         "1\r",
         "02:00",
         "Select a number (ESC to quit): \n{ 5 } is not valid\nSelect a number (ESC to quit): \n"},
        {"one digit and Enter", &kThreeGpus, {}, {}, {}, -2, "1\r", "02:00", menu},
        {"line feed as Enter", &kThreeGpus, {}, {}, {}, -2, "2\n", "02:01", menu},
        {"Enter before a digit is ignored", &kThreeGpus, {}, {}, {}, -2, "\r0\r", "01:00", menu},
        {"other keys are ignored", &kThreeGpus, {}, {}, {}, -2, "x0\r", "01:00", menu},
        {"ESC", &kThreeGpus, {}, {}, {}, -2, "\x1b", "Update aborted", menu},
        {"end of input", &kThreeGpus, {}, {}, {}, -2, "", "Update aborted", menu},
        {"end of input after a digit", &kThreeGpus, {}, {}, {}, -2, "1", "Update aborted", menu},
    };
    for (const SelectionCase& c : cases)
    {
        RunSelectionCase(c);
    }
}

TEST(AdapterSelection, MenuAbortIsAUserAbort)
{
    CEngineeringRig rig(kThreeGpus);
    std::unique_ptr<CTestRomviseApp> app = rig.MakeApp({});
    CLog log;
    EXPECT_THROW(app->SelectAdapters(GetUserInterface(), CreateDisplayAdapterDatabase(),
                                     GetBoardDatabase(), {}, false, GetPCIBus(), -2, &log),
                 user_abort_error);
}

TEST(PciFunctionSelection, LocationIndexAndMenu)
{
    struct Case
    {
        const char* name;
        Location location;
        int index;
        std::string keys;
        std::string expected;
        bool listed; // the table of every function was printed
    };
    // Functions: root ports 00:01 and 00:02, GPUs 01:00, 02:00 and 02:01.
    const std::vector<Case> cases = {
        {"location", {0, 2, 1, 0}, -2, "", "02:01", false},
        {"location, first of the bus", {0, 2}, -2, "", "02:00", false},
        {"nothing there",
         {0, 3},
         -2,
         "",
         "No PCI device found in the specified segment# and bus#.",
         false},
        {"all", {}, -1, "", "00:01 00:02 01:00 02:00 02:01", true},
        {"index", {}, 3, "", "02:00", false},
        {"index too large", {}, 5, "", "Invalid PCI device index specified", false},
        {"menu",
         {},
         -2,
         "07"
         "4\r",
         "02:01",
         true},
        {"menu ESC", {}, -2, "\x1b", "User aborted", true},
        {"menu end of input", {}, -2, "", "User aborted", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CEngineeringRig rig(kThreeGpus);
        const SelectionRun run =
            RunSelection(rig, {}, c.location, c.keys,
                         [&](CTestRomviseApp& app, CLog* log)
                         { return app.SelectPciDevice(GetPCIBus(), c.index, log); });
        EXPECT_EQ(run.result, c.expected);
        EXPECT_EQ(Contains(run.shown, "[S#:B#:D#.F#]"), c.listed) << run.shown;
        if (c.keys.starts_with("07"))
        {
            EXPECT_TRUE(
                Contains(run.shown, "07\n{ 7 } is not valid\nSelect a number (ESC to quit): 4\n"))
                << run.shown;
        }
    }
}
