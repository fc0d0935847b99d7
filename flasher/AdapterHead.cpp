// Reading the head of an adapter's firmware for an update.

#include "flasher/AdapterHead.h"

#include "core/Exceptions.h"

#include <stdexcept>

AdapterHead ReadAdapterHead(IFlasher& flasher, CRefPtr<IUserInterface> ui,
                            CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> eeproms,
                            CRefPtr<IEEPROM> eeprom, CLog* log)
{
    AdapterHead read;
    try
    {
        read.head = flasher.ReadImageHead(ui, adapter, eeproms, eeprom, read.blank, log);
    }
    catch (const io_error&)
    {
        throw;
    }
    catch (const user_abort_error&)
    {
        throw;
    }
    catch (const std::runtime_error& error)
    {
        read.failure = error.what();
    }
    return read;
}
