#include "hw/device/ROMAccessScope.h"

#include "core/Log.h"

#include <exception>

CROMAccessScope::CROMAccessScope(IDevice& device) : m_device(device)
{
    m_device.EnableROMAccess();
}

CROMAccessScope::~CROMAccessScope()
{
    RestoreROMAccessQuietly(m_device);
}

void RestoreROMAccessQuietly(IDevice& device) noexcept
{
    try
    {
        device.RestoreROMAccess();
    }
    catch (const std::exception& error)
    {
        try
        {
            *GetLog() << LogLevel(4) << "Could not restore EEPROM access: " << error.what()
                      << LogEndl;
        }
        catch (...)
        {
        }
    }
    catch (...)
    {
    }
}
