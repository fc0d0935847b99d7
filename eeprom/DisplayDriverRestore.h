#pragma once
// The EEPROM drivers give the machine its display back before they raise an
// error, so that a failed update never leaves the screen dark: they ask the
// operating-system layer to undo what the run did to the display driver. With
// nothing disabled that restore does nothing.

#include "core/Log.h"

// Called by the drivers just before they throw. Never throws: the error about
// to be raised is the one the user must see.
void RestoreDisplayDriverBeforeError(CLog& log);

// Restores the display driver and throws the error.
template <class Error> [[noreturn]] void ThrowWithDisplayRestored(CLog& log, const Error& error)
{
    RestoreDisplayDriverBeforeError(log);
    throw error;
}
