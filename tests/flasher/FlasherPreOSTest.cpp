// Starting the pre-OS application of an adapter's firmware through the
// loader the engine shares with the operating-system layer's flash context.

#include "FakeLoader.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "core/CrossPlatform.h"

#include <gtest/gtest.h>

namespace
{
const std::vector<std::string> kStarted{"close",         "pre-OS on",     "reset",      "plain",
                                        "code @256 x64", "data @512 x32", "start @4660"};
const std::vector<std::string> kSkipped{"pre-OS off"};

struct PreOSCase
{
    const char* name;
    uint16_t deviceId;
    uint32_t deviceKind;
    PreOSAppLayout app;
    uint32_t enableRegister; // 0x1598
    uint32_t engineType;
    bool started;
    std::vector<std::string> calls;
};

const PreOSCase kPreOSCases[] = {
    {"a kind-8 GPU never", 0x0800, 8, {.deviceId = 0x0800}, 0x1000, 0, false, {}},
    {"kind 9 without the register test", 0x0900, 9, {}, 0, 0, true, kStarted},
    {"kind 10 enabled by the firmware",
     0x0A00,
     10,
     {.deviceId = 0x0A00},
     0x1000,
     0,
     true,
     kStarted},
    {"kind 10 not enabled", 0x0A00, 10, {.deviceId = 0x0A00}, 0x2000, 0, false, kSkipped},
    {"attached to running microcode", 0x0900, 9, {}, 0, 3, false, kSkipped},
    {"second layout",
     0x0C00,
     12,
     {.deviceId = 0x0C00, .secondLayout = true},
     0x1000,
     0,
     true,
     kStarted},
    {"secure code",
     0x0900,
     9,
     {.secureCodeSize = 0x20},
     0,
     0,
     true,
     {"close", "pre-OS on", "reset", "secure 128+64", "code @256 x64", "data @512 x32",
      "start @4660"}},
    // The descriptor claims more code than the firmware holds: the running
    // microcode is left alone.
    {"code past the firmware", 0x0900, 9, {.codeSize = 0x100000}, 0, 0, false, kSkipped},
};
} // namespace

TEST(FlasherPreOS, StartsTheFirmwaresApplicationOnlyWhereItBelongs)
{
    for (const PreOSCase& c : kPreOSCases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{c.deviceId, c.deviceKind, FirmwareWithPreOSApp(c.app)}});
        rig.bus->MapAdapter(rig.Adapter(0));
        rig.Gpu(0).SetRegister(0x1598, c.enableRegister);
        CRefPtr<CFakeLoader> loader(new CFakeLoader(c.engineType));
        CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
        rig.flasher->AttachMicrocodeLoader(loader.get(), eeprom, rig.database);
        EXPECT_EQ(rig.flasher->LoadPreOSApp(rig.ui, rig.Adapter(0), eeprom, rig.database, &rig.log),
                  c.started);
        EXPECT_EQ(loader->calls, c.calls);
        if (c.started)
        {
            ASSERT_EQ(loader->written.size(), 2u);
            EXPECT_EQ(loader->written[0][0], 0xA0);
            EXPECT_EQ(loader->written[1][0], 0xE0);
        }
        if (!c.calls.empty() && !c.started)
        {
            EXPECT_NE(rig.Logged().find("Flasher skip to load Pre-OS service in VBIOS on exit."),
                      std::string::npos);
        }
    }
}

TEST(FlasherPreOS, NeedsTheFlashContextsOwnLoader)
{
    CFlasherMachine rig({{0x0900, 9, FirmwareWithPreOSApp({})}});
    CRefPtr<CFakeLoader> loader(new CFakeLoader);
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    EXPECT_FALSE(rig.flasher->LoadPreOSApp(rig.ui, rig.Adapter(0), eeprom, rig.database, &rig.log))
        << "no loader at all";
    rig.flasher->AttachMicrocodeLoader(loader.get(), eeprom, rig.database);
    EXPECT_FALSE(rig.flasher->LoadPreOSApp(rig.ui, rig.Adapter(0), nullptr, rig.database, &rig.log))
        << "the context's EEPROM was cleared";
    // The layer let go of the context: the engine's reference is not enough.
    GetCrossPlatform()->SetFlashContext(nullptr, nullptr, nullptr);
    EXPECT_FALSE(rig.flasher->LoadPreOSApp(rig.ui, rig.Adapter(0), eeprom, rig.database, &rig.log));
    EXPECT_TRUE(loader->calls.empty());
    EXPECT_EQ(rig.Logged(), "");
}

TEST(FlasherPreOS, ALoaderLivesWhileAnyHolderKeepsIt)
{
    CFlasherMachine rig({{0x0900, 9, FirmwareWithPreOSApp({})}});
    bool firstGone = false;
    bool secondGone = false;
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    rig.flasher->AttachMicrocodeLoader(new CFakeLoader(0, &firstGone), eeprom, rig.database);
    EXPECT_FALSE(firstGone);
    // A new adapter's loader replaces it in the engine and in the context.
    CRefPtr<CFakeLoader> second(new CFakeLoader(0, &secondGone));
    rig.flasher->AttachMicrocodeLoader(second.get(), eeprom, rig.database);
    EXPECT_TRUE(firstGone);
    EXPECT_EQ(second->GetReferenceCount(), 3) << "the test, the engine and the context";
    GetCrossPlatform()->SetFlashContext(nullptr, nullptr, nullptr);
    rig.flasher->ReleaseMicrocodeLoader();
    EXPECT_FALSE(secondGone);
    second = nullptr;
    EXPECT_TRUE(secondGone);
}
