#include "eeprom/EEPROMSerialImpl.h"

#include "core/CrossPlatform.h"

#include <stdexcept>
#include <string>

namespace
{
constexpr uint32_t kSoftwareControl = 1u << 0;
constexpr uint32_t kChipSelectHigh = 1u << 1;
constexpr uint32_t kClock = 1u << 2;
constexpr uint32_t kDataOut = 1u << 3;
constexpr uint32_t kDataIn = 1u << 4;
// Read after every clock edge so that the edge has reached the pins.
constexpr uint32_t kFlushRegister = 0x200;
constexpr uint32_t kChipSelectSettle = 2;
constexpr uint32_t kStatusPolls = 1000;
constexpr uint8_t kReadStatus = 0x05;
} // namespace

CEEPROMSerialImpl::CSoftwareSpiSession::CSoftwareSpiSession(CEEPROMSerialImpl& owner)
    : m_owner(owner)
{
    try
    {
        m_owner.EnterSoftwareSpi();
    }
    catch (...)
    {
        // Entering may have taken the pins before it failed: give them back.
        LeaveQuietly();
        throw;
    }
}

CEEPROMSerialImpl::CSoftwareSpiSession::~CSoftwareSpiSession()
{
    LeaveQuietly();
}

void CEEPROMSerialImpl::CSoftwareSpiSession::LeaveQuietly() noexcept
{
    try
    {
        m_owner.LeaveSoftwareSpi();
    }
    catch (...)
    {
        // Nothing more can be done for the pins; the error that unwinds is
        // the one to report.
    }
}

uint32_t CEEPROMSerialImpl::ReadControl()
{
    m_control = Device().ReadROMControl();
    return m_control;
}

void CEEPROMSerialImpl::WriteControl(uint32_t value)
{
    Device().WriteROMControl(value);
}

void CEEPROMSerialImpl::Delay(uint32_t microseconds)
{
    GetCrossPlatform()->DelayMicroseconds(microseconds);
}

void CEEPROMSerialImpl::EnterSoftwareSpi()
{
    Device().IdleROMControl();
    ReadControl();
}

void CEEPROMSerialImpl::LeaveSoftwareSpi()
{
    uint32_t value = ReadControl();
    if ((value & kSoftwareControl) && !(value & kChipSelectHigh))
    {
        // Left in the middle of a frame: release the chip first, so that it
        // ends the command it was given instead of seeing half of another.
        value |= kChipSelectHigh;
        WriteControl(value);
        ReadControl();
    }
    WriteControl(value & ~kSoftwareControl);
    ReadControl();
}

void CEEPROMSerialImpl::SelectChip()
{
    WriteControl(m_control & ~kChipSelectHigh);
    ReadControl();
    Delay(kChipSelectSettle);
}

void CEEPROMSerialImpl::DeselectChip()
{
    Delay(kChipSelectSettle);
    WriteControl(m_control | kChipSelectHigh);
    ReadControl();
    Delay(kChipSelectSettle);
}

void CEEPROMSerialImpl::PulseClock()
{
    // The register as last read back: nothing else drives it while the pins
    // are ours, so reading it again would only cost an access.
    const uint32_t value = m_control & ~kDataIn;
    WriteControl(value | kClock);
    ReadControl();
    Device().Read32(kFlushRegister);
    WriteControl(value & ~kClock);
    ReadControl();
    Device().Read32(kFlushRegister);
}

void CEEPROMSerialImpl::SendByte(uint8_t value)
{
    for (int bit = 7; bit >= 0; --bit)
    {
        const bool one = (value >> bit) & 1u;
        WriteControl((m_control & ~(kDataOut | kDataIn)) | (one ? kDataOut : 0));
        ReadControl();
        PulseClock();
    }
}

void CEEPROMSerialImpl::SendAddress(uint32_t address)
{
    SendByte(static_cast<uint8_t>(address >> 16));
    SendByte(static_cast<uint8_t>(address >> 8));
    SendByte(static_cast<uint8_t>(address));
}

void CEEPROMSerialImpl::SendFrame(std::initializer_list<uint8_t> bytes)
{
    SelectChip();
    for (const uint8_t value : bytes)
    {
        SendByte(value);
    }
    DeselectChip();
}

void CEEPROMSerialImpl::WaitWhileBusy(uint32_t firstDelay, uint32_t pollDelay)
{
    Delay(firstDelay);
    for (uint32_t poll = 0; poll < kStatusPolls; ++poll)
    {
        if (poll != 0)
        {
            Delay(pollDelay);
        }
        SelectChip();
        SendByte(kReadStatus);
        const uint8_t status = ReceiveByte();
        DeselectChip();
        if ((status & 1u) == 0)
        {
            return;
        }
    }
    throw std::runtime_error(
        "Exceeded maximum wait time to program a single page: " +
        std::to_string((uint64_t{firstDelay} + uint64_t{kStatusPolls} * pollDelay) / 1000) + " ms");
}

uint32_t CEEPROMSerialImpl::EraseBlockFor(uint32_t address, uint32_t count) const
{
    const uint32_t block = m_part.KbytesPerBlock * 1024u;
    if (block == 0)
    {
        throw std::runtime_error("Display adapter's EEPROM does not support block erase");
    }
    if (count % block != 0)
    {
        throw std::domain_error("Can only erase full pages");
    }
    if (address % block != 0)
    {
        throw std::domain_error("Can only erase pages starting on a page boundry");
    }
    if (uint64_t{address} + count > PartSize())
    {
        throw std::domain_error("Can only erase pages within the identified device's size");
    }
    return block;
}

std::string CEEPROMSerialImpl::MismatchText(uint32_t count)
{
    return "Mismatch in " + std::to_string(count) + " byte page-mode programming";
}
