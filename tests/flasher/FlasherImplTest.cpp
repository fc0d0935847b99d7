// The engine object and the display driver around its work on several
// adapters: disabled once for the newer adapters, the pre-OS application
// started between them, enabled again after the last; exempt adapters and
// "offswdriver" leave it alone, and a refusal while disabling passes through.
// On a machine file with two adapters: identify, read, check an image's fit,
// erase one adapter and update a section of the other, with the display
// driver and both chips checked after each step.

#include "FakeEEPROM.h"
#include "FakeLoader.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "core/Singleton.h"
#include "flasher/ImageCompatibility.h"
#include "sim/SimDisplay.h"
#include "testkit/CapturedOutput.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

using testkit::ErrorOf;

namespace
{
size_t CountOf(const std::vector<std::string>& changes, const std::string& prefix)
{
    return static_cast<size_t>(std::count_if(changes.begin(), changes.end(),
                                             [&](const std::string& change)
                                             { return change.rfind(prefix, 0) == 0; }));
}

// The machine's bus, except that mapping an adapter's registers fails: an
// error no EEPROM driver sees, so that only the operation's own guard can
// give the display back.
class CMapFailingBus : public CReferenceCountImpl, public IPCIBus
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CMapFailingBus(CRefPtr<IPCIBus> bus) : m_bus(std::move(bus)) {}
    DisplayAdapterList& FindDevices(DisplayAdapterList& adapters,
                                    CRefPtr<IDisplayAdapterDatabase> database, bool keepUnknown,
                                    CLog* log) override
    {
        return m_bus->FindDevices(adapters, database, keepUnknown, log);
    }
    PCIDeviceAccessorList& FindPCIDevices(PCIDeviceAccessorList& accessors, uint32_t dumpLength,
                                          const PCIFilter* filter, bool print, CLog* log) override
    {
        return m_bus->FindPCIDevices(accessors, dumpLength, filter, print, log);
    }
    void MapAdapter(CRefPtr<IDisplayAdapter>) override
    {
        throw std::runtime_error("mapping failed");
    }
    void UnmapAdapter(CRefPtr<IDisplayAdapter> adapter) override { m_bus->UnmapAdapter(adapter); }
    void Reset() override { m_bus->Reset(); }

private:
    CRefPtr<IPCIBus> m_bus;
};

// An EEPROM whose write fails with an error of its own.
class CFailingWriteEEPROM : public CFakeEEPROM
{
public:
    CFailingWriteEEPROM() : CFakeEEPROM(256, 4, true) {}
    uint32_t WriteImage(IUserInterface*, uint32_t, IROMImage*, int32_t, uint32_t, bool, bool,
                        CLog&) override
    {
        throw std::runtime_error("write failed");
    }
};
} // namespace

namespace
{
using Operation = std::function<void(CFlasherMachine&, CRefPtr<IPCIBus>)>;

struct DisplayCase
{
    const char* name;
    Operation run;
    const char* error;
};

const char* const kMappingFailed = "mapping failed";

// The operations that read the adapter's EEPROM or firmware.
std::vector<DisplayCase> ReadingOperations()
{
    return {
        {"quick version",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         {
             std::ostringstream out;
             rig.flasher->PrintVersionQuick(rig.ui, bus, rig.Adapter(0), nullptr, nullptr,
                                            rig.database, out, false, &rig.log, false);
         },
         kMappingFailed},
        {"check EEPROM",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         { rig.flasher->CheckEEPROM(rig.ui, bus, rig.Adapter(0), rig.database, &rig.log); },
         kMappingFailed},
        {"display EEPROM",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         { rig.flasher->DisplayEEPROM(rig.ui, bus, rig.Adapter(0), rig.database, 16, &rig.log); },
         kMappingFailed},
        {"PCI blocks",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus) {
             rig.flasher->DisplayPCIBlocks(rig.ui, bus, rig.Adapter(0), rig.database, false,
                                           &rig.log);
         },
         kMappingFailed},
        {"save",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         {
             rig.flasher->SaveROMImage(rig.ui, (rig.folder.Path() / "saved.rom").string(), bus,
                                       rig.Adapter(0), nullptr, nullptr, rig.database, false,
                                       false, false, &rig.log);
         },
         kMappingFailed},
        {"I2C device",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         {
             uint8_t address = 0;
             uint8_t port = 0;
             rig.flasher->FindI2CDevice(rig.ui, bus, rig.Adapter(0), rig.database, 1, address,
                                        port, &rig.log);
         },
         kMappingFailed},
        {"compare",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         {
             const std::vector<uint8_t> firmware = MakeFirmware();
             rig.flasher->CompareROMImage(
                 rig.ui,
                 IROMImage::CreateFromBuffer(firmware.data(),
                                             static_cast<uint32_t>(firmware.size())),
                 bus, rig.Adapter(0), GetBoardDatabase(), rig.database, false, false, false, false,
                 false, &rig.log);
         },
         kMappingFailed},
        {"display version",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         {
             rig.flasher->DisplayVersion(rig.ui, bus, rig.Adapter(0),
                                         CreateDisplayAdapterDatabase(), GetBoardDatabase(),
                                         rig.database, false, false, &rig.log);
         },
         kMappingFailed},
        {"applied runtime patches",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         {
             rig.flasher->DisplayAppliedRuntimePatches(rig.ui, bus, rig.Adapter(0),
                                                       CreateDisplayAdapterDatabase(),
                                                       GetBoardDatabase(), rig.database, &rig.log);
         },
         kMappingFailed},
    };
}

// The operations that change the adapter's EEPROM.
std::vector<DisplayCase> WritingOperations()
{
    return {
        {"software protection",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus) {
             rig.flasher->SetSoftwareProtect(rig.ui, bus, rig.Adapter(0), rig.database, true,
                                             &rig.log);
         },
         kMappingFailed},
        {"erase",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         { rig.flasher->EraseEEPROM(rig.ui, bus, rig.Adapter(0), rig.database, true, &rig.log); },
         kMappingFailed},
        {"delete firmware",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         { rig.flasher->DeleteVbios(rig.ui, bus, rig.Adapter(0), rig.database, true, &rig.log); },
         kMappingFailed},
        {"preservation tuning",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus> bus)
         {
             std::vector<PreservationTuneRequest> requests(1);
             rig.flasher->TunePreservationData(rig.ui, nullptr, bus, rig.Adapter(0), rig.database,
                                               requests, true, &rig.log);
         },
         kMappingFailed},
        {"flash image",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus>)
         {
             // Programming runs with the driver its caller disabled.
             rig.flasher->DisableDisplayDriver(rig.Adapter(0), &rig.log, false);
             CRefPtr<CFakeEEPROM> eeprom(new CFailingWriteEEPROM);
             const std::vector<uint8_t> firmware = MakeFirmware();
             rig.flasher->FlashImage(rig.ui,
                                     IROMImage::CreateFromBuffer(
                                         firmware.data(), static_cast<uint32_t>(firmware.size())),
                                     false, false, false, rig.Adapter(0), eeprom, rig.database, 0,
                                     &rig.log, nullptr, false);
         },
         "write failed"},
        {"update section",
         [](CFlasherMachine& rig, CRefPtr<IPCIBus>)
         {
             rig.flasher->DisableDisplayDriver(rig.Adapter(0), &rig.log, false);
             const std::vector<uint8_t> firmware = MakeFirmware();
             CRefPtr<CFakeEEPROM> eeprom(new CFakeEEPROM(256, 4, true));
             rig.flasher->UpdateSection(
                 rig.ui, rig.Adapter(0), eeprom,
                 IROMImage::CreateFromBuffer(firmware.data(),
                                             static_cast<uint32_t>(firmware.size())),
                 0, -1, &rig.log);
         },
         "Cannot program a non-page boundary or invalid range for EEPROM."},
    };
}
} // namespace

TEST(FlasherDisplayDriver, EveryOperationThatDisablesTheDisplayGivesItBackOnAFailure)
{
    std::vector<DisplayCase> cases = ReadingOperations();
    for (DisplayCase& c : WritingOperations())
    {
        cases.push_back(std::move(c));
    }
    for (const DisplayCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        CRefPtr<IPCIBus> bus(new CMapFailingBus(rig.bus));
        EXPECT_EQ(ErrorOf([&] { c.run(rig, bus); }), c.error);
        EXPECT_EQ(CountOf(GetSimDisplayDevices()->Changes(), "disable"), 1u);
        EXPECT_TRUE(rig.DriverBound(0));
    }
}

TEST(FlasherDisplayDriver, IsDisabledOnceAcrossNewerAdaptersAndEnabledAfterTheLast)
{
    // An ISO (kind 6) keeps its driver; the Avrel2b (8), Cendra1 (9) and
    // Dolvik1 (12) are flashed with the driver disabled.
    CFlasherMachine rig({{0x0610, 6, MakeFirmware({.deviceId = 0x0610})},
                         {0x0800, 8, MakeFirmware()},
                         {0x0900, 9, FirmwareWithPreOSApp({.deviceId = 0x0900})},
                         {0x0C00, 12, MakeFirmware({.deviceId = 0x0C00})}});
    ICrossPlatform* os = GetCrossPlatform();
    os->SetDisplayDriverHook(CreateDisplayDriverHook(rig.flasher.get()));
    CSimDisplayDevices& displays = *GetSimDisplayDevices();
    CRefPtr<CFakeLoader> loader(new CFakeLoader);
    // The primary adapter has no monitor: the one disabling asks first.
    rig.console->keys = {'y'};
    std::ostringstream processLog;
    CScopedLogSink sink(GetLog(), &processLog, 1, 5);

    for (size_t i = 0; i < 4; ++i)
    {
        SCOPED_TRACE("adapter " + std::to_string(i));
        const bool last = i == 3;
        rig.flasher->DisableDisplayDriver(rig.Adapter(i), &rig.log, true);
        if (i == 0)
        {
            EXPECT_TRUE(displays.Changes().empty()) << "an ISO keeps its driver";
            EXPECT_FALSE(os->GetActiveAdapter());
        }
        else
        {
            EXPECT_TRUE(os->IsDisplayDriverDisabled());
            EXPECT_EQ(os->GetActiveAdapter().get(),
                      static_cast<IAdapterContext*>(rig.Adapter(i).get()));
        }
        CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(i);
        bool blank = true;
        CRefPtr<IROMImage> head = rig.flasher->ReadImageHead(rig.ui, rig.Adapter(i), rig.database,
                                                             eeprom, blank, &rig.log);
        EXPECT_FALSE(blank);
        if (i == 2)
        {
            // The Cendra1's EEPROM sits behind its microcontroller's loader.
            rig.flasher->AttachMicrocodeLoader(loader.get(), eeprom, rig.database);
        }
        rig.flasher->RestoreDisplayDriver(last);
        if (i == 2)
        {
            EXPECT_EQ(loader->GetReferenceCount(), 1) << "let go of by the engine and the context";
        }
        EXPECT_FALSE(os->GetActiveAdapter());
        EXPECT_EQ(os->IsDisplayDriverDisabled(), i != 0 && !last);
    }
    // The three newer GPUs were disabled in one go, the ISO's device with them,
    // and each came back once after the last adapter.
    const std::vector<std::string>& changes = displays.Changes();
    EXPECT_EQ(CountOf(changes, "disable"), 4u);
    EXPECT_EQ(changes[3], "disable 0000:02:00.0") << "the active adapter goes last";
    for (size_t i = 0; i < 4; ++i)
    {
        EXPECT_TRUE(rig.DriverBound(i)) << i;
    }
    EXPECT_FALSE(rig.flasher->IsDriverDisabled());
    // Between the Cendra1 and the Dolvik1 its pre-OS application was started
    // from its own firmware, and the loader let go of by every holder.
    EXPECT_EQ(loader->calls,
              (std::vector<std::string>{"close", "pre-OS on", "reset", "plain", "code @256 x64",
                                        "data @512 x32", "start @4660"}));
    EXPECT_EQ(loader->written[0].front(), 0xA0);
    EXPECT_EQ(loader->written[1].front(), 0xA0 + 0x40);
    EXPECT_EQ(loader->GetReferenceCount(), 1);
    EXPECT_EQ(os->GetFlashLoader(), nullptr);
    EXPECT_NE(processLog.str().find("Pre-OS App is loaded and started."), std::string::npos);
}

TEST(FlasherDisplayDriver, OffswdriverOnlyRecordsTheActiveAdapter)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}}, {"offswdriver"});
    rig.flasher->DisableDisplayDriver(rig.Adapter(0), &rig.log, true);
    EXPECT_EQ(GetCrossPlatform()->GetActiveAdapter().get(),
              static_cast<IAdapterContext*>(rig.Adapter(0).get()));
    EXPECT_TRUE(GetSimDisplayDevices()->Changes().empty());
    EXPECT_EQ(rig.Logged(), "");
    EXPECT_FALSE(rig.flasher->IsDriverDisabled());
}

TEST(FlasherDisplayDriver, EngineOperationsFindTheDriverDisabledAndKeepIt)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.flasher->SetModeFlags(kFlasherPackagedMode);
    rig.flasher->CheckEEPROM(rig.ui, rig.bus, rig.Adapter(0), rig.database, &rig.log);
    EXPECT_FALSE(rig.DriverBound(0)) << "disabled for the operation, kept after it";
    EXPECT_FALSE(rig.flasher->IsDriverDisabled()) << "operations do not remember it";
    EXPECT_NE(rig.Logged().find("The Romvise succeed to disable the KR Driver automatically."),
              std::string::npos);
    rig.logText.str("");
    rig.flasher->CheckEEPROM(rig.ui, rig.bus, rig.Adapter(0), rig.database, &rig.log);
    EXPECT_NE(rig.Logged().find("KR driver may not be loaded or already be in disabled state."),
              std::string::npos);
    EXPECT_EQ(CountOf(GetSimDisplayDevices()->Changes(), "disable"), 1u);
    // Never verbose in the packaged mode: the blank-display warning was shown.
    EXPECT_FALSE(rig.flasher->IsVerbose());
    rig.flasher->RestoreDisplayDriver(false);
    EXPECT_TRUE(rig.DriverBound(0)) << "never remembered, so restored as the last";
}

TEST(FlasherDisplayDriver, ARefusalWhileDisablingPassesThroughWithTheFlagSet)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}, {0x0C00, 12, MakeFirmware()}});
    // The primary adapter has no monitor: disabling asks first, and end of
    // input refuses.
    GetCrossPlatform()->SetPrimaryAdapter(CRefPtr<IAdapterContext>(rig.Adapter(0).get()));
    EXPECT_EQ(ErrorOf([&] { rig.flasher->DisableDisplayDriver(rig.Adapter(1), &rig.log, true); }),
              "User aborted");
    EXPECT_TRUE(rig.flasher->IsDriverDisabled());
    EXPECT_TRUE(rig.DriverBound(0));
    EXPECT_TRUE(rig.DriverBound(1));
}

TEST(FlasherDisplayDriver, AFailingOperationGivesTheDisplayBack)
{
    // An erased chip of an unknown part: identification fails inside an
    // operation that had disabled the driver.
    CFlasherMachine rig({{0x0800, 8, {}}});
    rig.Chip(0).SetIdAnswer(0x9F, {0x12, 0x34, 0x56});
    rig.Chip(0).SetIdAnswer(0x90, {0x12});
    rig.Chip(0).SetIdAnswer(0x15, {0x12});
    rig.Chip(0).SetIdAnswer(0xAB, {0x12});
    EXPECT_EQ(
        ErrorOf(
            [&]
            { rig.flasher->CheckEEPROM(rig.ui, rig.bus, rig.Adapter(0), rig.database, &rig.log); }),
        "Supported EEPROM not found");
    EXPECT_TRUE(rig.DriverBound(0));
    EXPECT_FALSE(GetCrossPlatform()->IsDisplayDriverDisabled());
    EXPECT_NE(rig.Logged().find("EEPROM ID"), std::string::npos) << "the description is logged";
}

TEST(FlasherDisplayDriver, AnErrorOfTheImageModelGivesTheDisplayBackToo)
{
    // The chip holds an Open Firmware image, which the image model refuses
    // while the dump reads it.
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kOpenFirmware, 0x10000);
    CFlasherMachine rig({{0x0800, 8, builder.Build()}});
    EXPECT_EQ(ErrorOf(
                  [&] {
                      rig.flasher->DisplayEEPROM(rig.ui, rig.bus, rig.Adapter(0), rig.database, 16,
                                                 &rig.log);
                  }),
              "Unsupported code type: 0x01. FCode support deprecated.");
    EXPECT_TRUE(rig.DriverBound(0));
    EXPECT_NE(rig.Logged().find("\nReading EEPROM failed.\n"), std::string::npos);
}

TEST(FlasherObject, TakesItsSettingsFromTheCommandLineOnce)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}}, {"noretries"});
    auto* engine = dynamic_cast<CFlasherImpl*>(GetFlasher());
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->GetRetryCount(), 1);
    EXPECT_EQ(engine->GetModeFlags(), 1);
    SetCommandLine({});
    EXPECT_EQ(GetFlasher(), static_cast<IFlasher*>(engine)) << "options are read once";
    ReleaseSingletons();
    SetCommandLine({});
    EXPECT_EQ(dynamic_cast<CFlasherImpl*>(GetFlasher())->GetRetryCount(), 3);
    ReleaseSingletons();
    EXPECT_EQ(ErrorOf([] { GetFlasher(); }), "Error: No instance with CommandLine interface");
}

TEST(FlasherObject, WarnsOfABlankDisplayUnlessVerbose)
{
    for (int32_t mode : {kFlasherPackagedMode, kFlasherEngineeringMode})
    {
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        rig.flasher->SetModeFlags(mode);
        std::string shown;
        uint64_t waited = 0;
        {
            testkit::CCapturedOutput console;
            const uint64_t before = rig.scope->Machine().Clock().NowMicroseconds();
            rig.flasher->DisableDisplayDriver(rig.Adapter(0), &rig.log, false);
            waited = rig.scope->Machine().Clock().NowMicroseconds() - before;
            shown = console.Text();
        }
        const bool verbose = mode == kFlasherEngineeringMode;
        EXPECT_EQ(rig.flasher->IsVerbose(), verbose);
        EXPECT_EQ(shown.find("*BLANK*") != std::string::npos, !verbose) << mode;
        EXPECT_EQ(waited >= 6000000, !verbose) << "three seconds shown, three more waited";
        EXPECT_FALSE(rig.DriverBound(0));
    }
}

TEST(FlasherDisplayDriver, AFailedReadOfTheAdapterImagesGivesTheDisplayBack)
{
    // The part is reached through the microcontroller, which never comes out
    // of reset: opening the adapter for Varnex work fails after the driver
    // was disabled.
    CFlasherMachine rig({{0x0900, 9, MakeFirmware({.deviceId = 0x0900})}});
    CRefPtr<CFlasherImpl> engine(new CFlasherImpl(EngineSettings{}));
    CRefPtr<IDisplayAdapter> adapter = rig.Adapter(0);
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> image;
    CRefPtr<CVarnexImage> store;
    const std::string error = ErrorOf(
        [&] { engine->GetAdapterImages(nullptr, adapter, nullptr, eeprom, image, store, false); });
    EXPECT_EQ(error, "Kestrix engine reset did not complete.  kestrix uCode load failed.");
    EXPECT_TRUE(rig.DriverBound(0)) << error;
}

TEST(FlasherTwoAdapterRun, IdentifiesReadsChecksErasesAndUpdates)
{
    const std::vector<uint8_t> avrelFirmware = MakeFirmware();
    const std::vector<uint8_t> dolvikFirmware =
        MakeFirmware({.deviceId = 0x0C00, .boardId = 0x0601});
    CFlasherMachine rig({{0x0800, 8, avrelFirmware}, {0x0C00, 12, dolvikFirmware}}, {"auto"});
    GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(rig.flasher.get()));
    rig.flasher->SetModeFlags(kFlasherEngineeringMode);
    const std::vector<uint8_t> avrelChip = rig.ChipBytes(0);
    const std::vector<uint8_t> dolvikChip = rig.ChipBytes(1);
    ASSERT_TRUE(std::equal(avrelFirmware.begin(), avrelFirmware.end(), avrelChip.begin()));
    auto bothDisabled = [&] { return !rig.DriverBound(0) && !rig.DriverBound(1); };

    // Identify: the drivers go off for the work and stay off.
    rig.flasher->CheckEEPROM(rig.ui, rig.bus, rig.Adapter(0), rig.database, &rig.log);
    EXPECT_TRUE(bothDisabled());
    EXPECT_NE(rig.Shown().find("EEPROM ID (EF,3013) : "), std::string::npos);
    EXPECT_EQ(rig.ChipBytes(0), avrelChip);
    EXPECT_EQ(rig.ChipBytes(1), dolvikChip);

    // Read the second adapter's firmware.
    CRefPtr<IROMImage> dolvik = rig.flasher->ReadAdapterImage(rig.ui, rig.Adapter(1), rig.database,
                                                              rig.OpenEEPROM(1), &rig.log, true);
    dolvik->SetOffsetMode(false);
    EXPECT_TRUE(std::equal(dolvikChip.begin(), dolvikChip.end(), dolvik->GetBuffer()));
    EXPECT_TRUE(bothDisabled());

    // A newer image fits the first adapter; the second adapter's does not.
    bool blank = true;
    CRefPtr<IROMImage> head = rig.flasher->ReadImageHead(rig.ui, rig.Adapter(0), rig.database,
                                                         rig.OpenEEPROM(0), blank, &rig.log);
    EXPECT_FALSE(blank);
    CRefPtr<IROMImage> newer = FirmwareBuilder({.version = 0x86041C00}).BuildImage();
    EXPECT_EQ(CheckImageCompatibility(rig.Adapter(0), newer, head, nullptr, {}, &rig.log), 0u);
    EXPECT_EQ(CheckImageCompatibility(rig.Adapter(0), dolvik, head, nullptr, {}, &rig.log) &
                  (kMismatchDeviceId | kMismatchBoardId),
              uint32_t{kMismatchDeviceId | kMismatchBoardId});
    CRefPtr<IEEPROM> identified = rig.OpenEEPROM(0);
    rig.flasher->IdentifyEEPROM(rig.ui, identified, rig.database, &rig.log, false);
    EXPECT_TRUE(rig.flasher->CheckImageFitsEEPROM(newer, identified, &rig.log));
    EXPECT_TRUE(bothDisabled());

    // Erase the second adapter.
    rig.console->keys = {'y'};
    rig.flasher->EraseEEPROM(rig.ui, rig.bus, rig.Adapter(1), rig.database, false, &rig.log);
    const std::vector<uint8_t> erased = rig.ChipBytes(1);
    EXPECT_TRUE(std::all_of(erased.begin(), erased.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(rig.ChipBytes(0), avrelChip);
    rig.flasher->ReadImageHead(rig.ui, rig.Adapter(1), rig.database, rig.OpenEEPROM(1), blank,
                               &rig.log);
    EXPECT_TRUE(blank);
    EXPECT_TRUE(bothDisabled());

    // Update three bytes of the first adapter's firmware.
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    CRefPtr<IROMImage> image = rig.flasher->ReadAdapterImage(rig.ui, rig.Adapter(0), rig.database,
                                                             eeprom, &rig.log, false);
    image->SetOffsetMode(false);
    for (int32_t i = 0; i < 3; ++i)
    {
        image->SetByte(0x8005 + i, static_cast<uint8_t>(0x5A + i));
    }
    rig.Chip(0).ClearHistory();
    rig.flasher->UpdateSection(rig.ui, rig.Adapter(0), eeprom, image, 0x8005, 3, &rig.log);
    EXPECT_EQ(rig.Chip(0).Erases(), (std::vector<SimFlashOperation>{{0x8000, 0x1000}}));
    std::vector<uint8_t> expected = avrelChip;
    expected[0x8005] = 0x5A;
    expected[0x8006] = 0x5B;
    expected[0x8007] = 0x5C;
    EXPECT_EQ(rig.ChipBytes(0), expected);
    EXPECT_EQ(rig.ChipBytes(1), erased);
    EXPECT_TRUE(bothDisabled());

    // The run gives both displays back after its last adapter.
    rig.flasher->RestoreDisplayDriver(true);
    EXPECT_TRUE(rig.DriverBound(0));
    EXPECT_TRUE(rig.DriverBound(1));
    EXPECT_FALSE(GetCrossPlatform()->IsDisplayDriverDisabled());
}
