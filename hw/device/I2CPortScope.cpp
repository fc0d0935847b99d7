#include "hw/device/I2CPortScope.h"

#include "core/Log.h"

#include <exception>

CI2CPortScope::CI2CPortScope(II2CMaster& master, uint8_t port) : m_master(master), m_port(port)
{
    if (!m_master.AcquireI2CPort(m_port))
    {
        return;
    }
    try
    {
        m_master.BeginI2CPortAccess(m_port);
    }
    catch (...)
    {
        m_master.ReleaseI2CPort(m_port);
        throw;
    }
    m_held = true;
}

CI2CPortScope::~CI2CPortScope()
{
    if (!m_held)
    {
        return;
    }
    try
    {
        m_master.EndI2CPortAccess(m_port);
    }
    catch (const std::exception& error)
    {
        *GetLog() << LogLevel(4) << "Could not return I2C port " << int(m_port)
                  << " to its controller: " << error.what() << LogEndl;
    }
    try
    {
        m_master.ReleaseI2CPort(m_port);
    }
    catch (const std::exception& error)
    {
        *GetLog() << LogLevel(4) << "Could not release I2C port " << int(m_port) << ": "
                  << error.what() << LogEndl;
    }
}
