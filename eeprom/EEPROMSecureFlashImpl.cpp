// CEEPROMSecureFlashImpl: identification, erase, protection, programming and
// reads through the microcode's EEPROM commands, and the image write.

#include "eeprom/EEPROMSecureFlashImpl.h"

#include "core/TextHelpers.h"

#include "common/core/crypto/Certificate.h"
#include "core/CrossPlatform.h"
#include "core/Range.h"
#include "eeprom/DisplayDriverRestore.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <stdexcept>

namespace
{
constexpr uint32_t kSecureProtectionRetryDelay = 10;
// The microcode's program flags: bit 0 asks it to program without erasing.
// With the bit clear it erases, where the new bytes need it, the erase blocks
// the range touches and keeps the rest of each. An erase-aware write leaves
// the erase to the microcode; a write that is not erase-aware programs
// without one, as the direct drivers do.
constexpr uint32_t kProgramWithoutErase = 1;

const char* const kUnknownPart = "Cannot program unknown EEPROM type";
const char* const kNotChecked =
    "Image has not passed the certificate check. VBIOS Security Check failed";
const char* const kNotTheCheckedImage =
    "Image differs from the one that passed the certificate check. VBIOS Security Check failed";
const char* const kStatusReadFailed = "Error: reading EEPROM status register failed";
const char* const kPageTooLarge = "Cannot program page larger than buffer";
} // namespace

CEEPROMSecureFlashImpl::CEEPROMSecureFlashImpl(CRefPtr<IDevice> device, int32_t retryCount,
                                               bool softwareRead)
    : CEEPROMSerialImpl(std::move(device), retryCount, softwareRead)
{
    m_secure = true;
}

CKestrixLoader& CEEPROMSecureFlashImpl::Loader(CLog& log)
{
    if (!m_loader)
    {
        ThrowWithDisplayRestored(
            log, std::runtime_error("Error: no microcode loader for the display adapter's EEPROM"));
    }
    return *m_loader;
}

void CEEPROMSecureFlashImpl::RequireKnownPart(CLog& log)
{
    if (!m_part.IsIdentified())
    {
        ThrowWithDisplayRestored(log, std::domain_error(kUnknownPart));
    }
}

void CEEPROMSecureFlashImpl::CheckUnprotected(const char* protectedText, CLog& log)
{
    uint32_t status = 0;
    if (Loader(log).ReadStatusRegister(0, status) != 0)
    {
        ThrowWithDisplayRestored(log, std::domain_error(kStatusReadFailed));
    }
    if ((status & m_part.WriteProtectMask) != 0)
    {
        ThrowWithDisplayRestored(log, std::runtime_error(protectedText));
    }
}

bool CEEPROMSecureFlashImpl::Identify(IEEPROMDatabase*, CLog& log)
{
    CKestrixLoader& loader = Loader(log);
    if (loader.IdentifyEEPROM() != 0)
    {
        ThrowWithDisplayRestored(
            log, std::runtime_error("Error: Display adapter's EEPROM ID process failed"));
    }
    m_part = loader.GetPartType();
    if (!m_part.IsIdentified())
    {
        return false;
    }
    m_identifyAttempted = true;
    m_reportedManufacturer = loader.GetEEPROMManufacturerID();
    m_reportedDevice = loader.GetEEPROMDeviceID();
    LogDetail(log, "Serial EEPROM Identify by PMU");
    return true;
}

void CEEPROMSecureFlashImpl::EraseChip(IUserInterface*, CLog& log)
{
    CheckUnprotected("Software write protection enabled, unable to erase EEPROM.", log);
    if (Loader(log).EraseChip() != 0)
    {
        ThrowWithDisplayRestored(
            log, std::runtime_error("Error: Display adapter's EEPROM Erase failed"));
    }
}

uint32_t CEEPROMSecureFlashImpl::ErasePages(IUserInterface*, uint32_t address, uint32_t count, bool,
                                            CLog& log)
{
    const uint32_t block = m_part.KbytesPerBlock * 1024u;
    if (block == 0)
    {
        ThrowWithDisplayRestored(
            log, std::runtime_error("Display adapter's EEPROM does not support block erase"));
    }
    if (count % block != 0)
    {
        ThrowWithDisplayRestored(log, std::domain_error("Can only erase full pages"));
    }
    if (address % block != 0)
    {
        ThrowWithDisplayRestored(
            log, std::domain_error("Can only erase pages starting on a page boundry"));
    }
    if (!m_part.IsIdentified() || !RangeFits(address, count, PartSize()))
    {
        ThrowWithDisplayRestored(
            log, std::domain_error(m_part.IsIdentified()
                                       ? "Can only erase pages within the identified device's size"
                                       : kUnknownPart));
    }
    CheckUnprotected("Software write protection enabled, unable to erase EEPROM pages.", log);
    if (Loader(log).EraseSectors(address, count / block) != 0)
    {
        ThrowWithDisplayRestored(log, std::domain_error("Error: EEPROM Erase Page process failed"));
    }
    return count;
}

void CEEPROMSecureFlashImpl::SetProtection(bool lock, CLog& log)
{
    RequireKnownPart(log);
    CKestrixLoader& loader = Loader(log);
    const uint32_t mask = m_part.WriteProtectMask;
    const std::string direction = lock ? "enable" : "disable";
    const std::string directionTitle = lock ? "Enable" : "Disable";
    for (int attempt = 0; attempt < kProtectionTries; ++attempt)
    {
        if (loader.SetProtection(lock ? 1 : 0) != 0)
        {
            LogDetail(log, "Error: KR_UCODE_ERR_CODE_CMD_NOERROR, and retry...");
            continue;
        }
        uint32_t status = 0;
        if (loader.ReadStatusRegister(0, status) != 0)
        {
            LogDetail(log, "Error: reading EEPROM status register failed during a post-check the "
                           "write-protection " +
                               direction + "d, and retry...");
            continue;
        }
        if ((status & mask) == (lock ? mask : 0u))
        {
            LogDetail(log, "Succeed to " + direction + " write-protection after " +
                               ToHex(static_cast<uint32_t>(attempt), 2) + " try.");
            return;
        }
        LogDetail(log,
                  "Error: " + directionTitle + " EEPROM protection function failed, and retry...");
        GetCrossPlatform()->DelayMicroseconds(kSecureProtectionRetryDelay);
    }
    ThrowWithDisplayRestored(log,
                             std::domain_error("Error: set EEPROM protection function failed"));
}

void CEEPROMSecureFlashImpl::Program(uint32_t address, IROMImage* image, int32_t imageOffset,
                                     uint32_t count, bool eraseAware, bool, CLog& log)
{
    LogDetail(log, "Program page.");
    LogDetail(log, "Start: 0x" + ToHex(address, 8));
    LogDetail(log, "Count: " + std::to_string(count));
    CKestrixLoader& loader = Loader(log);
    if (count > loader.GetDataBufferSize())
    {
        ThrowWithDisplayRestored(log, std::domain_error(kPageTooLarge));
    }
    RequireKnownPart(log);
    if (!image || !RangeFits(UnsignedOffset(imageOffset), count, ImageBufferLimit(image)))
    {
        ThrowWithDisplayRestored(log,
                                 std::domain_error("Image range to write is outside the image"));
    }
    CheckUnprotected("Software write protection enabled, unable to program EEPROM.", log);
    const std::span<const uint8_t> bytes(image->GetBuffer() + static_cast<uint32_t>(imageOffset),
                                         count);
    if (loader.ProgramEEPROM(address, bytes, eraseAware ? 0u : kProgramWithoutErase) != 0)
    {
        ThrowWithDisplayRestored(log, std::domain_error("Error: EEPROM Program failed"));
    }
}

void CEEPROMSecureFlashImpl::ProgramPage(uint32_t address, IROMImage* image, int32_t imageOffset,
                                         uint32_t count, CLog& log)
{
    Program(address, image, imageOffset, count, true, true, log);
}

void CEEPROMSecureFlashImpl::ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer)
{
    if (!ReadsBySoftware())
    {
        if (!AdapterPtr())
        {
            CEEPROMBaseImpl::ReadBytes(address, count, buffer);
            return;
        }
        for (uint32_t i = 0; i < count; ++i)
        {
            buffer[i] = AdapterPtr()->ReadROMByte(static_cast<int32_t>(address + i));
        }
        return;
    }
    if (!m_loader || m_loader->ReadEEPROM(address, {buffer, count}) != 0)
    {
        throw std::domain_error("Error: EEPROM Read failed");
    }
}

std::vector<VpdaWriteRange> CEEPROMSecureFlashImpl::CheckVpda(uint32_t imageOffset, uint32_t count)
{
    if (m_acceptance == EAcceptance::None)
    {
        throw std::domain_error(kNotChecked);
    }
    // Only a verification by the microcode leaves information about this
    // image; an image accepted in software goes in data-buffer pieces.
    static const KestrixCertificateInformation kNone;
    const bool verified = m_acceptance == EAcceptance::Microcode && m_loader;
    return ComputeVpdaWriteRanges(verified ? m_loader->GetCertificateInformation() : kNone,
                                  imageOffset, count);
}

namespace
{
// The span [offset, offset + count) in pieces of the data buffer.
std::vector<VpdaWriteRange> BufferPieces(uint32_t offset, uint32_t count, uint32_t buffer)
{
    std::vector<VpdaWriteRange> pieces;
    for (uint32_t done = 0; done < count;)
    {
        const uint32_t length = std::min(buffer, count - done);
        pieces.push_back({offset + done, length});
        done += length;
    }
    return pieces;
}
} // namespace

void CEEPROMSecureFlashImpl::CheckWritable(IROMImage* image, uint32_t imageOffset, uint32_t count,
                                           const std::vector<VpdaWriteRange>& ranges, CLog& log)
{
    if (!image || !RangeFits(imageOffset, count, ImageBufferLimit(image)))
    {
        ThrowWithDisplayRestored(log,
                                 std::domain_error("Image range to write is outside the image"));
    }
    // Each range is written at the address equal to its image offset.
    if (!RangeFits(imageOffset, count, PartSize()))
    {
        ThrowWithDisplayRestored(
            log, std::domain_error("Can only write within the identified device's size"));
    }
    const uint32_t buffer = Loader(log).GetDataBufferSize();
    for (const VpdaWriteRange& range : ranges)
    {
        if (range.length > buffer)
        {
            ThrowWithDisplayRestored(log, std::domain_error(kPageTooLarge));
        }
    }
}

void CEEPROMSecureFlashImpl::EraseBeforeWrite(IUserInterface* ui, uint32_t address, uint32_t count,
                                              CLog& log)
{
    if (ui)
    {
        ui->ShowMessage(0, "Erasing EEPROM");
    }
    const uint64_t block = m_part.KbytesPerBlock * 1024u;
    // Without erase blocks the whole chip goes; with them, only the blocks
    // the span touches. Either way the bytes outside the span are kept.
    const uint64_t start = block != 0 ? address / block * block : 0;
    const uint64_t end = block != 0 ? (uint64_t{address} + count + block - 1) / block * block
                                    : PartSize();
    if (end > PartSize() || end > UINT32_MAX)
    {
        ThrowWithDisplayRestored(
            log, std::domain_error("Can only erase pages within the identified device's size"));
    }
    const std::vector<uint8_t> head = ReadKept(static_cast<uint32_t>(start), address - start);
    const std::vector<uint8_t> tail = ReadKept(address + count, end - address - count);
    try
    {
        if (block == 0)
        {
            EraseChip(ui, log);
        }
        else
        {
            EraseBlocks(ui, static_cast<uint32_t>(start), static_cast<uint32_t>(end - start), log);
        }
    }
    catch (...)
    {
        log << LogLevel(4) << "EEPROM erase failed." << LogEndl;
        throw;
    }
    ProgramBack(static_cast<uint32_t>(start), head, log);
    ProgramBack(address + count, tail, log);
}

void CEEPROMSecureFlashImpl::EraseBlocks(IUserInterface* ui, uint32_t address, uint32_t count,
                                         CLog& log)
{
    if (ErasePages(ui, address, count, true, log) != count)
    {
        ThrowWithDisplayRestored(log, std::runtime_error("Sector erase failed."));
    }
}

std::vector<uint8_t> CEEPROMSecureFlashImpl::ReadKept(uint32_t address, uint64_t count)
{
    std::vector<uint8_t> bytes(count);
    if (!bytes.empty())
    {
        ReadBytes(address, static_cast<uint32_t>(count), bytes.data());
    }
    return bytes;
}

void CEEPROMSecureFlashImpl::ProgramBack(uint32_t address, const std::vector<uint8_t>& bytes,
                                         CLog& log)
{
    if (bytes.empty())
    {
        return;
    }
    CheckUnprotected("Software write protection enabled, unable to program EEPROM.", log);
    // The loader sends the bytes in pieces of its data buffer.
    if (Loader(log).ProgramEEPROM(address, bytes, kProgramWithoutErase) != 0)
    {
        ThrowWithDisplayRestored(log, std::domain_error("Error: EEPROM Program failed"));
    }
}

uint32_t CEEPROMSecureFlashImpl::WriteImage(IUserInterface* ui, uint32_t address, IROMImage* image,
                                            int32_t imageOffset, uint32_t count, bool eraseAware,
                                            bool reserved, CLog& log)
{
    RequireKnownPart(log);
    const uint32_t offset = static_cast<uint32_t>(imageOffset);
    // Every range goes to the EEPROM address equal to its image offset; an
    // address elsewhere would have the erase and the programs miss each other.
    if (address != offset)
    {
        ThrowWithDisplayRestored(
            log, std::domain_error("Secure EEPROM writes go to the image's own offsets"));
    }
    std::vector<VpdaWriteRange> ranges = CheckVpda(offset, count);
    if (ranges.empty() && count != 0)
    {
        const uint32_t buffer = Loader(log).GetDataBufferSize();
        if (buffer == 0)
        {
            ThrowWithDisplayRestored(log, std::domain_error(kPageTooLarge));
        }
        ranges = BufferPieces(offset, count, buffer);
    }
    CheckWritable(image, offset, count, ranges, log);
    TakeVerdict(*image);

    CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
    if (Device().GetDeviceKind() == kEraseFirstDeviceKind)
    {
        EraseBeforeWrite(ui, address, count, log);
    }
    CProgressScope progress(ui, 3);
    CRomWindowScope windows(*this, log);
    const uint32_t page = m_part.BytesPerPage != 0 ? m_part.BytesPerPage : 1u;
    uint32_t written = 0;
    for (const VpdaWriteRange& range : ranges)
    {
        Program(range.offset, image, static_cast<int32_t>(range.offset), range.length, eraseAware,
                reserved, log);
        written += range.length;
        if (ui)
        {
            ui->ShowProgress(static_cast<int>(written / page),
                             static_cast<int>((uint64_t{count} + page - 1) / page),
                             static_cast<int>(kProgressTotal / page), 3);
        }
    }
    enabler.Close();
    return written;
}

void CEEPROMSecureFlashImpl::RunConsole()
{
    if (m_loader)
    {
        m_loader->RunConsole();
    }
}

void CEEPROMSecureFlashImpl::RunConsoleWithMessage(const std::string& message)
{
    if (m_loader)
    {
        m_loader->RunConsoleWithMessage(message);
    }
}

uint32_t CEEPROMSecureFlashImpl::VerifyImage(CRefPtr<IDisplayAdapter> adapter,
                                             CRefPtr<IROMImage> image,
                                             CRefPtr<IBCRTCert> certificate, CLog& log,
                                             bool console)
{
    CKestrixLoader& loader = Loader(log);
    // Whatever passed before, this image has not passed yet.
    m_acceptance = EAcceptance::None;
    m_verdict.reset();
    loader.SetRouteToUserInterface(console);
    std::vector<uint8_t> certificateData;
    if (certificate && certificate->IsValid() && certificate->GetData())
    {
        certificateData.assign(certificate->GetData(),
                               certificate->GetData() + certificate->GetDataSize());
    }
    const uint32_t result = loader.SendVVCommand(
        std::move(adapter), image, certificateData.empty() ? nullptr : &certificateData, &log);
    if (result == 0 && image)
    {
        // The protected areas the verification named are bound with the
        // signed ranges; a block that cannot cut the image binds none here
        // and refuses the write later.
        std::vector<VpdaWriteRange> protectedAreas;
        try
        {
            COffsetModeScope wholeBuffer(image.get(), false);
            ComputeVpdaWriteRanges(loader.GetCertificateInformation(), 0, image->GetLoadedSize(),
                                   protectedAreas);
        }
        catch (const std::domain_error&)
        {
            protectedAreas.clear();
        }
        m_verdict = BindSecureWriteVerdict(*image, protectedAreas);
        m_acceptance = EAcceptance::Microcode;
    }
    return result;
}

void CEEPROMSecureFlashImpl::SetSoftwareVerdict(IROMImage* accepted)
{
    m_acceptance = accepted ? EAcceptance::Software : EAcceptance::None;
    m_verdict.reset();
    if (accepted)
    {
        m_verdict = BindSecureWriteVerdict(*accepted, {});
    }
}

void CEEPROMSecureFlashImpl::TakeVerdict(IROMImage& image)
{
    const bool matches = m_verdict && ImageMatchesVerdict(image, *m_verdict);
    // One acceptance, one write: a refused write uses it up as well, so that
    // nothing is retried under it.
    m_acceptance = EAcceptance::None;
    m_verdict.reset();
    if (!matches)
    {
        throw std::domain_error(kNotTheCheckedImage);
    }
}
