#include "sim/SimI2CSlaves.h"

CSimDisplaySlave::CSimDisplaySlave(std::string name, uint8_t address)
    : CSimI2CByteSlave(std::move(name), address)
{
}

bool CSimDisplaySlave::OnAddress(bool)
{
    m_written = 0;
    return true;
}

bool CSimDisplaySlave::OnWrite(uint8_t byte)
{
    const int index = m_written++;
    if (m_refuseFrom >= 0 && index >= m_refuseFrom)
    {
        return false;
    }
    if (index == 0)
    {
        m_pointer = byte;
    }
    else
    {
        m_bytes[m_pointer++] = byte;
    }
    return true;
}

uint8_t CSimDisplaySlave::OnRead()
{
    return m_bytes[m_pointer++];
}

CSimRegulatorSlave::CSimRegulatorSlave(std::string name, uint8_t address)
    : CSimI2CByteSlave(std::move(name), address)
{
}

bool CSimRegulatorSlave::OnAddress(bool read)
{
    if (read)
    {
        m_replyIndex = 0;
    }
    else
    {
        m_received.clear();
    }
    return true;
}

bool CSimRegulatorSlave::OnWrite(uint8_t byte)
{
    if (m_received.size() >= 3)
    {
        return false;
    }
    m_received.push_back(byte);
    if (m_received.size() == 3)
    {
        const uint8_t command = m_received[0];
        const uint8_t reg = m_received[1];
        const uint8_t value = m_received[2];
        if (command == 0xD1)
        {
            m_reply = {m_registers[reg], 0};
        }
        else if (command == 0xD0)
        {
            m_registers[reg] = value;
            m_writes.emplace_back(reg, value);
            m_reply = {value, 0};
        }
        else
        {
            m_reply = {0xFF, 0xFF};
        }
    }
    return true;
}

uint8_t CSimRegulatorSlave::OnRead()
{
    return m_reply[m_replyIndex++ % m_reply.size()];
}

void CSimRegulatorSlave::OnStop() {}
