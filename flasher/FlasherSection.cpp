// Programming one changed range of an edited image: only the programming
// units that hold the change are rewritten, then the whole part is read back
// and compared with the edited image.

#include "core/Range.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <stdexcept>

namespace
{
const char* const kInvalidRange = "Cannot program a non-page boundary or invalid range for EEPROM.";

// The range to program: [start, end) of the image.
struct SectionRange
{
    uint64_t start;
    uint64_t end;
    uint32_t unit;
};

// The programming unit is the page, or the erase block of a part that must be
// erased before it is written; such a part without erase blocks gets the
// whole image rewritten.
SectionRange PlanSection(const CEEPROMType& type, IROMImage& image, uint32_t start, int32_t length)
{
    SectionRange range{start, uint64_t{start} + static_cast<uint64_t>(length), type.BytesPerPage};
    if (type.EraseReqBeforeChipSectorWrite)
    {
        const uint32_t block = uint32_t{type.KbytesPerBlock} * 1024;
        if (block == 0)
        {
            range.start = 0;
            range.end = image.GetROMSize();
        }
        else if (block > range.unit)
        {
            range.unit = block;
        }
    }
    return range;
}

} // namespace

void CFlasherImpl::UpdateSection(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapter> adapter,
                                 CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> image, uint32_t start,
                                 int32_t length, CLog* log, UpdateWriteKind kind)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    LogLine(log, 3, "Update section.");
    ui->Signal(0);
    // The caller's image gets its offset mode back on every way out.
    COffsetModeScope imageOff(image.get(), false);

    const CEEPROMType type = eeprom->GetType();
    const uint32_t partSize = type.GetSizeInBytes();
    SectionRange range = PlanSection(type, *image, start, std::max(length, 0));
    if (length < 0 || range.unit == 0 || start >= partSize)
    {
        throw std::runtime_error(kInvalidRange);
    }
    // Whole units, and never past the end of the part.
    range.start -= range.start % range.unit;
    range.end =
        std::min<uint64_t>((range.end + range.unit - 1) / range.unit * range.unit, partSize);
    const uint32_t count = static_cast<uint32_t>(range.end - range.start);

    // The record holds the part before and after the units this writes; a
    // session that destroys by design writes without one.
    CAdapterSessionImpl* session = SessionOf(eeprom.get());
    BeginSessionWrite(session, kind, *image, static_cast<uint32_t>(range.start), count, *ui, log);
    LiftWriteProtectionIfNeeded(*ui, *eeprom, out);

    if (IsVerbose())
    {
        ui->ShowMessage(0, "Storing updated firmware image");
    }
    LogLine(log, 3, "Storing updated firmware image.");
    try
    {
        const uint32_t written =
            eeprom->WriteImage(ui.get(), static_cast<uint32_t>(range.start), image.get(),
                               static_cast<int32_t>(range.start), count, true, true, out);
        if (written < count)
        {
            throw std::runtime_error("Full block not programmed");
        }
    }
    catch (...)
    {
        LogLine(log, 4, "EEPROM programming failed.");
        throw;
    }
    ui->Signal(1);

    if (IsVerbose())
    {
        ui->ShowMessage(0, "Verifying update");
    }
    LogLine(log, 3, "Verifying update.");
    CRefPtr<IROMImage> readBack = ReadEEPROMImage(ui, eeprom, partSize, log);
    const bool readBackMode = readBack->GetOffsetMode();
    readBack->SetOffsetMode(false);
    const int32_t mismatch = image->Compare(readBack.get());
    if (mismatch != -1)
    {
        const std::string text =
            MismatchText(mismatch, image->GetByte(mismatch), readBack->GetByte(mismatch));
        throw std::runtime_error(text);
    }
    if (session)
    {
        session->FinishWrite();
    }
    LogLine(log, 3, "Update successful.");
    ui->ShowMessage(1, "Update successful.");

    readBack->SetOffsetMode(true);
    adapter->GetDevice()->UpdateROMWindowOffset(readBack->GetWindowOffset());
    readBack->SetOffsetMode(readBackMode);
    ui->Signal(2);
}
