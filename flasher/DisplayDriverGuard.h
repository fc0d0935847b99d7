#pragma once
// The one way the engine and its programs give the machine its display back:
// a scope guard held for the whole body of every operation that disables the
// display driver, so that the display comes back on every way out the guard
// covers, whoever raised the error (the engine, the EEPROM driver or the image
// model). It logs nothing of its own: the lines of a failure stay those of its
// raiser.
//
// An engine operation restores only when it leaves by an exception; on a
// normal return the driver stays as the operation left it, because the run
// restores it after the adapter. A run restores on every way out; a second
// restore after the run's own is harmless.

#include "core/Log.h"

#include <exception>

enum class DisplayRestore
{
    OnFailure,
    OnEveryExit,
};

class CDisplayDriverRestoreGuard
{
public:
    CDisplayDriverRestoreGuard(CLog* log, DisplayRestore when)
        : m_log(log), m_when(when), m_exceptions(std::uncaught_exceptions())
    {
    }
    ~CDisplayDriverRestoreGuard();
    CDisplayDriverRestoreGuard(const CDisplayDriverRestoreGuard&) = delete;
    CDisplayDriverRestoreGuard& operator=(const CDisplayDriverRestoreGuard&) = delete;

private:
    CLog* m_log;
    DisplayRestore m_when;
    int m_exceptions;
};
