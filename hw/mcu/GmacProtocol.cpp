// The MCU's command set over SMBus block transfers, mode switching, the
// page-buffer primitives and the paged read of the flash.

#include "core/CrossPlatform.h"
#include "core/TextHelpers.h"
#include "hw/device/I2CPortScope.h"
#include "hw/mcu/GmacAccessorImpl.h"

#include <algorithm>
#include <iostream>

namespace
{
enum EGmacCommand : uint8_t
{
    kGetBootModeOverride = 0x10,
    kSetBootModeOverride = 0x11,
    kResetBoot = 0x12,
    kGetCurrentMode = 0x13,
    kGetFlashMemorySize = 0x20,
    kGetPageBufferCheckSum = 0x21,
    kStartPageErase = 0x22,
    kGetPageEraseStatus = 0x23,
    kStartPageProgram = 0x24,
    kGetPageProgramStatus = 0x25,
    kGetAppImageStatus = 0x26,
    kGetBootloaderVersion = 0x27,
    kSetReadPage = 0x28,
    kPageBuffer = 0x40,
};

constexpr uint8_t kModeBootloader = 0;
constexpr uint8_t kModeApplication = 1;
constexpr uint32_t kParagraphsPerPage = kGmacPageSize / kGmacParagraphSize;

std::vector<uint8_t> Little16(uint16_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
}

} // namespace

void GmacDetail(CLog* log, const std::string& text)
{
    if (log)
    {
        *log << text << LogEndl;
    }
}

void GmacMessage(const std::string& text)
{
    std::ostringstream message;
    message << text;
    LogMessage(message, 4, true);
}

CGmacAccessorImpl::CGmacAccessorImpl(II2CMaster* master, CRefPtr<IReferenceCount> owner,
                                     uint16_t vendorId, uint16_t deviceId, uint8_t port,
                                     uint8_t slaveAddress)
    : m_master(master), m_masterOwner(std::move(owner)), m_vendorId(vendorId), m_deviceId(deviceId),
      m_port(port), m_slaveAddress(slaveAddress)
{
}

CGmacAccessorImpl::~CGmacAccessorImpl()
{
    m_image.clear();
    m_master = nullptr;
    m_masterOwner = nullptr;
}

int32_t CGmacAccessorImpl::BlockRead(uint8_t command, std::vector<uint8_t>& reply)
{
    reply.clear();
    if (!m_master)
    {
        return kI2CNoLines;
    }
    CI2CPortScope scope(*m_master, m_port);
    if (!scope.IsHeld())
    {
        return kI2CStartFailed;
    }
    return m_master->SMBusBlockRead(m_port, m_slaveAddress, command, reply);
}

int32_t CGmacAccessorImpl::BlockWrite(uint8_t command, const std::vector<uint8_t>& data)
{
    if (!m_master)
    {
        return kI2CNoLines;
    }
    CI2CPortScope scope(*m_master, m_port);
    if (!scope.IsHeld())
    {
        return kI2CStartFailed;
    }
    return m_master->SMBusBlockWrite(m_port, m_slaveAddress, command,
                                     static_cast<uint32_t>(data.size()), data);
}

void CGmacAccessorImpl::Settle(uint32_t microseconds)
{
    GetCrossPlatform()->DelayMicroseconds(microseconds);
}

bool CGmacAccessorImpl::ReadExact(uint8_t command, size_t length, std::vector<uint8_t>& reply,
                                  CLog* log, const char* failureText, const char* sizeText)
{
    if (BlockRead(command, reply) != kI2CDone)
    {
        GmacDetail(log, failureText);
        return false;
    }
    if (reply.size() != length)
    {
        GmacDetail(log, sizeText);
        return false;
    }
    Settle();
    return true;
}

bool CGmacAccessorImpl::WriteCommand(uint8_t command, const std::vector<uint8_t>& data, CLog* log,
                                     const char* failureText)
{
    if (BlockWrite(command, data) != kI2CDone)
    {
        GmacDetail(log, failureText);
        return false;
    }
    Settle(command == kResetBoot ? 100000 : 50000);
    return true;
}

// The value-reading commands take exactly the bytes of their value: an empty
// or short reply is a failed command, never a value left as it was.
bool CGmacAccessorImpl::GmacGetBootModeOverride(uint8_t& value, CLog* log)
{
    std::vector<uint8_t> reply;
    if (!ReadExact(kGetBootModeOverride, 1, reply, log, "Failed to issue GmacGetBootModeOverride",
                   "GmacGetBootModeOverride failure: Data size mismatch."))
    {
        return false;
    }
    value = reply[0];
    return true;
}

bool CGmacAccessorImpl::GmacSetBootModeOverride(uint8_t value, CLog* log)
{
    return WriteCommand(kSetBootModeOverride, {value}, log,
                        "Failed to issue GmacSetBootModeOverride");
}

bool CGmacAccessorImpl::GmacResetBoot(CLog* log)
{
    return WriteCommand(kResetBoot, {0x01}, log, "Failed to issue GmacResetBoot");
}

bool CGmacAccessorImpl::GmacGetCurrentMode(uint8_t& mode, CLog* log)
{
    std::vector<uint8_t> reply;
    if (BlockRead(kGetCurrentMode, reply) != kI2CDone)
    {
        GmacMessage("\n\n    Error communicating with GMAC entry from I2C Device Table,\n"
                    "    which failed to get current mode through I2C Slave Address \n    " +
                    ToHexString(m_slaveAddress, 2) + "/" +
                    (m_port == 0 ? "Primary port." : "Secondary port."));
        return false;
    }
    if (reply.size() != 1)
    {
        GmacDetail(log, "GmacGetCurrentMode failure: Data size mismatch.");
        return false;
    }
    mode = reply[0];
    Settle();
    return true;
}

bool CGmacAccessorImpl::GmacGetFlashMemorySize(uint32_t& size, CLog* log)
{
    std::vector<uint8_t> reply;
    if (!ReadExact(kGetFlashMemorySize, 4, reply, log, "Failed to issue GmacGetFlashMemorySize",
                   "GmacGetFlashMemorySize failure: Data size mismatch."))
    {
        return false;
    }
    size = reply[0] | (reply[1] << 8) | (reply[2] << 16) | (static_cast<uint32_t>(reply[3]) << 24);
    return true;
}

bool CGmacAccessorImpl::GmacGetPageBufferCheckSum(uint32_t& crc, CLog* log)
{
    std::vector<uint8_t> reply;
    if (!ReadExact(kGetPageBufferCheckSum, 4, reply, log,
                   "Failed to issue GmacGetPageBufferCheckSum.", "CRC data size mismatch."))
    {
        return false;
    }
    crc = reply[0] | (reply[1] << 8) | (reply[2] << 16) | (static_cast<uint32_t>(reply[3]) << 24);
    return true;
}

bool CGmacAccessorImpl::GmacStartPageEraseOperation(uint16_t page, CLog* log)
{
    return WriteCommand(kStartPageErase, Little16(page), log,
                        "Failed to issue GmacStartPageEraseOperation.");
}

bool CGmacAccessorImpl::GmacGetPageEraseStatus(uint8_t& status, CLog* log)
{
    std::vector<uint8_t> reply;
    if (!ReadExact(kGetPageEraseStatus, 1, reply, log, "Failed to issue GmacGetPageEraseStatus.",
                   "GmacGetPageEraseStatus failure: Data size mismatch."))
    {
        return false;
    }
    status = reply[0];
    return true;
}

bool CGmacAccessorImpl::GmacStartPageProgramOperation(uint16_t page, CLog* log)
{
    return WriteCommand(kStartPageProgram, Little16(page), log,
                        "Failed to issue GmacStartPageProgramOperation.");
}

bool CGmacAccessorImpl::GmacGetPageProgramStatus(uint8_t& status, CLog* log)
{
    std::vector<uint8_t> reply;
    if (!ReadExact(kGetPageProgramStatus, 1, reply, log,
                   "Failed to issue GmacGetPageProgramStatus.",
                   "GmacGetPageProgramStatus failure: Data size mismatch."))
    {
        return false;
    }
    status = reply[0];
    return true;
}

bool CGmacAccessorImpl::GmacGetAPPImageStatus(uint8_t& status, CLog* log)
{
    std::vector<uint8_t> reply;
    if (!ReadExact(kGetAppImageStatus, 1, reply, log, "Failed to issue GmacGetAPPImageStatus.",
                   "GmacGetAPPImageStatus failure: Data size mismatch."))
    {
        return false;
    }
    status = reply[0];
    return true;
}

bool CGmacAccessorImpl::GmacGetBootloaderVersion(uint16_t& version, CLog* log)
{
    std::vector<uint8_t> reply;
    if (!ReadExact(kGetBootloaderVersion, 2, reply, log,
                   "Failed to issue GmacGetBootloaderVersion.",
                   "GmacGetBootloaderVersion failure: Data size mismatch."))
    {
        return false;
    }
    version = static_cast<uint16_t>(reply[0] | (reply[1] << 8));
    return true;
}

int32_t CGmacAccessorImpl::GmacSetReadPage(uint16_t page, CLog* log)
{
    const int32_t status = BlockWrite(kSetReadPage, Little16(page));
    if (status == kI2CAddressNack || status == kI2CDataNack)
    {
        GmacDetail(log, "\n\n    Failed to issue SET_READ_PAGE(0x28) command,\n"
                        "    this application version command did NOT exist.");
        return kGmacReadUnsupported;
    }
    if (status != kI2CDone)
    {
        return kGmacReadFailed;
    }
    Settle();
    return kGmacReadDone;
}

bool CGmacAccessorImpl::GmacWriteDataToPageBuffer(uint8_t paragraph,
                                                  const std::vector<uint8_t>& bytes, CLog* log)
{
    if (paragraph >= kParagraphsPerPage)
    {
        GmacMessage("Invalid paragraph 0x" + ToHex(paragraph, 2));
        return false;
    }
    if (bytes.size() < kGmacParagraphSize)
    {
        GmacDetail(log, "GmacWriteDataToPageBuffer: Data size mismatch ( " +
                            ToHex(static_cast<uint32_t>(bytes.size()), 2) + " vs. " +
                            ToHex(kGmacParagraphSize, 2) + " )");
        return false;
    }
    const std::vector<uint8_t> data(bytes.begin(), bytes.begin() + kGmacParagraphSize);
    return WriteCommand(static_cast<uint8_t>(kPageBuffer + paragraph), data, log,
                        "Failed to issue GmacWriteDataToPageBuffer.");
}

bool CGmacAccessorImpl::GmacReadDataToPageBuffer(uint8_t paragraph, std::vector<uint8_t>& out,
                                                 CLog* log)
{
    if (paragraph >= kParagraphsPerPage)
    {
        GmacMessage("Invalid paragraph 0x" + ToHex(paragraph, 2));
        return false;
    }
    std::vector<uint8_t> reply;
    if (BlockRead(static_cast<uint8_t>(kPageBuffer + paragraph), reply) != kI2CDone)
    {
        GmacDetail(log, "Failed to issue GmacReadDataToPageBuffer");
        return false;
    }
    if (reply.size() != kGmacParagraphSize)
    {
        GmacDetail(log, "GmacReadDataToPageBuffer: Data size mismatch ( " +
                            ToHex(static_cast<uint32_t>(reply.size()), 2) + " vs. " +
                            ToHex(kGmacParagraphSize, 2) + " )");
        return false;
    }
    out = std::move(reply);
    Settle();
    return true;
}

bool CGmacAccessorImpl::SwitchMode(uint8_t target, CLog* log)
{
    const bool toApp = target == kModeApplication;
    uint8_t mode = 0;
    if (!GmacGetCurrentMode(mode, log))
    {
        GmacMessage("    Please confirm the GMAC MCU come with a bootloader\n"
                    "    that pre-programmed by manufacturer.");
        return false;
    }
    if (mode == target)
    {
        return true;
    }
    GmacDetail(log, std::string("\n\nChanging the GMAC MCU Mode from ") +
                        (mode != 0 ? "APP MODE" : "BL Mode") +
                        (toApp ? " to APP Mode." : " to BL Mode."));
    if (!GmacSetBootModeOverride(toApp ? 0 : 1, log))
    {
        GmacDetail(log, toApp ? "Failed to switch to APP mode." : "Failed to switch to BL mode.");
        return false;
    }
    if (!GmacResetBoot(log))
    {
        GmacDetail(log, "Failed to reset GMAC MCU.");
        return false;
    }
    // The switch counts only when the MCU confirms the new mode.
    uint8_t confirmed = 0;
    if (!GmacGetCurrentMode(confirmed, log) || confirmed != target)
    {
        GmacDetail(log, toApp ? "Failed to switch to APP mode on confirmation stage."
                              : "Failed to switch to BL mode on confirmation stage.");
        return false;
    }
    return true;
}

bool CGmacAccessorImpl::SwitchToAppMode(CLog* log)
{
    return SwitchMode(kModeApplication, log);
}

bool CGmacAccessorImpl::SwitchToBootloaderMode(CLog* log)
{
    return SwitchMode(kModeBootloader, log);
}

bool CGmacAccessorImpl::WritePageBuffer(const std::vector<uint8_t>& page, CLog* log)
{
    const size_t paragraphs =
        std::min<size_t>(page.size() / kGmacParagraphSize, kParagraphsPerPage);
    for (size_t j = 0; j < paragraphs; ++j)
    {
        const std::vector<uint8_t> bytes(
            page.begin() + static_cast<ptrdiff_t>(j * kGmacParagraphSize),
            page.begin() + static_cast<ptrdiff_t>((j + 1) * kGmacParagraphSize));
        if (!GmacWriteDataToPageBuffer(static_cast<uint8_t>(j), bytes, log))
        {
            GmacDetail(log,
                       "GmacWriteDataToPageBuffer failed " + ToHex(static_cast<uint32_t>(j), 2));
            return false;
        }
    }
    return true;
}

bool CGmacAccessorImpl::CheckPageBufferChecksum(const std::vector<uint8_t>& page, CLog* log)
{
    uint32_t mcuCrc = 0;
    if (!GmacGetPageBufferCheckSum(mcuCrc, log))
    {
        GmacDetail(log, "GmacGetPageBufferCheckSum() failed");
        return false;
    }
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(page.size(), kGmacPageSize));
    if (Crc32(page.data(), length) != mcuCrc)
    {
        GmacDetail(log, " => CRC mismatch.");
        return false;
    }
    return true;
}

bool CGmacAccessorImpl::PollStatus(bool erase, uint16_t page, CLog* log)
{
    uint8_t status = 0;
    for (int poll = 0; poll < kBusyPollLimit; ++poll)
    {
        const bool read =
            erase ? GmacGetPageEraseStatus(status, log) : GmacGetPageProgramStatus(status, log);
        if (!read)
        {
            GmacDetail(log, std::string(erase ? "GmacGetPageEraseStatus failed "
                                              : "GmacGetPageProgramStatus failed ") +
                                ToHex(status, 2));
            return false;
        }
        switch (status & 0x3)
        {
        case 1:
            continue;
        case 2:
            GmacDetail(log,
                       std::string(erase ? "Failed to erase page #" : "Failed to program page #") +
                           ToHex(status, 2));
            return false;
        default:
            return true;
        }
    }
    GmacDetail(log, std::string(erase ? "Page erase did not finish, page #"
                                      : "Page program did not finish, page #") +
                        ToHex(page, 2));
    return false;
}

bool CGmacAccessorImpl::ErasePage(uint16_t page, CLog* log)
{
    if (!GmacStartPageEraseOperation(page, log))
    {
        GmacDetail(log, "GmacStartPageEraseOperation failed " + ToHex(page, 2));
        return false;
    }
    return PollStatus(true, page, log);
}

bool CGmacAccessorImpl::ProgramPage(uint16_t page, CLog* log)
{
    if (!GmacStartPageProgramOperation(page, log))
    {
        GmacDetail(log, "GmacStartPageProgramOperation failed " + ToHex(page, 2));
        return false;
    }
    return PollStatus(false, page, log);
}

bool CGmacAccessorImpl::CheckAppImageStatus(CLog* log)
{
    uint8_t status = 0;
    if (!GmacGetAPPImageStatus(status, log))
    {
        GmacDetail(log, "GmacGetAPPImageStatus failed " + ToHex(status, 2));
        return false;
    }
    if ((status & 1) == 0)
    {
        GmacDetail(log, "Invalid application image" + ToHex(status, 2));
        return false;
    }
    return true;
}

int32_t CGmacAccessorImpl::ReadImage(std::vector<uint8_t>& out, uint32_t offset, uint32_t size,
                                     CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    if (!SwitchToAppMode(log))
    {
        GmacMessage("\nFailed to switch mode from BL to APP before starting to read image.");
        return kGmacReadFailed;
    }
    if (static_cast<uint64_t>(offset) + size > kGmacFlashLimit)
    {
        GmacMessage("Flash memory size exceeded.");
    }
    uint16_t page = static_cast<uint16_t>(offset / kGmacPageSize);
    uint32_t remaining = size;
    while (remaining > 0)
    {
        const int32_t result = GmacSetReadPage(page, log);
        if (result != kGmacReadDone)
        {
            return result;
        }
        for (uint32_t paragraph = (offset / kGmacParagraphSize) % kParagraphsPerPage;
             remaining > 0 && paragraph < kParagraphsPerPage; ++paragraph)
        {
            std::vector<uint8_t> reply;
            if (!GmacReadDataToPageBuffer(static_cast<uint8_t>(paragraph), reply, log))
            {
                GmacDetail(log, "Failed to read page data at " + ToHex(page, 2));
                return kGmacReadFailed;
            }
            const uint32_t start = offset % kGmacParagraphSize;
            const uint32_t n = std::min(kGmacParagraphSize - start, remaining);
            out.insert(out.end(), reply.begin() + start, reply.begin() + start + n);
            offset += n;
            remaining -= n;
        }
        if (remaining > 0)
        {
            std::cerr << "." << std::flush;
            ++page;
        }
    }
    GmacMessage("");
    return kGmacReadDone;
}
