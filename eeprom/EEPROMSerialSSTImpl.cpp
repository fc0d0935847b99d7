#include "eeprom/EEPROMSerialSSTImpl.h"

#include "core/TextHelpers.h"

#include <algorithm>
#include <stdexcept>

namespace
{
constexpr uint8_t kReadId = 0x90;
constexpr uint8_t kChipEraseSetup = 0x60;
constexpr uint8_t kBlockEraseSetup = 0x20;
constexpr uint8_t kEraseConfirm = 0xD0;
constexpr uint8_t kProgram = 0x10;
constexpr uint8_t kSstReadStatus = 0x9F;
constexpr uint8_t kRead = 0xFF;
constexpr uint32_t kSstPollDelay = 20;
} // namespace

CEEPROMSerialSSTImpl::CEEPROMSerialSSTImpl(CRefPtr<IDevice> device, int32_t retryCount,
                                           bool softwareRead)
    : CEEPROMSerialImpl(std::move(device), retryCount, softwareRead)
{
}

uint8_t CEEPROMSerialSSTImpl::ReceiveByte()
{
    uint8_t value = 0;
    for (int bit = 0; bit < 8; ++bit)
    {
        PulseClock();
        value = static_cast<uint8_t>(value << 1 | (DataIn(ReadControl()) ? 1 : 0));
    }
    return value;
}

void CEEPROMSerialSSTImpl::WaitWhileBusySST()
{
    Delay(kSstPollDelay);
    SelectChip();
    SendByte(kSstReadStatus);
    bool ready = false;
    for (uint32_t poll = 0; poll < kStatusPolls && !ready; ++poll)
    {
        Delay(kSstPollDelay);
        ready = (ReceiveByte() & 1u) != 0;
    }
    DeselectChip();
    if (!ready)
    {
        throw std::runtime_error("Exceeded maximum wait time to program a single page: 8000 ms");
    }
}

bool CEEPROMSerialSSTImpl::Identify(IEEPROMDatabase* database, CLog& log)
{
    if (!m_part.IsIdentified() && !m_identifyAttempted)
    {
        m_identifyAttempted = true;
        m_reportedManufacturer = 0;
        m_reportedDevice = 0;
        IEEPROMDatabase* catalogue = database ? database : GetEEPROMDatabase();
        LogDetail(log, "SST serial EEPROM identify.");
        CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
        CSoftwareSpiSession spi(*this);
        SelectChip();
        SendByte(kReadId);
        SendAddress(0);
        const uint8_t manufacturer = ReceiveByte();
        DeselectChip();
        LogDetail(log, "Reported Manufacturer Code: " + ToHex(manufacturer, 2));
        SelectChip();
        SendByte(kReadId);
        SendAddress(1);
        const uint8_t device = ReceiveByte();
        DeselectChip();
        LogDetail(log, "Reported Device Code: " + ToHex(device, 2));
        m_reportedManufacturer = manufacturer;
        m_reportedDevice = device;
        m_part = catalogue->GetEEPROMType(manufacturer, device);
    }
    return m_part.IsIdentified() && m_part.SerialPart;
}

void CEEPROMSerialSSTImpl::EraseChip(IUserInterface* ui, CLog& log)
{
    if (!m_part.IsIdentified())
    {
        throw std::domain_error("Cannot program unknown EEPROM type");
    }
    CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
    CProgressScope progress(ui, 1);
    CSoftwareSpiSession spi(*this);
    LogDetail(log, "Sending erase command.");
    SendFrame({kChipEraseSetup, 0x00, 0x00, 0x00, kEraseConfirm, 0x00});
    LogDetail(log, "Polling for completion.");
    WaitWhileBusySST();
    progress.Show(50, 50, 50);
    LogDetail(log, "Erase complete.");
}

uint32_t CEEPROMSerialSSTImpl::ErasePages(IUserInterface* ui, uint32_t address, uint32_t count,
                                          bool showProgress, CLog& log)
{
    const uint32_t block = EraseBlockFor(address, count);
    CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
    CSoftwareSpiSession spi(*this);
    CProgressScope progress(ui, showProgress ? 2 : 0);
    for (uint32_t erased = 0; erased < count; erased += block)
    {
        const uint32_t blockAddress = address + erased;
        LogDetail(log, "Sending erase page command.");
        LogDetail(log, "Page start: 0x" + ToHex(blockAddress, 8));
        SendFrame({kBlockEraseSetup, static_cast<uint8_t>(blockAddress >> 16),
                   static_cast<uint8_t>(blockAddress >> 8), static_cast<uint8_t>(blockAddress),
                   kEraseConfirm, 0x00});
        LogDetail(log, "Polling for completion.");
        WaitWhileBusySST();
        LogDetail(log, "Page erase complete.");
        progress.Show(static_cast<int>(erased / block), static_cast<int>(count / block),
                      static_cast<int>(0x300000 / block));
    }
    return count;
}

void CEEPROMSerialSSTImpl::SetProtection(bool, CLog&)
{
    throw std::runtime_error("Software protect feature not valid on this EEPROM part");
}

void CEEPROMSerialSSTImpl::ProgramPage(uint32_t address, IROMImage* image, int32_t imageOffset,
                                       uint32_t count, CLog& log)
{
    if (!m_part.IsIdentified())
    {
        throw std::domain_error("Cannot program unknown EEPROM type");
    }
    const auto programOnce = [&]
    {
        CSoftwareSpiSession spi(*this);
        LogDetail(log, "Sending program command.");
        SelectChip();
        SendByte(kProgram);
        SendAddress(address);
        for (uint32_t i = 0; i < count; ++i)
        {
            SendByte(image->GetByte(imageOffset + static_cast<int32_t>(i)));
        }
        SendByte(0x00);
        DeselectChip();
        LogDetail(log, "Polling for completion.");
        WaitWhileBusySST();
        LogDetail(log, "Page programming complete.");
    };
    if (!ProgramAndVerifyPage(address, image, imageOffset, count, log, programOnce))
    {
        throw std::runtime_error(MismatchText(count));
    }
}

void CEEPROMSerialSSTImpl::ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer)
{
    if (!ReadsBySoftware())
    {
        CEEPROMBaseImpl::ReadBytes(address, count, buffer);
        return;
    }
    CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
    CSoftwareSpiSession spi(*this);
    SelectChip();
    SendByte(kRead);
    SendAddress(address);
    SendByte(0x00);
    SendByte(0x00);
    for (uint32_t i = 0; i < count; ++i)
    {
        buffer[i] = ReceiveByte();
    }
    DeselectChip();
}
