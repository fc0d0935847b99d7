#include "sim/SimI2CBus.h"

#include "core/TextHelpers.h"

#include <algorithm>
#include <stdexcept>

std::string FormatI2CEvent(const SimI2CEvent& event)
{
    switch (event.kind)
    {
    case SimI2CEvent::EKind::Start:
        return "S";
    case SimI2CEvent::EKind::Stop:
        return "P";
    case SimI2CEvent::EKind::Byte:
        break;
    }
    return ToHex(event.byte, 2) + (event.acknowledged ? "+" : "-");
}

std::string FormatI2CTrace(const std::vector<SimI2CEvent>& events)
{
    std::string text;
    for (const SimI2CEvent& event : events)
    {
        if (!text.empty())
        {
            text += ' ';
        }
        text += FormatI2CEvent(event);
    }
    return text;
}

CSimI2CBus::CSimI2CBus(std::string name) : m_name(std::move(name)) {}

void CSimI2CBus::AddSlave(std::shared_ptr<ISimI2CSlave> slave)
{
    if (!slave)
    {
        throw std::invalid_argument("an I2C bus takes no empty slave");
    }
    m_drives.push_back(Drive{slave.get(), false, false});
    m_slaves.push_back(std::move(slave));
}

ISimI2CSlave* CSimI2CBus::FindSlave(const std::string& name) const
{
    for (const auto& slave : m_slaves)
    {
        if (slave->Name() == name)
        {
            return slave.get();
        }
    }
    return nullptr;
}

CSimI2CBus::Drive& CSimI2CBus::DriveOf(const ISimI2CSlave& slave)
{
    for (Drive& drive : m_drives)
    {
        if (drive.slave == &slave)
        {
            return drive;
        }
    }
    throw std::logic_error("the slave is not on the bus " + m_name);
}

void CSimI2CBus::DriveMaster(bool sda, bool scl)
{
    m_masterSda = sda;
    m_masterScl = scl;
    Settle();
}

void CSimI2CBus::DriveSdaLow(const ISimI2CSlave& slave, bool low)
{
    DriveOf(slave).sdaLow = low;
    Settle();
}

void CSimI2CBus::DriveSclLow(const ISimI2CSlave& slave, bool low)
{
    DriveOf(slave).sclLow = low;
    Settle();
}

void CSimI2CBus::HoldClockLow(bool hold)
{
    m_holdClock = hold;
    Settle();
}

// Brings the bus levels to what the drivers make them, one line change at a
// time, telling every slave after each change. A slave that drives a line
// from its notification is settled by the same loop.
void CSimI2CBus::Settle()
{
    if (m_settling)
    {
        return;
    }
    m_settling = true;
    // Each round changes at most one line; slaves answer an edge with at most
    // a few changes, so the bound is never reached by a sound slave.
    for (int round = 0; round < 64; ++round)
    {
        const bool anySdaLow = std::any_of(m_drives.begin(), m_drives.end(),
                                           [](const Drive& drive) { return drive.sdaLow; });
        const bool anySclLow = std::any_of(m_drives.begin(), m_drives.end(),
                                           [](const Drive& drive) { return drive.sclLow; });
        const bool sda = m_masterSda && !anySdaLow;
        const bool scl = m_masterScl && !anySclLow && !m_holdClock;
        if (sda == m_sda && scl == m_scl)
        {
            break;
        }
        // A falling clock goes first and a rising clock last, so a data change
        // made together with a clock change lands while the clock is low.
        bool nextSda = m_sda;
        bool nextScl = m_scl;
        if (scl != m_scl && !scl)
        {
            nextScl = scl;
        }
        else if (sda != m_sda)
        {
            nextSda = sda;
        }
        else
        {
            nextScl = scl;
        }
        Observe(nextSda, nextScl);
        m_sda = nextSda;
        m_scl = nextScl;
        for (const auto& slave : m_slaves)
        {
            slave->OnLines(*this, m_sda, m_scl);
        }
    }
    m_settling = false;
}

void CSimI2CBus::Observe(bool sda, bool scl)
{
    if (m_scl && scl && sda != m_sda)
    {
        if (!sda)
        {
            m_trace.push_back({SimI2CEvent::EKind::Start, 0, false});
            m_bitCount = 0;
            m_bits = 0;
        }
        else
        {
            m_trace.push_back({SimI2CEvent::EKind::Stop, 0, false});
            m_bitCount = -1;
        }
        return;
    }
    if (!m_scl && scl && m_bitCount >= 0)
    {
        m_bits = static_cast<uint16_t>((m_bits << 1) | (sda ? 1 : 0));
        if (++m_bitCount == 9)
        {
            m_trace.push_back(
                {SimI2CEvent::EKind::Byte, static_cast<uint8_t>(m_bits >> 1), (m_bits & 1) == 0});
            m_bitCount = 0;
            m_bits = 0;
        }
    }
}

// ---------------------------------------------------------------------------

CSimI2CByteSlave::CSimI2CByteSlave(std::string name, uint8_t address)
    : m_name(std::move(name)), m_address(address & 0xFE)
{
}

void CSimI2CByteSlave::OnLines(CSimI2CBus& bus, bool sda, bool scl)
{
    const bool lastSda = m_lastSda;
    const bool lastScl = m_lastScl;
    m_lastSda = sda;
    m_lastScl = scl;
    if (lastScl && scl && sda != lastSda)
    {
        if (!sda)
        {
            StartReceived(bus);
        }
        else
        {
            EndTransfer();
            m_state = EState::Idle;
            bus.DriveSdaLow(*this, false);
        }
        return;
    }
    if (!lastScl && scl)
    {
        ClockRose(sda);
    }
    else if (lastScl && !scl)
    {
        ClockFell(bus);
    }
}

void CSimI2CByteSlave::EndTransfer()
{
    if (m_addressed)
    {
        m_addressed = false;
        OnStop();
    }
}

void CSimI2CByteSlave::StartReceived(CSimI2CBus& bus)
{
    EndTransfer();
    m_state = EState::Address;
    m_bits = 0;
    m_shift = 0;
    bus.DriveSdaLow(*this, false);
}

void CSimI2CByteSlave::ClockRose(bool sda)
{
    switch (m_state)
    {
    case EState::Address:
    case EState::Receive:
        m_shift = static_cast<uint8_t>((m_shift << 1) | (sda ? 1 : 0));
        ++m_bits;
        break;
    case EState::AckIn:
        m_masterAcked = !sda;
        break;
    default:
        break;
    }
}

void CSimI2CByteSlave::ClockFell(CSimI2CBus& bus)
{
    switch (m_state)
    {
    case EState::Address:
        if (m_bits < 8)
        {
            return;
        }
        if ((m_shift & 0xFE) != m_address)
        {
            m_state = EState::Ignore;
            return;
        }
        m_reading = (m_shift & 1) != 0;
        m_addressed = true;
        m_acknowledge = OnAddress(m_reading);
        m_addressPhase = true;
        m_state = EState::AckOut;
        bus.DriveSdaLow(*this, m_acknowledge);
        return;
    case EState::Receive:
        if (m_bits < 8)
        {
            return;
        }
        m_acknowledge = OnWrite(m_shift);
        m_addressPhase = false;
        m_state = EState::AckOut;
        bus.DriveSdaLow(*this, m_acknowledge);
        return;
    case EState::AckOut:
        bus.DriveSdaLow(*this, false);
        if (!m_acknowledge)
        {
            m_state = EState::Ignore;
            return;
        }
        if (m_addressPhase && m_hangAfterAddress)
        {
            bus.DriveSclLow(*this, true);
        }
        if (m_reading)
        {
            SendNextByte(bus);
        }
        else
        {
            m_state = EState::Receive;
            m_bits = 0;
            m_shift = 0;
        }
        return;
    case EState::Send:
        if (m_bits < 8)
        {
            bus.DriveSdaLow(*this, ((m_shift >> (7 - m_bits)) & 1) == 0);
            ++m_bits;
            return;
        }
        bus.DriveSdaLow(*this, false);
        m_state = EState::AckIn;
        return;
    case EState::AckIn:
        if (m_masterAcked)
        {
            SendNextByte(bus);
        }
        else
        {
            m_state = EState::Ignore;
        }
        return;
    default:
        return;
    }
}

void CSimI2CByteSlave::SendNextByte(CSimI2CBus& bus)
{
    m_shift = OnRead();
    m_state = EState::Send;
    bus.DriveSdaLow(*this, (m_shift & 0x80) == 0);
    m_bits = 1;
}
