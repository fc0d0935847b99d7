// Display-driver control of the operating-system layer over the recording
// fakes: the device walk with the active adapter last, the monitor warning,
// D3 cold around the walk, enabling exactly what was disabled, and the restore
// with the flashing engine's hook.

#include "core/CommandLine.h"
#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "core/Log.h"
#include "core/Singleton.h"
#include "testkit/ErrorOf.h"
#include "tests/support/FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace
{
class CFakeAdapter : public CReferenceCountImpl, public IAdapterContext
{
public:
    ROMVISE_REFCOUNT_FORWARD
    CFakeAdapter(uint32_t kind, uint8_t bus, uint8_t device) : kind(kind), bus(bus), device(device)
    {
    }
    uint32_t GetDeviceKind() override { return kind; }
    uint8_t GetBusNumber() override { return bus; }
    uint8_t GetDeviceNumber() override { return device; }
    bool IsDisplayAttached() override
    {
        ++displayChecks;
        return displayAttached;
    }

    uint32_t kind;
    uint8_t bus;
    uint8_t device;
    bool displayAttached = true;
    int displayChecks = 0;
};

class CRecordingHook : public CReferenceCountImpl, public IDisplayDriverHook
{
public:
    ROMVISE_REFCOUNT_FORWARD
    void LoadPreOSApp(CRefPtr<IAdapterContext> adapter, CRefPtr<IReferenceCount> eeprom,
                      CRefPtr<IReferenceCount> database, CLog*) override
    {
        calls.push_back("load");
        loadedAdapter = adapter.get();
        loadedEeprom = eeprom.get();
        loadedDatabase = database.get();
        if (!loadError.empty())
        {
            throw std::runtime_error(loadError);
        }
    }
    void ResetDriverState() override { calls.push_back("reset"); }

    std::vector<std::string> calls;
    IAdapterContext* loadedAdapter = nullptr;
    IReferenceCount* loadedEeprom = nullptr;
    IReferenceCount* loadedDatabase = nullptr;
    std::string loadError; // non-empty: LoadPreOSApp throws it
};

// Something the flash context holds; records when it goes.
class CHeldObject : public CReferenceCountImpl, public IReferenceCount
{
public:
    ROMVISE_REFCOUNT_FORWARD
    explicit CHeldObject(bool* destroyed) : m_destroyed(destroyed) {}
    ~CHeldObject() override { *m_destroyed = true; }

private:
    bool* m_destroyed;
};

class DisplayDriverControlTest : public ::testing::Test
{
protected:
    DisplayDriverControlTest()
    {
        m_sink = m_log.AddSink(&m_out, 1, 5);
        // Two GPUs, the one at bus 1 listed first, and a device of another
        // maker that is never touched.
        m_platform.devices->AddPciDevice("0000:01:00.0", 0x7E2B, 0x0C00, 0x030000, 1, 0, 0,
                                         "Korvan Dolvik1 C00");
        m_platform.devices->AddPciDevice("0000:02:00.0", 0x7E2B, 0x0B00, 0x030000, 2, 0, 0,
                                         "Korvan Dolvik B00");
        m_platform.devices->AddPciDevice("0000:03:00.0", 0x10DE, 0x2504, 0x030000, 3, 0, 0,
                                         "Other GPU");
        m_platform.d3Cold->gpus = {{"0000:01:00.0"}, {"0000:02:00.0"}};
        m_os = GetCrossPlatform();
        m_os->SetAdapterCount(1);
        m_os->SetPrimaryAdapter(CRefPtr<IAdapterContext>(m_primary.get()));
    }

    std::vector<std::string> Changes()
    {
        std::vector<std::string> changes;
        for (const auto& change : m_platform.devices->changes)
        {
            changes.push_back(
                std::string(change.change == EDeviceStateChange::Disable ? "disable " : "enable ") +
                change.instanceId);
        }
        return changes;
    }

    CFakePlatform m_platform;
    CLog m_log;
    std::ostringstream m_out;
    int m_sink = 0;
    ICrossPlatform* m_os = nullptr;
    CRefPtr<CFakeAdapter> m_primary{new CFakeAdapter(12, 1, 0)};
    CRefPtr<CFakeAdapter> m_active{new CFakeAdapter(12, 1, 0)};
};

TEST_F(DisplayDriverControlTest, DisablesEveryMakerDeviceWithTheActiveOneLast)
{
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    ASSERT_TRUE(m_os->ToggleDisplayDriver(&m_log));
    EXPECT_TRUE(m_os->IsDisplayDriverDisabled());
    EXPECT_EQ(Changes(),
              (std::vector<std::string>{"disable 0000:02:00.0", "disable 0000:01:00.0"}));
    // D3 cold went off once, before the first device.
    EXPECT_EQ(m_platform.d3Cold->sets.size(), 2u);
    EXPECT_FALSE(m_platform.d3Cold->sets[0].second);
    EXPECT_NE(m_out.str().find("Disable D3 cold capability before unloading driver...\n"),
              std::string::npos);
    EXPECT_EQ(m_platform.clock->waits, (std::vector<uint64_t>{10000, 10000}));

    // The second toggle enables the same two and restores D3 cold.
    m_platform.devices->changes.clear();
    ASSERT_TRUE(m_os->ToggleDisplayDriver(&m_log));
    EXPECT_FALSE(m_os->IsDisplayDriverDisabled());
    EXPECT_EQ(Changes(), (std::vector<std::string>{"enable 0000:01:00.0", "enable 0000:01:00.0",
                                                   "enable 0000:02:00.0", "enable 0000:02:00.0"}));
    EXPECT_TRUE(m_platform.d3Cold->sets.back().second);
    EXPECT_NE(m_out.str().find("Restore D3 cold capability after 01 try.\n"), std::string::npos);
}

TEST_F(DisplayDriverControlTest, EnablesOnlyTheDevicesItDisabled)
{
    // The user had disabled the second GPU before the run.
    m_platform.devices->devices[1].status = {DeviceStatus::kHasProblem | DeviceStatus::kDisableable,
                                             DeviceStatus::kProblemDisabled};
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->ToggleDisplayDriver(&m_log);
    m_os->ToggleDisplayDriver(&m_log);
    EXPECT_EQ(Changes(), (std::vector<std::string>{"disable 0000:01:00.0", "enable 0000:01:00.0",
                                                   "enable 0000:01:00.0"}));
    EXPECT_EQ(m_platform.devices->devices[1].status.problem, DeviceStatus::kProblemDisabled);
}

TEST_F(DisplayDriverControlTest, FailureToEnableIsReportedAndRemembered)
{
    std::ostringstream console;
    CScopedLogSink consoleSink(GetLog(), &console, 4, 5);
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->ToggleDisplayDriver(&m_log);
    m_platform.devices->devices[0].changeError = 5;
    m_os->ToggleDisplayDriver(&m_log);
    EXPECT_EQ(console.str(), "Failed to re-enable display device 0000:01:00.0; enable it again or "
                             "restart the machine.\n");
    EXPECT_TRUE(m_os->IsDisplayDriverDisabled()) << "the device is still disabled";

    // Without a device list nothing can be enabled: said so, and remembered.
    console.str("");
    m_platform.devices->listFails = true;
    EXPECT_FALSE(m_os->ToggleDisplayDriver(&m_log));
    EXPECT_EQ(console.str(), "Failed to re-enable display device 0000:01:00.0; enable it again or "
                             "restart the machine.\n");
    m_platform.devices->listFails = false;

    // A later attempt that works enables just that device.
    m_platform.devices->devices[0].changeError = 0;
    m_platform.devices->changes.clear();
    m_os->ToggleDisplayDriver(&m_log);
    EXPECT_FALSE(m_os->IsDisplayDriverDisabled());
    EXPECT_EQ(Changes(), (std::vector<std::string>{"enable 0000:01:00.0", "enable 0000:01:00.0"}));
}

TEST_F(DisplayDriverControlTest, RestoreTurnsD3ColdBackOnWhenNoDeviceCouldBeDisabled)
{
    for (auto& device : m_platform.devices->devices)
    {
        device.changeError = 5;
    }
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->ToggleDisplayDriver(&m_log);
    ASSERT_FALSE(m_os->IsDisplayDriverDisabled());
    ASSERT_FALSE(m_platform.d3Cold->gpus[0].allowed) << "turned off before the first disable";

    m_os->RestoreDisplayDriver(&m_log);
    EXPECT_TRUE(m_platform.d3Cold->gpus[0].allowed);
    EXPECT_TRUE(m_platform.d3Cold->gpus[1].allowed);
    EXPECT_NE(m_out.str().find("Restore D3 cold capability after 01 try.\n"), std::string::npos);
    EXPECT_EQ(m_out.str().find("Restore the KR driver"), std::string::npos);
}

TEST_F(DisplayDriverControlTest, MonitorWarningWhenThePrimaryAdapterHasNoDisplay)
{
    struct Case
    {
        int32_t count;
        bool displayAttached;
        std::deque<int> keys;
        bool prompted;
        bool aborted;
    };
    const Case cases[] = {
        {1, false, {}, false, false},
        {2, true, {}, false, false},
        {2, false, {'y'}, true, false},
        {2, false, {'n'}, true, true},
    };
    for (const Case& c : cases)
    {
        CFakePlatform platform;
        platform.devices->AddPciDevice("0000:01:00.0", 0x7E2B, 0x0C00, 0x030000, 1, 0, 0,
                                       "Korvan Dolvik1 C00");
        platform.console->keys = c.keys;
        ICrossPlatform* os = GetCrossPlatform();
        CRefPtr<CFakeAdapter> primary(new CFakeAdapter(12, 1, 0));
        primary->displayAttached = c.displayAttached;
        os->SetAdapterCount(c.count);
        os->SetPrimaryAdapter(CRefPtr<IAdapterContext>(primary.get()));
        ::testing::internal::CaptureStdout();
        bool aborted = false;
        try
        {
            os->ToggleDisplayDriver(nullptr);
        }
        catch (const user_abort_error& error)
        {
            EXPECT_STREQ(error.what(), "User aborted");
            aborted = true;
        }
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(aborted, c.aborted);
        EXPECT_EQ(printed.find("Warning: Primary display adapter must plug-in a monitor") !=
                      std::string::npos,
                  c.prompted);
        if (c.prompted)
        {
            EXPECT_EQ(printed,
                      "\n  Warning: Primary display adapter must plug-in a monitor to avoid black\n"
                      "\t   screen when disabling Korvn display driver.\n"
                      "\n Please press 'y' to continue: \n");
        }
        EXPECT_EQ(platform.devices->changes.empty(), c.aborted);
    }
}

TEST_F(DisplayDriverControlTest, RestoreHandsTheFlashContextToTheHookAndEnablesTheDriver)
{
    CRefPtr<CRecordingHook> hook(new CRecordingHook());
    m_os->SetDisplayDriverHook(CRefPtr<IDisplayDriverHook>(hook.get()));
    bool loaderGone = false;
    bool eepromGone = false;
    bool databaseGone = false;
    CRefPtr<IReferenceCount> loader(new CHeldObject(&loaderGone));
    m_os->SetFlashContext(loader, CRefPtr<IReferenceCount>(new CHeldObject(&eepromGone)),
                          CRefPtr<IReferenceCount>(new CHeldObject(&databaseGone)));
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->ToggleDisplayDriver(&m_log);
    m_platform.devices->changes.clear();

    m_os->RestoreDisplayDriver(&m_log);
    EXPECT_EQ(hook->calls, (std::vector<std::string>{"load", "reset"}));
    EXPECT_EQ(hook->loadedAdapter, m_active.get());
    EXPECT_NE(hook->loadedEeprom, nullptr);
    EXPECT_FALSE(m_os->IsDisplayDriverDisabled());
    EXPECT_EQ(Changes().size(), 4u);
    EXPECT_FALSE(m_os->GetActiveAdapter());
    EXPECT_NE(m_out.str().find("\nRestore the KR driver state automatically, and a reboot is "
                               "required.\n"),
              std::string::npos);
    // The platform let go of the loader without destroying what another holds.
    EXPECT_EQ(m_os->GetFlashLoader(), nullptr);
    EXPECT_FALSE(loaderGone);
    loader = nullptr;
    EXPECT_TRUE(loaderGone);
    // Enabling the driver emptied the flash context.
    EXPECT_TRUE(eepromGone);
    EXPECT_TRUE(databaseGone);
}

TEST_F(DisplayDriverControlTest, RestoreGivesTheDisplayBackWhenThePreOSAppFails)
{
    CRefPtr<CRecordingHook> hook(new CRecordingHook());
    hook->loadError = "Pre-OS App could not be loaded";
    m_os->SetDisplayDriverHook(CRefPtr<IDisplayDriverHook>(hook.get()));
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->ToggleDisplayDriver(&m_log);
    m_platform.devices->changes.clear();

    EXPECT_NO_THROW(m_os->RestoreDisplayDriver(&m_log));
    EXPECT_EQ(hook->calls, (std::vector<std::string>{"load", "reset"}));
    EXPECT_FALSE(m_os->IsDisplayDriverDisabled());
    EXPECT_EQ(Changes().size(), 4u);
    EXPECT_FALSE(m_os->GetActiveAdapter());
    EXPECT_NE(m_out.str().find("Pre-OS App could not be loaded\n"), std::string::npos);
}

TEST_F(DisplayDriverControlTest, RestoreAfterARunThatNeverDisabledTheDriver)
{
    CRefPtr<CRecordingHook> hook(new CRecordingHook());
    m_os->SetDisplayDriverHook(CRefPtr<IDisplayDriverHook>(hook.get()));
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->RestoreDisplayDriver(&m_log);
    EXPECT_EQ(hook->calls, (std::vector<std::string>{"load"}));
    EXPECT_TRUE(m_platform.devices->changes.empty());
    EXPECT_EQ(m_out.str().find("Restore the KR driver"), std::string::npos);

    // An adapter of an older kind is not managed: no hook call at all.
    hook->calls.clear();
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(new CFakeAdapter(6, 1, 0)));
    m_os->RestoreDisplayDriver(&m_log);
    EXPECT_TRUE(hook->calls.empty());
}

TEST_F(DisplayDriverControlTest, SingleDeviceDisablingForTheBusScan)
{
    ASSERT_TRUE(m_os->DisableDeviceDriver("VEN_7E2B&DEV_0B00", &m_log));
    EXPECT_EQ(Changes(), (std::vector<std::string>{"disable 0000:02:00.0"}));
    EXPECT_EQ(m_platform.clock->waits, (std::vector<uint64_t>{5000}));
    EXPECT_FALSE(m_os->IsDisplayDriverDisabled());

    m_os->RestoreDisplayDriver(&m_log);
    EXPECT_EQ(Changes(), (std::vector<std::string>{"disable 0000:02:00.0", "enable 0000:02:00.0",
                                                   "enable 0000:02:00.0"}));
    m_platform.devices->changes.clear();
    m_os->EnableDeviceDriver(&m_log);
    EXPECT_TRUE(m_platform.devices->changes.empty()) << "nothing left to enable";
}

TEST_F(DisplayDriverControlTest, D3ColdRestoreRetriesABoundedNumberOfTimes)
{
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->ToggleDisplayDriver(&m_log);
    m_platform.d3Cold->enumerateStatus = 1;
    m_platform.clock->waits.clear();
    m_os->ToggleDisplayDriver(&m_log);
    const std::string out = m_out.str();
    EXPECT_NE(out.find("#00: Retry to restore D3 cold capability...\n"), std::string::npos);
    EXPECT_NE(out.find("#49: Retry to restore D3 cold capability...\n"), std::string::npos);
    EXPECT_EQ(out.find("#50:"), std::string::npos);
    size_t retryWaits = 0;
    for (uint64_t wait : m_platform.clock->waits)
    {
        retryWaits += wait == 100000 ? 1 : 0;
    }
    EXPECT_EQ(retryWaits, 50u);
}

TEST_F(DisplayDriverControlTest, ActiveAdapterFacts)
{
    EXPECT_FALSE(m_os->IsActiveAdapterManaged());
    try
    {
        m_os->GetActiveAdapterBus();
        ADD_FAILURE();
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ(error.what(), "Error: Display adapter was not initialized.");
    }
    // Every kind but the bridges, the GPU kinds up to 7 and kind 14 is
    // managed, the unlisted kinds 0, 1 and 15 included.
    for (uint32_t kind = 0; kind <= 16; ++kind)
    {
        m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(new CFakeAdapter(kind, 4, 7)));
        const bool exempt = (kind >= 2 && kind <= 7) || kind == 14;
        EXPECT_EQ(m_os->IsActiveAdapterManaged(), !exempt) << kind;
    }
    EXPECT_EQ(m_os->GetActiveAdapterBus(), 4);
    EXPECT_EQ(m_os->GetActiveAdapterDevice(), 7);
}
} // namespace

using testkit::ErrorOf;

namespace
{
// Parses the given arguments against a table of the options the display-driver
// control reads.
void ParseOptions(std::vector<std::string> arguments)
{
    static const OptionDescriptor kTable[] = {
        {"auto", 'a', 0, "", ""},
        {"offswdriver", 'S', 0, "", ""},
    };
    arguments.insert(arguments.begin(), "romvise");
    std::vector<char*> argv;
    for (std::string& argument : arguments)
    {
        argv.push_back(argument.data());
    }
    ICommandLine::Create(static_cast<int>(std::size(kTable)), kTable, static_cast<int>(argv.size()),
                         argv.data());
}
} // namespace

TEST_F(DisplayDriverControlTest, DeviceStatusDecidesWhetherADeviceIsDisabled)
{
    constexpr uint32_t kRunning =
        DeviceStatus::kDriverLoaded | DeviceStatus::kStarted | DeviceStatus::kDisableable;
    struct Case
    {
        const char* name;
        uint32_t statusError;
        DeviceStatus status;
        const char* logged; // the line the walk logs for the device, or null
        bool disabled;
    };
    const Case cases[] = {
        {"status unreadable",
         31,
         {kRunning, 0},
         "CM_Get_DevNode_Status(), Error code = 31\n",
         false},
        {"driver failed to start",
         0,
         {kRunning | DeviceStatus::kHasProblem, 43},
         "Disabling driver: Device Driver Status code = 43\n",
         false},
        {"problem 67 is no problem", 0, {kRunning | DeviceStatus::kHasProblem, 67}, nullptr, true},
        {"not started",
         0,
         {DeviceStatus::kDriverLoaded | DeviceStatus::kDisableable, 0},
         nullptr,
         false},
        {"cannot be disabled",
         0,
         {DeviceStatus::kDriverLoaded | DeviceStatus::kStarted, 0},
         nullptr,
         false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFakePlatform platform;
        CFakeDisplayDeviceManager::Device& device = platform.devices->AddPciDevice(
            "0000:02:00.0", 0x7E2B, 0x0B00, 0x030000, 2, 0, 0, "Korvan Dolvik B00");
        device.statusError = c.statusError;
        device.status = c.status;
        CLog log;
        std::ostringstream out;
        log.AddSink(&out, 1, 5);
        ICrossPlatform* os = GetCrossPlatform();
        os->SetAdapterCount(1);

        EXPECT_TRUE(os->ToggleDisplayDriver(&log));
        EXPECT_EQ(os->IsDisplayDriverDisabled(), c.disabled);
        EXPECT_EQ(platform.devices->changes.size(), c.disabled ? 1u : 0u);
        if (c.logged)
        {
            EXPECT_NE(out.str().find(c.logged), std::string::npos) << out.str();
        }
        EXPECT_EQ(out.str().find("Device Driver Status code") != std::string::npos,
                  c.logged && std::string(c.logged).find("Status code") != std::string::npos);
    }
}

TEST_F(DisplayDriverControlTest, ThirtyTwoBitBuildOnASixtyFourBitSystemRefusesToDisable)
{
    const std::string refusal = " The flasher cannot automatic disable the KR driver on Windows "
                                "x64,\n\tplease use the flasher 64-bit version instead.\n";
    m_platform.system->wow64 = true;
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    EXPECT_EQ(ErrorOf([&] { m_os->ToggleDisplayDriver(&m_log); }), refusal);
    EXPECT_EQ(ErrorOf([&] { m_os->DisableDeviceDriver("VEN_7E2B&DEV_0B00", &m_log); }), refusal);
    EXPECT_TRUE(m_platform.devices->changes.empty());
    EXPECT_FALSE(m_os->IsDisplayDriverDisabled());
}

TEST_F(DisplayDriverControlTest, MonitorWarningSkippedWithAutoAndNeedsAPrimaryAdapter)
{
    m_os->SetAdapterCount(2);
    m_os->SetPrimaryAdapter(nullptr);
    EXPECT_EQ(ErrorOf([&] { m_os->ToggleDisplayDriver(&m_log); }),
              "Error: Primary display adapter was not initialized.");
    EXPECT_TRUE(m_platform.devices->changes.empty());

    // With "auto" nobody is asked, and no primary adapter is needed.
    ParseOptions({"--auto"});
    testing::internal::CaptureStdout();
    EXPECT_TRUE(m_os->ToggleDisplayDriver(&m_log));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(m_platform.console->keysWithoutEcho, 0);
    EXPECT_TRUE(m_os->IsDisplayDriverDisabled());
}

TEST_F(DisplayDriverControlTest, RestoreLeavesTheDriverAloneWithOffswdriver)
{
    CRefPtr<CRecordingHook> hook(new CRecordingHook());
    m_os->SetDisplayDriverHook(CRefPtr<IDisplayDriverHook>(hook.get()));
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->ToggleDisplayDriver(&m_log);
    m_platform.devices->changes.clear();

    ParseOptions({"--offswdriver"});
    m_os->RestoreDisplayDriver(&m_log);
    EXPECT_EQ(hook->calls, (std::vector<std::string>{"load"}));
    EXPECT_TRUE(m_platform.devices->changes.empty());
    EXPECT_TRUE(m_os->IsDisplayDriverDisabled());
    EXPECT_EQ(m_out.str().find("Restore the KR driver"), std::string::npos);
    EXPECT_FALSE(m_os->GetActiveAdapter());
}

TEST_F(DisplayDriverControlTest, D3ColdRestoreStopsWhenNoGpuTakesTheSetting)
{
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->ToggleDisplayDriver(&m_log);
    for (auto& gpu : m_platform.d3Cold->gpus)
    {
        gpu.setStatus = 5;
    }
    m_platform.d3Cold->gpus[1].queryStatus = 7; // skipped without a word
    m_platform.clock->waits.clear();
    const size_t before = m_out.str().size();
    m_os->ToggleDisplayDriver(&m_log);
    const std::string out = m_out.str().substr(before);
    EXPECT_NE(out.find("Skip to Enable D3 cold capability due to with error code 0x00000005 on "
                       "GPU index 0x00.\n"
                       "KR driver doesn't support the function to set D3 cold capability.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("GPU index 0x01"), std::string::npos);
    EXPECT_EQ(out.find("Retry"), std::string::npos);
    EXPECT_EQ(std::count(m_platform.clock->waits.begin(), m_platform.clock->waits.end(), 100000u),
              0);
}

namespace
{
// A microcode loader stand-in whose clean-up, like the real one's, asks the
// operating-system layer whether it is still the registered loader.
class CLoaderProbe : public CReferenceCountImpl, public IReferenceCount
{
public:
    ROMVISE_REFCOUNT_FORWARD
    explicit CLoaderProbe(int* sawItselfRegistered) : m_sawItselfRegistered(sawItselfRegistered) {}
    ~CLoaderProbe() override
    {
        *m_sawItselfRegistered = GetCrossPlatform()->GetFlashLoader() == this ? 1 : 0;
    }

private:
    int* m_sawItselfRegistered;
};
} // namespace

TEST_F(DisplayDriverControlTest, RestoreReleasesTheLoaderWhileItIsStillRegistered)
{
    int sawItselfRegistered = -1;
    m_os->SetFlashContext(CRefPtr<IReferenceCount>(new CLoaderProbe(&sawItselfRegistered)), nullptr,
                          nullptr);
    m_os->SetActiveAdapter(CRefPtr<IAdapterContext>(m_active.get()));
    m_os->RestoreDisplayDriver(&m_log);
    EXPECT_EQ(sawItselfRegistered, 1) << "its clean-up must see it registered to close its session";
    EXPECT_EQ(m_os->GetFlashLoader(), nullptr);
}
