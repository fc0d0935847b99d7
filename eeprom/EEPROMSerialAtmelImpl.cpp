#include "eeprom/EEPROMSerialAtmelImpl.h"

#include "core/TextHelpers.h"
#include "eeprom/DisplayDriverRestore.h"

#include <algorithm>
#include <stdexcept>

namespace
{
constexpr uint8_t kReadJedecId = 0x9F;
constexpr uint8_t kReadManufacturerDeviceId = 0x90;
constexpr uint8_t kReadProductId = 0x15;
constexpr uint8_t kReadSignature = 0xAB;
constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kWriteDisable = 0x04;
constexpr uint8_t kReadStatusRegister = 0x05;
constexpr uint8_t kWriteStatusRegister = 0x01;
constexpr uint8_t kEnableWriteStatus = 0x50;
constexpr uint8_t kGlobalUnlock = 0x98;
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kWordAutoIncrementProgram = 0xAD;
constexpr uint8_t kByteAutoIncrementProgram = 0xAF;
constexpr uint8_t kRead = 0x03;

// Status register bit 1: the write enable latch, set by 0x06 and cleared by
// the program, erase or status write that used it.
constexpr uint8_t kWriteEnableLatch = 0x02;

constexpr uint8_t kContinuationCode = 0x7F;
constexpr uint8_t kSst = 0xBF;
constexpr uint8_t kAtmel = 0x1F;
constexpr uint8_t kTenx = 0x5E;
constexpr uint8_t kPmc = 0x9D;
constexpr uint8_t kSt = 0x20;

constexpr uint32_t kEraseFirstDelay = 50000;
constexpr uint32_t kErasePollDelay = 30000;
constexpr uint32_t kProgramFirstDelay = 5000;
constexpr uint32_t kProgramPollDelay = 2000;
constexpr uint32_t kStepFirstDelay = 20;
constexpr uint32_t kStepPollDelay = 2;
constexpr uint32_t kAtmelProtectionRetryDelay = 10;
} // namespace

CEEPROMSerialAtmelImpl::CEEPROMSerialAtmelImpl(CRefPtr<IDevice> device, int32_t retryCount,
                                               bool softwareRead)
    : CEEPROMSerialImpl(std::move(device), retryCount, softwareRead)
{
}

uint8_t CEEPROMSerialAtmelImpl::ReceiveByte()
{
    uint8_t value = 0;
    for (int bit = 0; bit < 8; ++bit)
    {
        value = static_cast<uint8_t>(value << 1 | (DataIn(ReadControl()) ? 1 : 0));
        PulseClock();
    }
    return value;
}

uint8_t CEEPROMSerialAtmelImpl::ReadStatusQuietly()
{
    SelectChip();
    SendByte(kReadStatusRegister);
    const uint8_t status = ReceiveByte();
    DeselectChip();
    return status;
}

uint8_t CEEPROMSerialAtmelImpl::ReadStatus(CLog& log)
{
    const uint8_t status = ReadStatusQuietly();
    LogDetail(log, "EEPROM status register: " + ToHex(status, 2));
    return status;
}

void CEEPROMSerialAtmelImpl::CheckWriteEnabled(uint8_t status, const char* message, CLog& log)
{
    // A part that did not take the write enable ignores the erase that
    // follows; sent anyway, it would look done and the write would fail only
    // at its verify.
    if ((status & kWriteEnableLatch) == 0)
    {
        ThrowWithDisplayRestored(log, std::runtime_error(message));
    }
}

void CEEPROMSerialAtmelImpl::CheckUnprotected(uint8_t status, const char* message, CLog& log)
{
    if ((status & m_part.WriteProtectMask) != 0)
    {
        ThrowWithDisplayRestored(log, std::runtime_error(message));
    }
}

// The JEDEC identification: a manufacturer byte and two device bytes.
void CEEPROMSerialAtmelImpl::ReadJedecId(uint8_t& manufacturer, uint16_t& device, CLog& log)
{
    SelectChip();
    SendByte(kReadJedecId);
    manufacturer = ReceiveByte();
    const uint8_t high = ReceiveByte();
    const uint8_t low = ReceiveByte();
    DeselectChip();
    device = static_cast<uint16_t>(high << 8 | low);
    LogDetail(log, "Reported Manufacturer Code (JEDEC): " + ToHex(manufacturer, 2));
    LogDetail(log, "Reported Device Code (JEDEC): " + ToHex(device, 4));
}

void CEEPROMSerialAtmelImpl::ReadSstId(uint8_t& manufacturer, uint16_t& device, CLog& log)
{
    SelectChip();
    SendByte(kReadManufacturerDeviceId);
    SendAddress(0);
    manufacturer = ReceiveByte();
    device = ReceiveByte();
    DeselectChip();
    LogDetail(log, "Reported Manufacturer Code (SST): " + ToHex(manufacturer, 2));
    LogDetail(log, "Reported Device Code (SST): " + ToHex(device, 2));
}

void CEEPROMSerialAtmelImpl::ReadAtmelId(uint8_t& manufacturer, uint16_t& device, CLog& log)
{
    SelectChip();
    SendByte(kReadProductId);
    manufacturer = ReceiveByte();
    LogDetail(log, "Reported Manufacturer Code (Atmel): " + ToHex(manufacturer, 2));
    // A line stuck at 1 reads as an endless run of continuation codes; JEDEC
    // banks end long before this bound.
    for (int bank = 0; manufacturer == kContinuationCode && bank < kMaxContinuationCodes; ++bank)
    {
        manufacturer = ReceiveByte();
        LogDetail(log, "Continued Manufacturer Code (Atmel): " + ToHex(manufacturer, 2));
    }
    device = ReceiveByte();
    LogDetail(log, "Reported Device Code (Atmel): " + ToHex(device, 2));
    DeselectChip();
}

// The signature read: a PMC part answers with its manufacturer code first;
// any other answer is an ST part's device code.
void CEEPROMSerialAtmelImpl::ReadStId(uint8_t& manufacturer, uint16_t& device, CLog& log)
{
    SelectChip();
    SendByte(kReadSignature);
    SendAddress(0);
    const uint8_t answer = ReceiveByte();
    if (answer == kPmc)
    {
        manufacturer = answer;
        device = ReceiveByte();
        LogDetail(log, "Reported Manufacturer Code (ST): " + ToHex(manufacturer, 2));
    }
    else
    {
        device = answer;
        manufacturer = kSt;
        LogDetail(log, "Forced Manufacturer Code (ST): " + ToHex(manufacturer, 2));
    }
    LogDetail(log, "Reported Device Code (ST): " + ToHex(device, 2));
    DeselectChip();
}

// The older identification commands in turn, each tried only when the one
// before it did not name its maker: SST, then Atmel, then ST.
void CEEPROMSerialAtmelImpl::ReadLegacyId(uint8_t& manufacturer, uint16_t& device, CLog& log)
{
    ReadSstId(manufacturer, device, log);
    if (manufacturer == kSst)
    {
        return;
    }
    ReadAtmelId(manufacturer, device, log);
    if (manufacturer != kAtmel && manufacturer != kTenx)
    {
        ReadStId(manufacturer, device, log);
    }
}

bool CEEPROMSerialAtmelImpl::Identify(IEEPROMDatabase* database, CLog& log)
{
    if (!m_part.IsIdentified() && !m_identifyAttempted)
    {
        m_identifyAttempted = true;
        m_reportedManufacturer = 0;
        m_reportedDevice = 0;
        IEEPROMDatabase* catalogue = database ? database : GetEEPROMDatabase();
        LogDetail(log, "Atmel Serial EEPROM Identify.");
        CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
        CSoftwareSpiSession spi(*this);

        uint8_t manufacturer = 0;
        uint16_t device = 0;
        ReadJedecId(manufacturer, device, log);
        m_reportedManufacturer = manufacturer;
        m_reportedDevice = device;
        m_part = catalogue->GetEEPROMType(manufacturer, device);
        if (!m_part.IsIdentified() || !m_part.SerialPart)
        {
            ReadLegacyId(manufacturer, device, log);
            m_reportedManufacturer = manufacturer;
            m_reportedDevice = device;
            m_part = catalogue->GetEEPROMType(manufacturer, device);
        }
    }
    return m_part.IsIdentified() && m_part.SerialPart;
}

void CEEPROMSerialAtmelImpl::EraseChip(IUserInterface* ui, CLog& log)
{
    if (!m_part.IsIdentified())
    {
        ThrowWithDisplayRestored(log, std::domain_error("Cannot program unknown EEPROM type"));
    }
    if (m_reportedManufacturer == kSst && m_autoUnprotect)
    {
        SetProtection(false, log);
    }
    CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
    CProgressScope progress(ui, 1);
    CSoftwareSpiSession spi(*this);
    LogDetail(log, "Sending erase command.");
    SendFrame({kWriteEnable});
    const uint8_t status = ReadStatus(log);
    CheckUnprotected(status, "Software write protection enabled, unable to erase EEPROM.", log);
    CheckWriteEnabled(status, "Write enable not accepted, unable to erase EEPROM.", log);
    SendFrame({m_part.ChipEraseCommand});
    LogDetail(log, "Polling for completion.");
    WaitWhileBusy(kEraseFirstDelay, kErasePollDelay);
    progress.Show(50, 50, 50);
    LogDetail(log, "Erase complete.");
}

uint32_t CEEPROMSerialAtmelImpl::ErasePages(IUserInterface* ui, uint32_t address, uint32_t count,
                                            bool showProgress, CLog& log)
{
    uint32_t block = 0;
    try
    {
        block = EraseBlockFor(address, count);
    }
    catch (const std::exception&)
    {
        RestoreDisplayDriverBeforeError(log);
        throw;
    }
    if (m_reportedManufacturer == kSst && m_autoUnprotect)
    {
        SetProtection(false, log);
    }
    CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
    CProgressScope progress(ui, showProgress ? 2 : 0);
    CSoftwareSpiSession spi(*this);
    CheckUnprotected(ReadStatus(log),
                     "Software write protection enabled, unable to erase EEPROM pages.", log);
    for (uint32_t erased = 0; erased < count; erased += block)
    {
        const uint32_t blockAddress = address + erased;
        LogDetail(log, "Sending write enable command.");
        SendFrame({kWriteEnable});
        CheckWriteEnabled(ReadStatusQuietly(),
                          "Write enable not accepted, unable to erase EEPROM pages.", log);
        LogDetail(log, "Sending erase page command.");
        LogDetail(log, "Page start: 0x" + ToHex(blockAddress, 8));
        SendFrame({m_part.BulkEraseCommand, static_cast<uint8_t>(blockAddress >> 16),
                   static_cast<uint8_t>(blockAddress >> 8), static_cast<uint8_t>(blockAddress)});
        LogDetail(log, "Polling for completion.");
        WaitWhileBusy(kEraseFirstDelay, kErasePollDelay);
        LogDetail(log, "Page erase complete.");
        progress.Show(static_cast<int>(erased / block), static_cast<int>(count / block),
                      static_cast<int>(0x300000 / block));
    }
    return count;
}

void CEEPROMSerialAtmelImpl::SetProtection(bool lock, CLog& log)
{
    if (!m_part.IsIdentified())
    {
        ThrowWithDisplayRestored(
            log, std::domain_error("Cannot modify software protect on unknown EEPROM type"));
    }
    const uint8_t mask = m_part.WriteProtectMask;
    CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
    CSoftwareSpiSession spi(*this);
    bool changed = false;
    for (int attempt = 0; attempt < kProtectionTries && !changed; ++attempt)
    {
        LogDetail(log, "Sending write enable command.");
        SendFrame({kWriteEnable});
        if (m_reportedManufacturer == kSst &&
            m_part.ChipFeatureFlag != CEEPROMType::kFeatureGlobalUnlock)
        {
            LogDetail(log, "Sending enable write status command.");
            SendFrame({kEnableWriteStatus});
        }
        else if (m_part.ChipFeatureFlag == CEEPROMType::kFeatureGlobalUnlock)
        {
            SendFrame({kGlobalUnlock});
        }
        SelectChip();
        LogDetail(log, std::string("Sending write status command: ") + (lock ? "lock" : "unlock"));
        SendByte(kWriteStatusRegister);
        SendByte(lock ? mask : 0x00);
        DeselectChip();
        LogDetail(log, "Polling for completion.");
        WaitWhileBusy(kProgramFirstDelay, kProgramPollDelay);

        const uint8_t status = ReadStatusQuietly();
        WaitWhileBusy(kProgramFirstDelay, kProgramPollDelay);
        LogDetail(log, "EEPROM status register: " + ToHex(status, 2));

        changed = lock ? (status & mask) == mask : (status & mask) == 0;
        if (changed)
        {
            LogDetail(log, std::string(lock ? "Succeed to enable" : "Succeed to disable") +
                               " write-protection after " +
                               ToHex(static_cast<uint32_t>(attempt), 2) + " try.");
        }
        else
        {
            LogDetail(log, std::string(lock ? "Error: Enable" : "Error: Disable") +
                               " EEPROM protection function failed, and retry...");
            Delay(kAtmelProtectionRetryDelay);
        }
    }
    if (!changed)
    {
        ThrowWithDisplayRestored(log,
                                 std::domain_error("Error: set EEPROM protection function failed"));
    }
    LogDetail(log, "Software lock/unlock change complete.");
    m_autoUnprotect = false;
}

void CEEPROMSerialAtmelImpl::ProgramPageOnce(uint32_t address, IROMImage* image,
                                             int32_t imageOffset, uint32_t count, CLog& log)
{
    CSoftwareSpiSession spi(*this);
    LogDetail(log, "Sending write enable command.");
    SendFrame({kWriteEnable});
    CheckUnprotected(ReadStatus(log),
                     "Software write protection enabled, unable to program EEPROM.", log);
    const auto imageByte = [&](uint32_t i)
    { return image->GetByte(imageOffset + static_cast<int32_t>(i)); };
    if (m_reportedManufacturer != kSst ||
        m_part.ChipFeatureFlag == CEEPROMType::kFeatureGlobalUnlock)
    {
        LogDetail(log, "Sending program command.");
        SelectChip();
        SendByte(kPageProgram);
        SendAddress(address);
        for (uint32_t i = 0; i < count; ++i)
        {
            SendByte(imageByte(i));
        }
        DeselectChip();
        LogDetail(log, "Polling for completion.");
        WaitWhileBusy(kProgramFirstDelay, kProgramPollDelay);
    }
    else
    {
        const bool words = m_part.ChipFeatureFlag == CEEPROMType::kFeatureWordAutoIncrement;
        const uint32_t step = words ? 2 : 1;
        const uint8_t opcode = words ? kWordAutoIncrementProgram : kByteAutoIncrementProgram;
        LogDetail(log, std::string("Sending SST AAI ") + (words ? "Word" : "Byte") +
                           "-Program command.");
        for (uint32_t done = 0; done < count; done += step)
        {
            SelectChip();
            SendByte(opcode);
            if (done == 0)
            {
                SendAddress(address);
            }
            for (uint32_t i = done; i < done + step; ++i)
            {
                // A word step past an odd end programs 0xFF, which leaves
                // the byte as it is.
                SendByte(i < count ? imageByte(i) : 0xFF);
            }
            DeselectChip();
            WaitWhileBusy(kStepFirstDelay, kStepPollDelay);
        }
        LogDetail(log, "Sending SST write disable command.");
        SendFrame({kWriteDisable});
    }
    LogDetail(log, "Page programming complete.");
}

void CEEPROMSerialAtmelImpl::ProgramPage(uint32_t address, IROMImage* image, int32_t imageOffset,
                                         uint32_t count, CLog& log)
{
    if (!m_part.IsIdentified())
    {
        ThrowWithDisplayRestored(log, std::domain_error("Cannot program unknown EEPROM type"));
    }
    if (!ProgramAndVerifyPage(address, image, imageOffset, count, log,
                              [&] { ProgramPageOnce(address, image, imageOffset, count, log); }))
    {
        ThrowWithDisplayRestored(log, std::runtime_error(MismatchText(count)));
    }
}

void CEEPROMSerialAtmelImpl::ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer)
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
    for (uint32_t i = 0; i < count; ++i)
    {
        buffer[i] = ReceiveByte();
    }
    DeselectChip();
}
