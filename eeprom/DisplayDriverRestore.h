#pragma once
// The EEPROM drivers give the machine its display back before they raise an
// error, so that a failed update never leaves the screen dark. The
// operating-system layer does the restoring; until it offers that, the
// application (or a test) installs the routine here, and with none installed
// the call does nothing.

#include "core/Log.h"

#include <functional>

using DisplayDriverRestorer = std::function<void(CLog*)>;

// Installs the routine; an empty one removes it. Returns the previous one.
DisplayDriverRestorer SetDisplayDriverRestorer(DisplayDriverRestorer restorer);

// Called by the drivers just before they throw. Never throws.
void RestoreDisplayDriverBeforeError(CLog& log);

// Restores the display driver and throws the error.
template <class Error> [[noreturn]] void ThrowWithDisplayRestored(CLog& log, const Error& error)
{
    RestoreDisplayDriverBeforeError(log);
    throw error;
}
