#pragma once
// Gives the display driver back on every way out of a run; a second restore
// after the run's own is harmless.

#include "core/CrossPlatform.h"
#include "core/Log.h"

class CDisplayDriverRestoreGuard
{
public:
    explicit CDisplayDriverRestoreGuard(CLog* log) : m_log(log) {}
    ~CDisplayDriverRestoreGuard() { GetCrossPlatform()->RestoreDisplayDriver(m_log); }
    CDisplayDriverRestoreGuard(const CDisplayDriverRestoreGuard&) = delete;
    CDisplayDriverRestoreGuard& operator=(const CDisplayDriverRestoreGuard&) = delete;

private:
    CLog* m_log;
};
