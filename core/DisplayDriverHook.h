#pragma once
// The one call from the operating-system layer up into the flashing engine:
// when the display driver is restored, the engine starts the pre-OS
// application of the adapter's firmware and forgets that it disabled the
// driver. The application registers the engine's hook with
// ICrossPlatform::SetDisplayDriverHook; without one these steps are skipped.

#include "core/AdapterContext.h"
#include "core/Log.h"
#include "core/RefCount.h"

class IDisplayDriverHook : public IReferenceCount
{
public:
    // The flash context's EEPROM and part catalogue are handed back as the
    // opaque references the engine stored with SetFlashContext.
    virtual void LoadPreOSApp(CRefPtr<IAdapterContext> adapter, CRefPtr<IReferenceCount> eeprom,
                              CRefPtr<IReferenceCount> eepromDatabase, CLog* log) = 0;
    // The next disabling of the run disables the driver again when needed.
    virtual void ResetDriverState() = 0;

protected:
    ~IDisplayDriverHook() = default;
};
