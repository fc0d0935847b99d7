#pragma once
// What the operating-system layer needs to know of a display adapter: its
// device kind, where it sits on the PCI bus, and whether a display is attached
// to it. The hardware layer's adapter object provides these; the
// operating-system layer holds adapters only through this interface.

#include "core/RefCount.h"

#include <cstdint>

class IAdapterContext : public IReferenceCount
{
public:
    // The device kind of the adapter's catalogue entry.
    virtual uint32_t GetDeviceKind() = 0;
    virtual uint8_t GetBusNumber() = 0;
    virtual uint8_t GetDeviceNumber() = 0;
    // Maps the adapter's registers and reports whether a display answers on
    // its I2C ports.
    virtual bool IsDisplayAttached() = 0;

protected:
    ~IAdapterContext() = default;
};
