#pragma once
// What each device kind means to the program, one row per kind. Every rule
// that depends on the device kind reads its column here instead of comparing
// the kind with numbers. The table lives in core/ because the display-driver
// control of the operating-system layer needs it too; hw/catalogue re-exports
// it beside the device kinds themselves.

#include <array>
#include <cstddef>
#include <cstdint>

struct DeviceKindTraits
{
    // The program drives the EEPROM itself (the bridges, the legacy and ISO
    // GPUs and the Avrel generation); the later generations reach it only
    // through microcode on their microcontroller.
    bool directEeprom;
    // The image's certificate is checked in software before a write.
    bool softwareGate;
    // The display driver is stopped around a flash; every kind but the
    // bridges, the GPU kinds up to 7 and kind 14.
    bool driverManaged;
    // The pre-OS application is loaded on exit; every kind but those driven
    // directly.
    bool preOsApplication;
    // The EEPROM preservation tuning applies.
    bool preservationTuning;
    // The ISO device class sets up the EEPROM timer.
    bool isoTimerSetup;
    // The GPU has the EEPROM window-offset register; every kind but the
    // bridges, the GPU kinds up to 7 and kind 14.
    bool windowOffsetRegister;
    // Decode registers may map part of the register space onto the EEPROM;
    // they are saved and cleared around EEPROM access.
    bool romWindows;
    // The Kestrix loader resets the microcontroller through the
    // engine-enable register (the older microcontrollers).
    bool olderPmuReset;
    // The kind is one of the two PCI Express bridges (ZX22, PLX switch): no
    // microcontroller, never the primary display adapter.
    bool bridge;
    // The kind is a GPU: every kind above the bridges. A GPU image fits it,
    // and the sample tools make GPUs of these kinds.
    bool gpu;
    // The GPU may present its other device ID (primary versus secondary); every
    // kind but the bridges, the GPU kinds up to 8 and kind 14.
    bool switchesDeviceId;
    // The simulated machine models a GPU of this kind.
    bool simulatedGpu;
    // The simulated GPU's microcontroller mailbox sits at the newer registers.
    bool simulatedNewMailbox;
};

// clang-format off
inline constexpr std::array<DeviceKindTraits, 16> kDeviceKindTraits{{
    // direct  gate    managed   preOS   tuning   isoTimer   winOff   romWin   oldPmu   bridge  gpu     devId   simGpu   simMbox
    {  false,  false,  true,     true,   false,   true,      true,    false,   false,   false,  false,  true,   false,   false }, //  0 unknown
    {  false,  false,  true,     true,   false,   true,      true,    false,   false,   false,  false,  true,   false,   false }, //  1
    {  true,   true,   false,    false,  false,   true,      false,   false,   true,    true,   false,  false,  false,   false }, //  2 ZX22 bridge
    {  true,   true,   false,    false,  false,   true,      false,   false,   true,    true,   false,  false,  false,   false }, //  3 PLX8747 bridge
    {  true,   true,   false,    false,  false,   true,      false,   false,   true,    false,  true,   false,  false,   false }, //  4
    {  true,   true,   false,    false,  false,   true,      false,   false,   true,    false,  true,   false,  true,    false }, //  5 legacy GPU
    {  true,   true,   false,    false,  false,   true,      false,   false,   true,    false,  true,   false,  true,    false }, //  6 ISO
    {  true,   true,   false,    false,  false,   true,      false,   false,   true,    false,  true,   false,  true,    false }, //  7 Avrel2
    {  true,   true,   true,     false,  false,   true,      true,    true,    true,    false,  true,   false,  true,    false }, //  8 Avrel2b
    {  false,  true,   true,     true,   false,   false,     true,    true,    true,    false,  true,   true,   true,    false }, //  9 Cendra1
    {  false,  false,  true,     true,   false,   false,     true,    true,    true,    false,  true,   true,   true,    false }, // 10 Cendra2
    {  false,  false,  true,     true,   true,    false,     true,    true,    true,    false,  true,   true,   true,    true  }, // 11 Dolvik
    {  false,  false,  true,     true,   true,    false,     true,    true,    false,   false,  true,   true,   true,    true  }, // 12 Dolvik1
    {  false,  false,  true,     true,   true,    false,     true,    true,    false,   false,  true,   true,   true,    true  }, // 13 Estrel
    {  true,   true,   false,    false,  false,   false,     false,   true,    true,    false,  true,   false,  false,   true  }, // 14
    {  false,  false,  true,     true,   false,   false,     true,    true,    false,   false,  true,   true,   false,   true  }, // 15
}};
// clang-format on

// The row of a device kind; kinds beyond the table (none in the catalogue)
// take the last row.
constexpr const DeviceKindTraits& TraitsOfDeviceKind(int64_t kind)
{
    return kDeviceKindTraits[kind >= 0 && kind < static_cast<int64_t>(kDeviceKindTraits.size())
                                 ? static_cast<std::size_t>(kind)
                                 : kDeviceKindTraits.size() - 1];
}
