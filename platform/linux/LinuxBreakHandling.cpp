#include "platform/linux/LinuxServices.h"

CLinuxBreakHandling::~CLinuxBreakHandling()
{
    RestoreBreaks();
}

void CLinuxBreakHandling::IgnoreBreaks()
{
    if (m_ignoring)
    {
        return;
    }
    struct sigaction ignore
    {
    };
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (size_t i = 0; i < kSignals.size(); ++i)
    {
        sigaction(kSignals[i], &ignore, &m_saved[i]);
    }
    m_ignoring = true;
}

void CLinuxBreakHandling::RestoreBreaks()
{
    if (!m_ignoring)
    {
        return;
    }
    for (size_t i = 0; i < kSignals.size(); ++i)
    {
        sigaction(kSignals[i], &m_saved[i], nullptr);
    }
    m_ignoring = false;
}
