#include "eeprom/DisplayDriverRestore.h"

#include "core/CrossPlatform.h"

void RestoreDisplayDriverBeforeError(CLog& log)
{
    try
    {
        GetCrossPlatform()->RestoreDisplayDriver(&log);
    }
    catch (...)
    {
        // The error about to be raised is the one the user must see.
    }
}
