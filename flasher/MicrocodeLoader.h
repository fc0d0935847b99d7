#pragma once
// What the flashing engine asks of the microcode loader of an adapter whose
// EEPROM is reached through the Kestrix microcontroller: attaching it to the
// EEPROM, and the steps that start the firmware's pre-OS application again.
//
// The engine, the EEPROM and the operating-system layer's flash context share
// the loader by reference; the last one to let go destroys it. Until the
// microcode loader of the EEPROM layer is installed through
// SetMicrocodeLoaderFactory, secure EEPROMs get no loader.

#include "core/Log.h"
#include "core/RefCount.h"
#include "core/UserInterface.h"
#include "eeprom/IEEPROM.h"
#include "eeprom/IEEPROMDatabase.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/adapter/IPCIBus.h"
#include "hw/catalogue/BoardCatalogue.h"

#include <cstdint>
#include <functional>
#include <span>

// The engine type of a loader attached to microcode that is already running
// with the PMU engine: such a loader must not start the pre-OS application.
constexpr uint32_t kAttachedPmuEngine = 3;

enum class EMicrocodeMemory
{
    Code,
    Data,
};

class IMicrocodeLoader : public IReferenceCount
{
public:
    virtual uint32_t GetEngineType() = 0;
    // Set while the pre-OS application is loaded: the loader then sends no
    // closing command when it is destroyed.
    virtual void SetPreOSLoaded(bool loaded) = 0;
    // Ends the session of the microcode now running.
    virtual void Close() = 0;
    virtual void ResetEngine(CRefPtr<IDisplayAdapter> adapter) = 0;
    // Secure loading of the code range [base, base + size), or plain loading.
    virtual void SetSecureLoading(bool secure, uint32_t secureBase, uint32_t size) = 0;
    virtual void WriteMemory(CRefPtr<IDisplayAdapter> adapter, EMicrocodeMemory memory,
                             uint32_t destination, std::span<const uint8_t> bytes) = 0;
    virtual void StartEngine(CRefPtr<IDisplayAdapter> adapter, uint32_t bootVector) = 0;
    // The object the operating-system layer's flash context holds for this
    // loader: the one whose registration the loader beneath checks before it
    // closes the microcode's session.
    virtual IReferenceCount* GetRegistration() { return this; }

protected:
    ~IMicrocodeLoader() = default;
};

// What a new loader is made for.
struct MicrocodeLoaderRequest
{
    CRefPtr<IUserInterface> ui;
    CRefPtr<IPCIBus> bus;
    CRefPtr<IDisplayAdapter> adapter;
    CRefPtr<IEEPROMDatabase> eepromDatabase;
    // The EEPROM the loader serves; the factory attaches the loader to it.
    CRefPtr<IEEPROM> eeprom;
    bool wiuConsole = false;
    bool autoConfirm = false;
    bool detailed = false;
    CLog* log = nullptr;
    // The engine the microcode starts (0: the PMU) and the board catalogue
    // it reads.
    uint32_t engineType = 0;
    CRefPtr<IBoardDatabase> boards;
};

// Makes a loader with its microcode loaded and attaches it to the request's
// EEPROM; a load failure throws.
using MicrocodeLoaderFactory =
    std::function<CRefPtr<IMicrocodeLoader>(const MicrocodeLoaderRequest& request)>;
