// Qualification tests of an adapter's EEPROM: the write/verify test writes a
// changing pattern into one range pass after pass, the read test writes one
// pattern once and reads it back pass after pass. Both leave their last
// pattern in the range.

#include "core/TextHelpers.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"

#include <stdexcept>

namespace
{
constexpr uint32_t kPatternModulus = 251;

// The programming unit: the page, or the erase block of a part that must be
// erased before it is written when that block is larger.
uint32_t TestUnit(const CEEPROMType& type)
{
    const uint32_t block = uint32_t{type.KbytesPerBlock} * 1024;
    if (type.EraseReqBeforeChipSectorWrite && block > type.BytesPerPage)
    {
        return block;
    }
    return type.BytesPerPage;
}

uint8_t WriteVerifyPattern(uint32_t i, int32_t pass)
{
    const auto rolling = static_cast<uint8_t>((i + static_cast<uint32_t>(pass)) % kPatternModulus);
    switch (pass % 4)
    {
    case 0:
        return rolling;
    case 1:
        return static_cast<uint8_t>(~rolling);
    case 2:
        return 0x55;
    default:
        return 0xAA;
    }
}

// Widens [start, start + length) to whole units; false when any of it lies
// past the part, so that no pass addresses the part past its end.
bool PlanTestRange(uint32_t unit, uint32_t partSize, uint32_t& start, uint32_t& length)
{
    if (unit == 0)
    {
        return false;
    }
    if (length == 0)
    {
        length = unit;
    }
    const uint64_t first = start - start % unit;
    const uint64_t end = (first + length + unit - 1) / unit * unit;
    if (end > partSize)
    {
        return false;
    }
    start = static_cast<uint32_t>(first);
    length = static_cast<uint32_t>(end - first);
    return true;
}
} // namespace

void RefusePatternTestOnSecureEEPROM(IEEPROM& eeprom, const std::string& test)
{
    if (eeprom.IsSecure())
    {
        throw std::runtime_error(
            test + " cannot run on this display adapter: its EEPROM takes only firmware that "
                   "passed the certificate check. Nothing was erased.");
    }
}

CRefPtr<IROMImage> CFlasherImpl::BeginEEPROMTest(bool writeVerify, CRefPtr<IUserInterface> ui,
                                                 CRefPtr<IPCIBus> bus,
                                                 CRefPtr<IDisplayAdapter> adapter,
                                                 CRefPtr<IEEPROMDatabase> database,
                                                 CRefPtr<IEEPROM>& eeprom, uint32_t& start,
                                                 uint32_t& length, uint32_t& unit, CLog* log)
{
    LogLine(log, 3, writeVerify ? "Action: Test flashing." : "Action: Test reading.");
    LogLine(log, 3, "Attempts: " + std::to_string(m_settings.retries));
    AdapterOpening opening = EngineOpening(AdapterUse::Destroys, bus, database, true);
    opening.handOverDisplay = false;
    eeprom = OpenAdapterSession(adapter, opening, ui, log)->EEPROM();
    RefusePatternTestOnSecureEEPROM(*eeprom,
                                    writeVerify ? "The write/verify test" : "The read test");
    IdentifyEEPROM(ui, eeprom, database, log, true);
    const CEEPROMType type = eeprom->GetType();
    const uint32_t partSize = type.GetSizeInBytes();
    ui->ShowMessage(0, "Reading adapter firmware image");
    CRefPtr<IROMImage> image = ReadEEPROMImage(ui, eeprom, partSize, log);
    image->SetOffsetMode(false);
    if (writeVerify)
    {
        ui->ShowMessage(0, "Proceeding with write/verify test");
        LogLine(log, 3, "Starting write/verify test.");
    }
    else
    {
        ui->ShowMessage(0, "Writing test pattern");
        LogLine(log, 3, "Programming test pattern.");
    }
    unit = TestUnit(type);
    if (!PlanTestRange(unit, partSize, start, length))
    {
        throw std::runtime_error("Invalid test range.");
    }
    const std::string first = "Test start: 0x" + ToHex(start, 8);
    const std::string size = "Test size: " + std::to_string(length);
    ui->ShowMessage(1, first + "\n" + size);
    LogLine(log, 3, first);
    LogLine(log, 3, size);
    return image;
}

void CFlasherImpl::TestFlashing(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                CRefPtr<IDisplayAdapter> adapter,
                                CRefPtr<IEEPROMDatabase> database, int32_t passes, uint32_t start,
                                uint32_t length, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom;
    uint32_t unit = 0;
    CRefPtr<IROMImage> image =
        BeginEEPROMTest(true, ui, bus, adapter, database, eeprom, start, length, unit, log);
    for (int32_t pass = 0; pass < passes || passes == 0; ++pass)
    {
        ShowAndLog(*ui, log, "Test Pass: " + std::to_string(pass));
        image->SetOffsetMode(false);
        for (uint32_t i = 0; i < unit; ++i)
        {
            image->SetByte(static_cast<int32_t>(start + i), WriteVerifyPattern(i, pass));
        }
        UpdateSection(ui, adapter, eeprom, image, start, static_cast<int32_t>(length), log);
        ShowAndLog(*ui, log, "Pass completed.");
    }
    ShowAndLog(*ui, log, "Verification complete.");
}

void CFlasherImpl::TestReading(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                               CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                               int32_t passes, uint32_t start, uint32_t length, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom;
    uint32_t unit = 0;
    CRefPtr<IROMImage> image =
        BeginEEPROMTest(false, ui, bus, adapter, database, eeprom, start, length, unit, log);
    for (uint32_t i = 0; i < unit; ++i)
    {
        image->SetByte(static_cast<int32_t>(start + i), static_cast<uint8_t>(i % kPatternModulus));
    }
    UpdateSection(ui, adapter, eeprom, image, start, static_cast<int32_t>(length), log);
    ui->ShowMessage(1, "Test pattern completed.");
    LogLine(log, 3, "Test pattern programming completed.");
    ui->ShowMessage(0, "Proceeding with read test");
    LogLine(log, 3, "Starting read test.");

    image->SetOffsetMode(false);
    CRefPtr<IROMImage> reference = IROMImage::Create(image->GetImageType());
    reference->SetOffsetMode(false);
    reference->CopyBlock(0, image.get(), 0, kImageBufferSize);
    CLogOrDiscard logOrDiscard(log);
    for (int32_t pass = 0; pass < passes || passes == 0; ++pass)
    {
        ShowAndLog(*ui, log, "Test Pass: " + std::to_string(pass));
        const uint32_t read = eeprom->Read(ui.get(), start, length, static_cast<int32_t>(start),
                                           reference.get(), *logOrDiscard);
        reference->Parse();
        if (read != length)
        {
            throw std::runtime_error("Unable to read EEPROM");
        }
        image->SetOffsetMode(false);
        reference->SetOffsetMode(false);
        const int32_t mismatch = image->CompareRange(reference.get(), start, length);
        if (mismatch != -1)
        {
            throw std::runtime_error("Mismatch at offset 0x" + ToHex(static_cast<uint32_t>(mismatch), 8));
        }
        ShowAndLog(*ui, log, "Pass completed.");
    }
    ShowAndLog(*ui, log, "Verification complete.");
}
