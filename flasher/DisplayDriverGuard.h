#pragma once
// Gives the machine its display back when an engine operation leaves by an
// exception, whoever raised it (the engine, the EEPROM driver or the image
// model), so that a failed operation never leaves the screen dark. It logs
// nothing of its own: the lines of a failure stay those of its raiser. On a
// normal return the driver stays as the operation left it; the run restores
// it after the adapter.

#include "core/Log.h"

#include <exception>

class CDisplayDriverRestoreOnError
{
public:
    explicit CDisplayDriverRestoreOnError(CLog* log)
        : m_log(log), m_exceptions(std::uncaught_exceptions())
    {
    }
    ~CDisplayDriverRestoreOnError();
    CDisplayDriverRestoreOnError(const CDisplayDriverRestoreOnError&) = delete;
    CDisplayDriverRestoreOnError& operator=(const CDisplayDriverRestoreOnError&) = delete;

private:
    CLog* m_log;
    int m_exceptions;
};
