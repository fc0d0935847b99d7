#include "eeprom/EEPROMBaseImpl.h"

#include "core/Range.h"
#include "core/TextHelpers.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/ROMAccessScope.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <stdexcept>

namespace
{
constexpr uint32_t kImageCopyLimit = 0x20000;
// Decode registers that can map part of the register space onto the EEPROM.
constexpr uint32_t kWindowBaseRegister = 0x122400;
constexpr uint32_t kWindowEnableRegister = 0x122600;
constexpr uint32_t kWindowRegisterCount = 32;
constexpr uint32_t kEepromWindowStart = 0x300000;
constexpr uint32_t kEepromWindowEnd = 0x380000;

bool IsPowerOfTwo(uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

uint64_t RoundDown(uint64_t value, uint64_t unit)
{
    return value - value % unit;
}

uint64_t RoundUp(uint64_t value, uint64_t unit)
{
    return RoundDown(value + unit - 1, unit);
}

void DumpPage(CLog& log, uint32_t address, IROMImage* image, int32_t imageOffset,
              const std::vector<uint8_t>& actual)
{
    for (uint32_t i = 0; i < actual.size(); ++i)
    {
        if (i % 8 == 0)
        {
            log << ToHex(address + i, 8);
        }
        const uint8_t expected = image->GetByte(static_cast<int32_t>(imageOffset + i));
        log << " " << ToHex(expected, 2) << (expected == actual[i] ? "|" : "*")
            << ToHex(actual[i], 2);
        if (i % 8 == 7)
        {
            log << LogEndl;
        }
    }
    if (actual.size() % 8 != 0)
    {
        log << LogEndl;
    }
}
} // namespace

uint64_t ImageBufferLimit(IROMImage* image)
{
    const uint32_t window = image->GetWindowOffset();
    return window < kImageBufferSize ? kImageBufferSize - window : 0;
}

void LogDetail(CLog& log, const std::string& text)
{
    log << LogLevel(3) << text << LogEndl;
}

// ---- guards ----------------------------------------------------------------

CEEPROMEnabler::CEEPROMEnabler(CRefPtr<IDevice> device, CRefPtr<IDisplayAdapter> adapter)
    : m_device(std::move(device)), m_adapter(std::move(adapter))
{
    m_adapter ? m_adapter->EnableROMAccess() : m_device->EnableROMAccess();
    m_active = true;
}

CEEPROMEnabler::~CEEPROMEnabler()
{
    if (!std::exchange(m_active, false))
    {
        return;
    }
    if (!m_adapter)
    {
        RestoreROMAccessQuietly(*m_device);
        return;
    }
    // Never throws: the error that unwinds, if any, is the one the user sees.
    try
    {
        m_adapter->RestoreROMAccess();
    }
    catch (const std::exception& error)
    {
        LogRestoreFailure(error);
    }
    catch (...)
    {
    }
}

void CEEPROMEnabler::Close()
{
    if (std::exchange(m_active, false))
    {
        m_adapter ? m_adapter->RestoreROMAccess() : m_device->RestoreROMAccess();
    }
}

void CEEPROMEnabler::LogRestoreFailure(const std::exception& error) noexcept
{
    try
    {
        *GetLog() << LogLevel(4) << "Could not restore EEPROM access: " << error.what() << LogEndl;
    }
    catch (...)
    {
    }
}

CProgressScope::~CProgressScope()
{
    if (m_ui)
    {
        try
        {
            m_ui->EndProgress(m_operation);
        }
        catch (...)
        {
        }
    }
}

void CProgressScope::Show(int position, int end, int total)
{
    if (m_ui && m_operation != 0)
    {
        m_ui->ShowProgress(position, end, total, m_operation);
    }
}

// ---- base ------------------------------------------------------------------

CEEPROMBaseImpl::CEEPROMBaseImpl(CRefPtr<IDevice> device) : m_device(std::move(device))
{
    if (!m_device)
    {
        throw std::invalid_argument("An EEPROM needs its device");
    }
}

std::ostream& CEEPROMBaseImpl::Describe(std::ostream& out)
{
    out << "EEPROM ID (" << ToHex(m_reportedManufacturer, 2) << "," << ToHex(m_reportedDevice, 4)
        << ") : ";
    if (!m_part.IsIdentified())
    {
        return out << "Unknown";
    }
    out << m_part.ManufacturerCodeName << " " << m_part.PartName << " " << m_part.Voltage << "V "
        << m_part.GetSizeText() << (m_part.SerialPart ? "S" : "") << ", "
        << (m_part.BytesPerPage == 1 ? "byte" : "page");
    return out;
}

void CEEPROMBaseImpl::CheckGeometry(bool eraseAware) const
{
    const uint32_t page = m_part.BytesPerPage;
    const uint32_t block = m_part.KbytesPerBlock * 1024u;
    // A page of 0 bytes gives the write no way forward.
    if (!IsPowerOfTwo(page))
    {
        throw std::domain_error("bytesPerPage is not a power of 2");
    }
    if (page > kMaxPageSize)
    {
        throw std::domain_error("bytesPerPage is greater than 1024");
    }
    // A part that must be erased before writing but has no erase block cannot
    // be written at all.
    if ((block != 0 && !IsPowerOfTwo(block)) ||
        (m_part.EraseReqBeforeChipSectorWrite && block == 0))
    {
        throw std::domain_error("bytesPerEraseBlock is not a power of 2");
    }
    if (m_part.EraseReqBeforeChipSectorWrite && eraseAware && block < page)
    {
        throw std::domain_error("bytesPerPage is greater than bytesPerEraseBlock");
    }
}

std::vector<std::pair<uint32_t, uint32_t>> CEEPROMBaseImpl::SplitPages(uint32_t address,
                                                                       uint32_t count) const
{
    std::vector<std::pair<uint32_t, uint32_t>> pages;
    const uint64_t page = m_part.BytesPerPage;
    const uint64_t end = uint64_t{address} + count;
    for (uint64_t start = address; start < end;)
    {
        const uint64_t next = std::min(RoundDown(start, page) + page, end);
        pages.emplace_back(static_cast<uint32_t>(start), static_cast<uint32_t>(next - start));
        start = next;
    }
    return pages;
}

uint32_t CEEPROMBaseImpl::WriteImage(IUserInterface* ui, uint32_t address, IROMImage* image,
                                     int32_t imageOffset, uint32_t count, bool eraseAware, bool,
                                     CLog& log)
{
    if (!m_part.IsIdentified())
    {
        throw std::domain_error("Cannot program unknown EEPROM type");
    }
    CheckGeometry(eraseAware);
    if (!image || !RangeFits(static_cast<uint32_t>(imageOffset), count, ImageBufferLimit(image)))
    {
        throw std::domain_error("Image range to write is outside the image");
    }
    if (!RangeFits(address, count, std::min<uint64_t>(PartSize(), kImageBufferSize)))
    {
        throw std::domain_error("Can only write within the identified device's size");
    }
    if (count == 0)
    {
        return 0;
    }

    const uint32_t page = m_part.BytesPerPage;
    const uint32_t block = m_part.KbytesPerBlock * 1024u;
    const bool eraseRequired = m_part.EraseReqBeforeChipSectorWrite;

    // The scratch image holds the current contents of every erase block the
    // write touches (of every page, for a part without erase blocks), so that
    // the comparison sees what the chip holds and an erased block's bytes
    // outside the write can be put back.
    CRefPtr<IROMImage> scratch = IROMImage::Create(image->GetImageType());
    scratch->SetOffsetMode(false);
    const uint64_t readUnit = block != 0 ? block : page;
    const uint64_t readStart = RoundDown(address, readUnit);
    const uint64_t readEnd = RoundUp(uint64_t{address} + count, readUnit);
    const uint32_t readCount = static_cast<uint32_t>(readEnd - readStart);
    if (Read(ui, static_cast<uint32_t>(readStart), readCount, static_cast<int32_t>(readStart),
             scratch.get(), log) != readCount)
    {
        throw std::runtime_error("Unable to read EEPROM");
    }

    CProgressScope progress(ui, 3);
    const uint32_t unit = eraseRequired ? block : page;
    std::vector<bool> pageFlags(unit / page, true);
    const uint64_t end = uint64_t{address} + count;
    uint64_t current = address;
    int32_t offset = imageOffset;
    uint32_t blockPart = std::min(count, unit - address % unit);
    uint32_t total = 0;
    while (current < end)
    {
        bool needsErase = false;
        CompareBlock(scratch.get(), static_cast<uint32_t>(current), image, offset, blockPart,
                     needsErase, pageFlags, log);
        total += ProgramBlock(ui, scratch.get(), static_cast<uint32_t>(current), image, offset,
                              blockPart, eraseAware && needsErase, pageFlags, log);
        current += blockPart;
        offset += static_cast<int32_t>(blockPart);
        blockPart = static_cast<uint32_t>(std::min<uint64_t>(unit, end - current));
    }
    return total;
}

void CEEPROMBaseImpl::ComparePage(const uint8_t* current, const uint8_t* wanted, uint32_t count,
                                  bool& needsErase, bool& differs)
{
    needsErase = false;
    differs = false;
    for (uint32_t i = 0; i < count; ++i)
    {
        if (current[i] != wanted[i])
        {
            differs = true;
            if (m_part.EraseReqBeforeChipSectorWrite && (current[i] & wanted[i]) != wanted[i])
            {
                needsErase = true;
                return;
            }
        }
    }
}

void CEEPROMBaseImpl::CompareBlock(IROMImage* current, uint32_t address, IROMImage* wanted,
                                   int32_t imageOffset, uint32_t count, bool& needsErase,
                                   std::vector<bool>& pageFlags, CLog& log)
{
    if (!IsPowerOfTwo(m_part.BytesPerPage))
    {
        throw std::domain_error("bytesPerPage is not a power of 2");
    }
    needsErase = false;
    LogDetail(log, "Comparing data for block at 0x" + ToHex(address, 8));
    const uint8_t* currentBytes = current->GetBuffer();
    const uint8_t* wantedBytes = wanted->GetBuffer() + static_cast<uint32_t>(imageOffset);
    const auto pages = SplitPages(address, count);
    // Every page gets its flag, also after one that needs an erase, so that a
    // write without erasing never works from the flags of an earlier block.
    bool eraseLogged = false;
    for (size_t i = 0; i < pages.size() && i < pageFlags.size(); ++i)
    {
        const auto [pageAddress, length] = pages[i];
        bool pageNeedsErase = false;
        bool differs = false;
        ComparePage(currentBytes + pageAddress, wantedBytes + (pageAddress - address), length,
                    pageNeedsErase, differs);
        pageFlags[i] = differs;
        if (pageNeedsErase && !eraseLogged)
        {
            needsErase = true;
            eraseLogged = true;
            LogDetail(log, "Erase required for page at 0x" + ToHex(address, 8));
        }
    }
}

uint32_t CEEPROMBaseImpl::ProgramBlock(IUserInterface* ui, IROMImage* current, uint32_t address,
                                       IROMImage* wanted, int32_t imageOffset, uint32_t count,
                                       bool erase, std::vector<bool>& pageFlags, CLog& log)
{
    CheckGeometry(erase);
    const uint32_t page = m_part.BytesPerPage;
    const uint32_t block = m_part.KbytesPerBlock * 1024u;
    if (erase)
    {
        if (address % block != 0)
        {
            throw std::domain_error("Cannot erase unaligned block");
        }
        ErasePages(ui, address, block, false, log);
    }

    CEEPROMEnabler enabler(m_device, m_adapter);
    CRomWindowScope windows(*this, log);

    const auto pages = SplitPages(address, count);
    const int pageTotal = static_cast<int>((uint64_t{count} + page - 1) / page);
    const bool blockHasTail = erase && count < block;
    uint32_t done = 0;
    try
    {
        for (size_t i = 0; i < pages.size(); ++i)
        {
            const auto [pageAddress, length] = pages[i];
            if (erase || (i < pageFlags.size() && pageFlags[i]))
            {
                ProgramPage(pageAddress, wanted,
                            imageOffset + static_cast<int32_t>(pageAddress - address), length, log);
            }
            done += length;
            if (ui)
            {
                ui->ShowProgress(static_cast<int>(done / page), pageTotal,
                                 static_cast<int>(kProgressTotal / page), 3);
            }
        }
    }
    catch (...)
    {
        // The block is already erased: the bytes the caller never asked to
        // touch go back before the original failure is reported.
        if (blockHasTail)
        {
            RestoreBlockTail(current, address + count, address + block, log, true);
        }
        throw;
    }
    if (blockHasTail)
    {
        RestoreBlockTail(current, address + count, address + block, log, false);
    }
    return done;
}

void CEEPROMBaseImpl::RestoreBlockTail(IROMImage* current, uint32_t from, uint32_t blockEnd,
                                       CLog& log, bool bestEffort)
{
    const uint8_t* bytes = current->GetBuffer();
    for (const auto& [pageAddress, length] : SplitPages(from, blockEnd - from))
    {
        const uint8_t* pageBytes = bytes + pageAddress;
        if (std::all_of(pageBytes, pageBytes + length, [](uint8_t b) { return b == 0xFF; }))
        {
            continue;
        }
        LogDetail(log, "Restoring erased contents at 0x" + ToHex(pageAddress, 8));
        if (!bestEffort)
        {
            ProgramPage(pageAddress, current, static_cast<int32_t>(pageAddress), length, log);
            continue;
        }
        try
        {
            ProgramPage(pageAddress, current, static_cast<int32_t>(pageAddress), length, log);
        }
        catch (const std::exception& error)
        {
            LogDetail(log, "Could not restore erased contents at 0x" + ToHex(pageAddress, 8) +
                               ": " + error.what());
        }
        catch (...)
        {
            LogDetail(log, "Could not restore erased contents at 0x" + ToHex(pageAddress, 8));
        }
    }
}

bool CEEPROMBaseImpl::VerifyPage(uint32_t address, IROMImage* image, int32_t imageOffset,
                                 uint32_t count, int32_t attempt, CLog& log)
{
    log << "Verifying page." << LogEndl;
    std::vector<uint8_t> actual(count);
    ReadBytes(address, count, actual.data());
    for (uint32_t i = 0; i < count; ++i)
    {
        const uint8_t expected = image->GetByte(imageOffset + static_cast<int32_t>(i));
        if (expected == actual[i])
        {
            continue;
        }
        log << LogLevel(3) << "Mismatch in compare of page after page programming." << LogEndl;
        log << "Attempt: " << attempt << LogEndl;
        log << "Page size: " << count << " bytes" << LogEndl;
        log << "Start of page: 0x" << ToHex(address, 8) << LogEndl;
        log << "Byte: 0x" << ToHex(address + i, 8) << LogEndl;
        log << "Expected: 0x" << ToHex(expected, 2) << LogEndl;
        log << "Actual: 0x" << ToHex(actual[i], 2) << LogEndl;
        log << "Full page dump (expected|actual)" << LogEndl;
        DumpPage(log, address, image, imageOffset, actual);
        ReadBytes(address, count, actual.data());
        log << "Full page dump of second read (expected|actual)" << LogEndl;
        DumpPage(log, address, image, imageOffset, actual);
        return false;
    }
    return true;
}

CEEPROMBaseImpl::CRomWindowScope::CRomWindowScope(CEEPROMBaseImpl& owner, CLog& log)
    : m_owner(owner), m_log(log)
{
    m_owner.SaveRomWindow(m_log);
}

CEEPROMBaseImpl::CRomWindowScope::~CRomWindowScope()
{
    try
    {
        m_owner.RestoreRomWindow(m_log);
    }
    catch (...)
    {
        // A destructor must not throw; the error that unwinds matters more.
    }
}

void CEEPROMBaseImpl::SaveRomWindow(CLog&)
{
    if (!TraitsOfDeviceKind(m_device->GetDeviceKind()).romWindows)
    {
        return;
    }
    for (uint32_t i = 0; i < kWindowRegisterCount; ++i)
    {
        const uint32_t base = m_device->Read32(kWindowBaseRegister + 4 * i) & 0x3FFFFFFu;
        if (base < kEepromWindowStart || base >= kEepromWindowEnd)
        {
            continue;
        }
        const uint32_t enable = m_device->Read32(kWindowEnableRegister + 4 * i);
        if (enable != 0)
        {
            m_savedWindows.emplace_back(i, enable);
            m_device->Write32(kWindowEnableRegister + 4 * i, 0);
        }
    }
}

void CEEPROMBaseImpl::RestoreRomWindow(CLog&)
{
    const auto saved = std::exchange(m_savedWindows, {});
    for (const auto& [index, value] : saved)
    {
        m_device->Write32(kWindowEnableRegister + 4 * index, value);
    }
}

void CEEPROMBaseImpl::ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer)
{
    for (uint32_t i = 0; i < count; ++i)
    {
        buffer[i] = m_device->ReadROMByte(static_cast<int32_t>(address + i));
    }
}

void CEEPROMBaseImpl::WriteRomByte(uint32_t address, uint8_t value)
{
    m_device->WriteROMByte(static_cast<int32_t>(address), value);
}

uint32_t CEEPROMBaseImpl::ClampReadCount(uint32_t address, uint32_t count) const
{
    const uint32_t size = PartSize();
    if (address > size)
    {
        throw std::domain_error("Can only read within the identified device's size");
    }
    return std::min(count, size - address);
}

uint32_t CEEPROMBaseImpl::ReadIntoImage(IUserInterface* ui, uint32_t address, uint32_t count,
                                        int32_t imageOffset, IROMImage* destination, CLog& log,
                                        int progressTotal, bool logEachChunk)
{
    CProgressScope progress(ui, 4);
    LogDetail(log, "Reading EEPROM bytes.");
    LogDetail(log, "Start: 0x" + ToHex(address, 8));
    LogDetail(log, "Count: " + std::to_string(count));
    std::vector<uint8_t> chunk(kReadChunk);
    uint32_t done = 0;
    while (done < count)
    {
        const uint32_t length = std::min(kReadChunk, count - done);
        ReadBytes(address + done, length, chunk.data());
        destination->WriteBlock(chunk.data(), imageOffset + static_cast<int32_t>(done), length);
        done += length;
        progress.Show(static_cast<int>(done), static_cast<int>(count), progressTotal);
        if (logEachChunk)
        {
            LogDetail(log, "sizeBytesRead: " + std::to_string(done));
        }
    }
    LogDetail(log, "Read complete.");
    return done;
}

uint32_t CEEPROMBaseImpl::Read(IUserInterface* ui, uint32_t address, uint32_t count,
                               int32_t imageOffset, IROMImage* destination, CLog& log)
{
    count = ClampReadCount(address, count);
    CEEPROMEnabler enabler(m_device, m_adapter);
    const uint32_t done = ReadIntoImage(ui, address, count, imageOffset, destination, log,
                                        static_cast<int>(kProgressTotal), false);
    enabler.Close();
    return done;
}

CRefPtr<IROMImage> CEEPROMBaseImpl::ReadImage(IUserInterface* ui, uint32_t count, CLog& log)
{
    const uint32_t size = PartSize();
    count = std::min({count, size, kImageBufferSize});

    CEEPROMEnabler enabler(m_device, m_adapter);
    CProgressScope progress(ui, 4);
    CRomWindowScope windows(*this, log);

    LogDetail(log, "Reading EEPROM bytes.");
    LogDetail(log, "Start: 0x00000000");
    LogDetail(log, "Count: " + std::to_string(count));
    uint8_t head[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    ReadBytes(0, std::min<uint32_t>(4, size), head);
    CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(head, 4);
    {
        COffsetModeScope bufferOffsets(image.get(), false);
        std::vector<uint8_t> chunk(kReadChunk);
        for (uint32_t done = 0; done < count;)
        {
            const uint32_t length = std::min(kReadChunk, count - done);
            ReadBytes(done, length, chunk.data());
            image->WriteBlock(chunk.data(), static_cast<int32_t>(done), length);
            done += length;
            progress.Show(static_cast<int>(done), static_cast<int>(count), static_cast<int>(size));
        }
    }
    image->Parse();
    LogDetail(log, "Read complete.");
    return image;
}

CRefPtr<IROMImage> CEEPROMBaseImpl::ReadImageCopy(IUserInterface* ui, uint32_t count, CLog& log)
{
    CProgressScope progress(ui, 4);
    LogDetail(log, "Reading image copy bytes.");
    LogDetail(log, "Count: " + std::to_string(count));
    uint8_t head[4];
    for (uint32_t i = 0; i < 4; ++i)
    {
        head[i] = m_device->ReadROMWindowByte(i);
    }
    CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(head, 4);
    count = std::min(count, kImageCopyLimit);
    for (uint32_t i = 0; i < count; ++i)
    {
        image->SetByte(static_cast<int32_t>(i), m_device->ReadROMWindowByte(i));
        progress.Show(static_cast<int>(i), static_cast<int>(kProgressTotal),
                      static_cast<int>(kProgressTotal));
    }
    LogDetail(log, "Read complete.");
    return image;
}
