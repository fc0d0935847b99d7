#pragma once
// The operating-system layer: the program's one doorway to the operating
// system for waits and timeouts, console keys, tones, keyboard lights, the
// power check, reboot, system facts and the maker's display devices. One object
// per process, created by GetCrossPlatform over the installed platform services.

#include "core/AdapterContext.h"
#include "core/DisplayDevices.h"
#include "core/DisplayDriverHook.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "core/platform/IConsoleInput.h"

#include <cstdint>
#include <string>
#include <vector>

struct PlatformServices;

class ICrossPlatform : public IReferenceCount
{
public:
    // Waits at least this long.
    virtual void DelayMicroseconds(uint32_t microseconds) = 0;
    // The system's text for an error code; empty for 0 and unknown codes.
    virtual std::string GetSystemErrorText(uint32_t code) = 0;
    // Arms the object's one timeout, replacing any earlier one.
    virtual void StartTimeout(uint32_t microseconds) = 0;
    // Microseconds left on the timeout; 0 once it has expired (which disarms
    // it) or when none is armed.
    virtual uint32_t GetTimeoutRemaining() = 0;
    // One key without echo; for an extended key (first code 0) the second code.
    // kConsoleEndOfInput when the console has no more input.
    virtual int GetKey() = 0;
    // Plays a sine tone of the frequency for the duration and returns after it.
    virtual void Beep(int32_t frequency, uint32_t durationMs) = 0;
    // The keyboard lights are left alone on this platform.
    virtual void SetKeyboardLights(uint8_t light0, uint8_t light1, uint8_t light2) = 0;
    virtual bool GetKeyboardLight(int32_t index) = 0;
    // Restarts the machine; std::runtime_error when the system refuses.
    virtual void Reboot() = 0;
    // On AC power, or on a battery charged above 35 percent.
    virtual bool IsPowerSufficient() = 0;
    // Always 0.
    virtual int32_t GetReservedValue() = 0;
    // The maker's display devices the operating system lists. The log may be null.
    virtual std::vector<DisplayDeviceRecord> GetDisplayDevices(CLog* log) = 0;
    // A 32-bit process on a 64-bit system.
    virtual bool IsWow64() = 0;
    // The description of the first device with "VEN_vvvv&DEV_dddd" in its IDs;
    // empty when none.
    virtual std::string GetDeviceDescription(uint16_t deviceId, uint16_t vendorId, CLog* log) = 0;
    // The current directory; empty when it cannot be read.
    virtual std::string GetWorkingDirectory() = 0;
    // The folder for state that outlives a run (see ISystemControl); empty
    // when there is none.
    virtual std::string GetStateDirectory() = 0;
    // One key, echoed; kConsoleEndOfInput at end of input.
    virtual int GetKeyWithEcho() = 0;
    // One typed line without its line end; false at end of input.
    virtual bool ReadLine(std::string& line) = 0;
    // One key (echoed when asked) that answers a question: the key alone
    // decides, but a person types it and Enter, and `yes` writes "y\n". So the
    // next read of any kind through this layer drops one line end ("\n",
    // "\r\n" or "\r") that directly follows the answer. It is dropped when that
    // read comes, never looked for earlier: a prompt never waits for a line
    // end, and a line end typed only when the next question shows does not
    // answer it.
    // An answer that is itself a line end leaves nothing to drop.
    //
    // The questions answered this way (every other key read, the numbered
    // menus, the usage screen's pages and "Press any key", takes the key as
    // typed; the Kestrix console reads the console input itself):
    //   - "Press 'y' to confirm ('s' to skip, 'a' to abort)" before a packaged
    //     update or restore and before an engineering flash, and its one-adapter
    //     and UEFI driver forms;
    //   - "Please press 'y' to continue" before the display driver goes while
    //     the primary adapter drives no monitor;
    //   - "Please press 'y' to confirm override of PCI Subsystem ID's";
    //   - "Press 'y' to confirm (any other key to abort)" before a Varnex write
    //     (the Varnex backup, the store and repair commands, part options);
    //   - "PRESS 'y' TO CONTINUE OR ANY OTHER KEY TO APPLY NEW OBD";
    //   - "Press 'y' to continue" before an MCU update;
    //   - IUserInterface::Confirm's key question (write protection, tuning).
    // The typed "YES" questions read a whole line with ReadLine, which takes
    // its own line end.
    virtual int GetAnswerKey(bool echo) = 0;
    // A person is at the console (its input and standard output are both
    // terminals): only then does a long text stop for a key every page.
    virtual bool IsConsoleInteractive() = 0;

    // Display-driver control. The adapters are those of the bus scan: the
    // active one is being worked on, the primary one drives the screen.
    virtual void SetActiveAdapter(CRefPtr<IAdapterContext> adapter) = 0;
    virtual CRefPtr<IAdapterContext> GetActiveAdapter() = 0;
    virtual void SetPrimaryAdapter(CRefPtr<IAdapterContext> adapter) = 0;
    virtual CRefPtr<IAdapterContext> GetPrimaryAdapter() = 0;
    virtual void SetAdapterCount(int32_t count) = 0;
    // The active adapter's display driver is one this layer controls (device
    // kinds 8 to 13).
    virtual bool IsActiveAdapterManaged() = 0;
    // std::runtime_error "Error: Display adapter was not initialized." without
    // an active adapter.
    virtual int32_t GetActiveAdapterBus() = 0;
    virtual int32_t GetActiveAdapterDevice() = 0;
    // The flash context of the adapter being flashed: its microcode loader, its
    // EEPROM and the EEPROM part catalogue, held as opaque references of the
    // EEPROM layer and handed back to the flashing engine on restore.
    virtual void SetFlashContext(CRefPtr<IReferenceCount> loader, CRefPtr<IReferenceCount> eeprom,
                                 CRefPtr<IReferenceCount> eepromDatabase) = 0;
    // Borrowed; null when none is held.
    virtual IReferenceCount* GetFlashLoader() = 0;
    virtual CRefPtr<IReferenceCount> GetFlashEEPROM() = 0;
    virtual CRefPtr<IReferenceCount> GetFlashEEPROMDatabase() = 0;
    virtual void SetDisplayDriverHook(CRefPtr<IDisplayDriverHook> hook) = 0;
    virtual bool IsDisplayDriverDisabled() = 0;
    // Disables the maker's display devices (the active adapter's last), or
    // enables again those it disabled. False only when the device list cannot
    // be made.
    virtual bool ToggleDisplayDriver(CLog* log) = 0;
    // Undoes what the run did to the display driver. Never throws: a step that
    // fails is logged and the steps after it still run.
    virtual void RestoreDisplayDriver(CLog* log) = 0;
    // Disables the display devices whose compatible IDs contain the text.
    virtual bool DisableDeviceDriver(const std::string& idText, CLog* log) = 0;
    // Enables again what DisableDeviceDriver disabled.
    virtual void EnableDeviceDriver(CLog* log) = 0;

    // The text callers print when IsPowerSufficient says no.
    static std::string GetLowPowerMessage();
};

// The process-wide layer, created on first call over GetPlatformServices(). The
// pointer is borrowed: the holder keeps the reference.
ICrossPlatform* GetCrossPlatform();

// A new layer over the given services, with no reference taken.
ICrossPlatform* CreateCrossPlatform(const PlatformServices& services);
