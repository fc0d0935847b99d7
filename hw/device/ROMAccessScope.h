#pragma once
// Enables a device's EEPROM access for the life of the scope. The restore runs
// however the scope ends, never throws, and reports a failure in the log.

#include "hw/device/IDevice.h"

class CROMAccessScope
{
public:
    explicit CROMAccessScope(IDevice& device);
    ~CROMAccessScope();
    CROMAccessScope(const CROMAccessScope&) = delete;
    CROMAccessScope& operator=(const CROMAccessScope&) = delete;

private:
    IDevice& m_device;
};

// Restores the device's EEPROM access; an error is logged at level 4, not thrown.
void RestoreROMAccessQuietly(IDevice& device) noexcept;
