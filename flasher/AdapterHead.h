#pragma once
// The head of an adapter's firmware as an update decides on it: read through
// the adapter session's EEPROM, so that after an update that did not finish
// the firmware the record saved stands in for a half-written part.

#include "core/Log.h"
#include "core/RefCount.h"
#include "core/UserInterface.h"
#include "eeprom/IEEPROM.h"
#include "eeprom/IEEPROMDatabase.h"
#include "flasher/IFlasher.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "image/IROMImage.h"

#include <string>

struct AdapterHead
{
    CRefPtr<IROMImage> head; // null when it could not be read
    bool blank = false;      // the part is erased
    std::string failure;     // why it could not be read
};

// The head, or the message of a read that failed: the run goes on with the
// next adapter. An I/O failure and the user's abort end the run and go on to
// the caller.
AdapterHead ReadAdapterHead(IFlasher& flasher, CRefPtr<IUserInterface> ui,
                            CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> eeproms,
                            CRefPtr<IEEPROM> eeprom, CLog* log);
