#include "eeprom/EEPROMSerialMCImpl.h"

#include "core/CrossPlatform.h"
#include "core/TextHelpers.h"
#include "eeprom/DisplayDriverRestore.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

namespace
{
constexpr uint32_t kFirstPollDelay = 50;
constexpr uint32_t kPollDelay = 200;
constexpr uint32_t kLockClear = 0x71FFFFFF;
constexpr uint32_t kLockBits = 0x8C000000;
constexpr uint32_t kUnlockBits = 0x02000000;

void Delay(uint32_t microseconds)
{
    GetCrossPlatform()->DelayMicroseconds(microseconds);
}
} // namespace

CEEPROMSerialMCImpl::CEEPROMSerialMCImpl(CRefPtr<IDevice> device, int32_t retryCount)
    : CEEPROMBaseImpl(std::move(device)), m_retryCount(retryCount)
{
}

bool CEEPROMSerialMCImpl::Identify(IEEPROMDatabase* database, CLog& log)
{
    if (!m_part.IsIdentified() && !m_identifyAttempted)
    {
        m_identifyAttempted = true;
        m_reportedManufacturer = kManufacturer;
        m_reportedDevice = kDevice;
        LogDetail(log, "Microchip Serial EEPROM Identify.");
        IEEPROMDatabase* catalogue = database ? database : GetEEPROMDatabase();
        m_part = catalogue->GetEEPROMType(kManufacturer, kDevice);
    }
    return true;
}

void CEEPROMSerialMCImpl::ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer)
{
    for (uint32_t offset = 0; offset < count; offset += 4)
    {
        const uint32_t value = Device().ReadROMDword(static_cast<int32_t>(address + offset));
        // Only the bytes asked for: the buffer may end inside this double word.
        for (uint32_t i = 0; i < 4 && offset + i < count; ++i)
        {
            buffer[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
}

uint32_t CEEPROMSerialMCImpl::Read(IUserInterface* ui, uint32_t address, uint32_t count,
                                   int32_t imageOffset, IROMImage* destination, CLog& log)
{
    // Reads through the switch's EEPROM controller, with no ROM access scope of its own.
    return ReadIntoImage(ui, address, ClampReadCount(address, count), imageOffset, destination, log,
                         0x300000, true);
}

CRefPtr<IROMImage> CEEPROMSerialMCImpl::ReadImage(IUserInterface* ui, uint32_t count, CLog& log)
{
    count = std::min(count, PartSize());
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageBridgePLX8747);
    Read(ui, 0, count, 0, image.get(), log);
    return image;
}

void CEEPROMSerialMCImpl::EraseChip(IUserInterface*, CLog&)
{
    const uint32_t size = PartSize();
    for (uint32_t address = 0; address + 4 <= size; address += 4)
    {
        Device().WriteROMDword(static_cast<int32_t>(address), 0xFFFFFFFF);
    }
}

uint32_t CEEPROMSerialMCImpl::ErasePages(IUserInterface*, uint32_t, uint32_t count, bool, CLog&)
{
    return count;
}

void CEEPROMSerialMCImpl::SetProtection(bool lock, CLog& log)
{
    const uint32_t value = Device().ReadROMControl();
    LogDetail(log, lock ? "lock" : "unlock");
    const uint32_t wanted = lock ? kLockBits : kUnlockBits;
    Device().WriteROMControl((value & kLockClear) | wanted);
    // A controller that drops the write (busy, or not reachable) must not
    // leave the caller believing the EEPROM is locked or unlocked.
    const uint32_t readBack = Device().ReadROMControl();
    LogDetail(log, "EEPROM control register: " + ToHex(readBack, 8));
    if ((readBack & ~kLockClear) != wanted)
    {
        LogDetail(log, std::string(lock ? "Error: Enable" : "Error: Disable") +
                           " EEPROM protection function failed");
        ThrowWithDisplayRestored(log,
                                 std::domain_error("Error: set EEPROM protection function failed"));
    }
}

void CEEPROMSerialMCImpl::EnsureSignature(CLog& log)
{
    LogDetail(log, "Testing if the first byte is 0x5A");
    if (Device().ReadROMByte(0) == kSignature)
    {
        return;
    }
    // Only byte 0 changes: the other three bytes of the double word are
    // configuration data that may not be part of the page being written.
    const uint32_t first = Device().ReadROMDword(0);
    Device().WriteROMDword(0, (first & ~0xFFu) | kSignature);
    std::cout << "Writing valid signature" << std::endl;
    if (Device().ReadROMByte(0) != kSignature)
    {
        LogDetail(log, "ERROR: Unable to write 0x5A");
        throw std::runtime_error("Unable to write the EEPROM signature 0x5A");
    }
}

// Whole double words; one the range covers only in part keeps the EEPROM's
// own bytes outside the range.
void CEEPROMSerialMCImpl::WritePageDwords(uint32_t address, IROMImage* image, int32_t imageOffset,
                                          uint32_t count)
{
    const uint32_t end = address + count;
    for (uint32_t dword = address & ~3u; dword < end; dword += 4)
    {
        const bool partial = dword < address || dword + 4 > end;
        uint32_t value = partial ? Device().ReadROMDword(static_cast<int32_t>(dword)) : 0;
        for (uint32_t i = 0; i < 4; ++i)
        {
            const uint32_t byteAddress = dword + i;
            if (byteAddress < address || byteAddress >= end)
            {
                continue;
            }
            const uint8_t wanted =
                image->GetByte(imageOffset + static_cast<int32_t>(byteAddress - address));
            value = (value & ~(0xFFu << (8 * i))) | (uint32_t{wanted} << (8 * i));
        }
        Device().WriteROMDword(static_cast<int32_t>(dword), value);
    }
}

// Polls the page's last byte until it reads as written; false when it does
// not within the polls allowed.
bool CEEPROMSerialMCImpl::WaitForPageWritten(uint32_t lastAddress, uint8_t lastWanted, CLog& log)
{
    LogDetail(log, "Polling for completion.");
    Delay(kFirstPollDelay);
    for (int poll = 0; poll < kCompletionPolls; ++poll)
    {
        if (poll != 0)
        {
            Delay(kPollDelay);
        }
        if (Device().ReadROMByte(static_cast<int32_t>(lastAddress)) == lastWanted)
        {
            return true;
        }
    }
    return false;
}

void CEEPROMSerialMCImpl::ProgramPage(uint32_t address, IROMImage* image, int32_t imageOffset,
                                      uint32_t count, CLog& log)
{
    if (!m_part.IsIdentified())
    {
        throw std::domain_error("Cannot program unknown EEPROM type");
    }
    LogDetail(log, "Program page.");
    LogDetail(log, "Start: 0x" + ToHex(address, 8));
    LogDetail(log, "Count: " + std::to_string(count));
    if (count == 0)
    {
        return;
    }
    EnsureSignature(log);

    const uint32_t end = address + count;
    const uint8_t lastWanted = image->GetByte(imageOffset + static_cast<int32_t>(count - 1));
    const int32_t attempts = std::max<int32_t>(m_retryCount, 1);
    for (int32_t attempt = 0; attempt < attempts; ++attempt)
    {
        const bool lastAttempt = attempt + 1 == attempts;
        WritePageDwords(address, image, imageOffset, count);
        if (!WaitForPageWritten(end - 1, lastWanted, log))
        {
            LogDetail(log, "iCount exceeds MAX_LOOP.");
            if (lastAttempt)
            {
                throw std::runtime_error(
                    "Exceeded maximum wait time to program a single page (200 ms) at offset 0x" +
                    ToHex(address, 5));
            }
            continue;
        }
        LogDetail(log, "Page programming complete.");
        if (VerifyPage(address, image, imageOffset, count, attempt, log))
        {
            LogDetail(log, "Page verification complete.");
            return;
        }
        if (lastAttempt)
        {
            throw std::runtime_error("Mismatch in " + std::to_string(count) +
                                     " byte page-mode programming");
        }
    }
}
