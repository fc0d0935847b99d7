#include "eeprom/DisplayDriverRestore.h"

#include <utility>

namespace
{
DisplayDriverRestorer& InstalledRestorer()
{
    static DisplayDriverRestorer restorer;
    return restorer;
}
} // namespace

DisplayDriverRestorer SetDisplayDriverRestorer(DisplayDriverRestorer restorer)
{
    return std::exchange(InstalledRestorer(), std::move(restorer));
}

void RestoreDisplayDriverBeforeError(CLog& log)
{
    const DisplayDriverRestorer& restorer = InstalledRestorer();
    if (!restorer)
    {
        return;
    }
    try
    {
        restorer(&log);
    }
    catch (...)
    {
        // The error about to be raised is the one the user must see.
    }
}
