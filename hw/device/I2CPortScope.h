#pragma once
// Holds one I2C port of a device for the life of the scope: acquires it and,
// when that succeeded, puts it under software control; at the end gives
// control back and releases it however the scope ends. Errors while giving
// the port back are logged, never thrown.

#include "hw/device/II2CMaster.h"

#include <cstdint>

class CI2CPortScope
{
public:
    CI2CPortScope(II2CMaster& master, uint8_t port);
    ~CI2CPortScope();
    CI2CPortScope(const CI2CPortScope&) = delete;
    CI2CPortScope& operator=(const CI2CPortScope&) = delete;

    // False when the port is taken by another user of the device (or is not
    // one of its ports); the scope then does nothing at its end.
    bool IsHeld() const { return m_held; }

private:
    II2CMaster& m_master;
    uint8_t m_port;
    bool m_held = false;
};
