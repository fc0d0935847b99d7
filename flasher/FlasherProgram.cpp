// Programming a whole firmware image into an adapter's EEPROM: the board's
// own data carried over, the certificate gate, write protection, the write,
// the read-back and the compare, with the update record kept around the
// writes when one is set.

#include "core/Exceptions.h"
#include "core/TextHelpers.h"
#include "flasher/BoardData.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace
{
constexpr int32_t kStrapOffset = 0x58;
constexpr uint32_t kStrapLength = 0x14;
// The block that belongs to the board and travels from image to image.

const char* const kDoesNotFit = "Cannot program a non-page boundary or invalid range for EEPROM.";
const char* const kGrownPastPart =
    "An updated ROM image (with IR/IB/UL globs) exceeds maximum range for the EEPROM.";

void CarryIeee1394Guid(IUserInterface& ui, IROMImage& current, IROMImage& image, CLog* log)
{
    const bool currentHas = current.HasIEEE1394GUID();
    const bool newHas = image.HasIEEE1394GUID();
    if (currentHas && newHas && current.GetIEEE1394GUIDSize() == image.GetIEEE1394GUIDSize())
    {
        const char* const text = "Preserving IEEE 1394 GUID from original image.";
        ui.ShowMessage(3, text);
        LogLine(log, 3, text);
        // The record's offsets count from the image's start, past any
        // init-from-ROM segment.
        COffsetModeScope currentOn(&current, true);
        COffsetModeScope newOn(&image, true);
        image.CopyBlock(image.GetIEEE1394GUIDOffset(), &current, current.GetIEEE1394GUIDOffset(),
                        current.GetIEEE1394GUIDSize());
    }
    else if (currentHas)
    {
        LogLine(log, 4, "WARNING: Unable to preserve IEEE 1394 GUID,");
        LogLine(log, 4,
                newHas ? "new image does not have the same space allocated for it."
                       : "new image does not have space allocated for it.");
    }
    else if (newHas)
    {
        LogLine(log, 4,
                "WARNING: No IEEE 1394 GUID present in original image, GUID from new image used.");
    }
}

// The board's 0x85 block of the current image replaces any the new image
// brings, so that an update never stacks a second copy onto the chain.
void CarryBoardBlock(IROMImage& current, IROMImage& image)
{
    const std::vector<uint8_t> bytes = BoardBlockBytes(current);
    if (bytes.empty())
    {
        return;
    }
    RemoveBoardBlocks(image);
    image.AddPCIBlock(bytes.data(), static_cast<uint32_t>(bytes.size()), true);
}

// The image that programs only the new init-from-ROM segment: the new segment
// followed by the current image's content after its own segment, in the
// current image's loaded size. When the new segment is the larger, the
// current image's last bytes are cut, which is only safe while they are
// erased.
CRefPtr<IROMImage> SpliceSegment(IROMImage& image, IROMImage& current, CLog* log)
{
    image.SetOffsetMode(false);
    current.SetOffsetMode(false);
    const uint32_t newSegment = image.GetIFRImageSize();
    const uint32_t currentSegment = current.GetIFRImageSize();
    const uint32_t currentSize = current.GetLoadedSize();
    if (newSegment > currentSize)
    {
        throw std::runtime_error(kGrownPastPart);
    }
    const uint32_t difference =
        newSegment > currentSegment ? newSegment - currentSegment : currentSegment - newSegment;
    if (difference != 0)
    {
        LogLine(log, 3, "NOTE: Size of target/source IFR mismatch.");
    }
    std::vector<uint8_t> buffer(uint64_t{currentSize} + difference, 0xFF);
    uint32_t start = 0;
    if (newSegment > currentSegment)
    {
        const uint8_t* tail = current.GetBuffer() + currentSize - difference;
        if (std::any_of(tail, tail + difference, [](uint8_t byte) { return byte != 0xFF; }))
        {
            throw std::runtime_error(
                "The end of the EEPROM is in use: the larger init-from-ROM segment does "
                "not fit.");
        }
        current.ReadBlock(buffer.data() + difference, 0, currentSize);
        image.ReadBlock(buffer.data(), 0, newSegment);
    }
    else
    {
        // Equal segments or a smaller new one: the current content after its
        // segment moves down to follow the new segment, 0xFF behind it.
        current.ReadBlock(buffer.data(), 0, currentSize);
        image.ReadBlock(buffer.data() + difference, 0, newSegment);
        start = difference;
    }
    return IROMImage::CreateFromBuffer(buffer.data() + start, currentSize);
}

const char* ActionLine(bool compareOnly, bool segmentOnly)
{
    return compareOnly   ? "Action: Verify/Compare IFR only."
           : segmentOnly ? "Action: Flash IFR only."
                         : "Action: Flash image.";
}
} // namespace

// What one FlashImage call carries from one step to the next.
struct CFlasherImpl::FlashJob
{
    CRefPtr<IUserInterface> ui;
    CRefPtr<IROMImage> newImage;
    CRefPtr<IDisplayAdapter> adapter;
    CRefPtr<IEEPROM> eeprom;
    CLog* log = nullptr;
    bool showProgress = false;
    bool compareOnly = false;
    bool segmentOnly = false;
    // The adapter's session: the write's record and the part's content
    // before it.
    CRefPtr<IAdapterSession> session{};
    // The part's content the board's data comes from, and its version.
    CRefPtr<IROMImage> current{};
    std::string oldVersion{};
    // The image compared after the write, and the one written (the target
    // with the tail of its last write unit).
    CRefPtr<IROMImage> target{};
    CRefPtr<IROMImage> writeImage{};
    uint32_t targetSize = 0;
    uint32_t verifyLength = 0;

    void Show(int level, const std::string& text) const
    {
        if (showProgress)
        {
            ui->ShowMessage(level, text);
        }
    }
};

void CFlasherImpl::FlashImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> newImage,
                              bool showProgress, bool keepStraps, bool keepBoardSettings,
                              CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                              CRefPtr<IEEPROMDatabase> database, uint32_t flashFlags, CLog* log,
                              CRefPtr<IBCRTCert> certificate, bool processVarnex)
{
    FlashJob job{.ui = ui,
                 .newImage = newImage,
                 .adapter = adapter,
                 .eeprom = eeprom,
                 .log = log,
                 .showProgress = showProgress,
                 .compareOnly = (flashFlags & kFlashCompareSegmentOnly) != 0,
                 .segmentOnly = (flashFlags & kFlashProgramSegmentOnly) != 0};
    LogLine(log, 3, ActionLine(job.compareOnly, job.segmentOnly));
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    job.session = SessionFor(adapter, eeprom, job.compareOnly ? AdapterUse::Reads : AdapterUse::Writes,
                             *ui, log);
    job.eeprom = job.session->EEPROM();
    ui->Signal(0);
    const bool entryMode = newImage->GetOffsetMode();

    IdentifyPartForImage(job, database);
    ReadCurrentContent(job);
    if (processVarnex)
    {
        CarryVarnexStore(job);
    }
    job.oldVersion = job.current->GetVersionString(0);
    CarryBoardData(job, keepStraps, keepBoardSettings);
    if (VerifyImageCertificate(adapter, newImage, job.eeprom, certificate, log, showProgress) != 0)
    {
        throw image_refused_error("Invalid firmware image detected. \n");
    }
    CarryBoardBlockInto(job);
    PlanTarget(job);
    // Every check that can refuse the update has run: the record is the last
    // step before the first write.
    BeginUpdateRecord(job);
    const uint32_t writeSize = job.writeImage->GetLoadedSize();
    WriteTarget(job, writeSize);
    ui->Signal(1);
    CRefPtr<IROMImage> readBack = ReadBack(job, writeSize);
    const bool readBackMode = readBack->GetOffsetMode();
    readBack->SetOffsetMode(false);
    CompareReadBack(job, *readBack, writeSize);
    if (!job.compareOnly)
    {
        job.session->FinishWrite();
    }
    ReportOutcome(job, *readBack);

    readBack->SetOffsetMode(true);
    adapter->GetDevice()->UpdateROMWindowOffset(readBack->GetWindowOffset());
    readBack->SetOffsetMode(readBackMode);
    newImage->SetOffsetMode(entryMode);
    ui->Signal(2);
}

// The part identified, and the new image fits it.
void CFlasherImpl::IdentifyPartForImage(FlashJob& job, CRefPtr<IEEPROMDatabase> database)
{
    IdentifyEEPROM(job.ui, job.eeprom, database, job.log, job.showProgress);
    if (!CheckImageFitsEEPROM(job.newImage, job.eeprom, job.log))
    {
        throw std::runtime_error(kDoesNotFit);
    }
}

// Reads the part's whole content. After an update that did not finish, the
// part may be half written: the session gives the content saved then, and
// the board's data comes from it.
void CFlasherImpl::ReadCurrentContent(FlashJob& job)
{
    const uint32_t partSize = job.eeprom->GetType().GetSizeInBytes();
    job.current = ReadEEPROMImage(job.ui, job.eeprom, partSize, job.log);
}

// Carries the board's Varnex store into the new image; programming the image
// without it would lose it.
void CFlasherImpl::CarryVarnexStore(FlashJob& job)
{
    const int32_t flashType = GetVarnexFlashType(job.newImage, job.current, job.log);
    if (ProcessVarnexBlock(flashType, job.newImage, job.current, job.log) != 0)
    {
        LogLine(job.log, 3, "ERROR: Failed to process Varnex block.");
        throw std::runtime_error("Failed to process Varnex block.");
    }
    if (!CheckImageFitsEEPROM(job.newImage, job.eeprom, job.log))
    {
        throw std::runtime_error(kGrownPastPart);
    }
}

// The straps, the IEEE 1394 GUID and the board's settings of the current
// image, as asked.
void CFlasherImpl::CarryBoardData(FlashJob& job, bool keepStraps, bool keepBoardSettings)
{
    if (job.adapter->HasEEPROMStraps())
    {
        if (keepStraps)
        {
            const char* const text = "Preserving straps from original image.";
            job.Show(3, text);
            LogLine(job.log, 3, text);
            COffsetModeScope currentOff(job.current.get(), false);
            COffsetModeScope newOff(job.newImage.get(), false);
            job.newImage->CopyBlock(kStrapOffset, job.current.get(), kStrapOffset, kStrapLength);
        }
        // The GUID is the board's identity, whatever its catalogue row says:
        // a board that was given one keeps it, and only a board without one
        // takes the new image's.
        if (job.adapter->HasIeee1394Guid() || HasBoardGuid(*job.current))
        {
            CarryIeee1394Guid(*job.ui, *job.current, *job.newImage, job.log);
        }
    }
    if (keepBoardSettings)
    {
        PreserveBoardSettings(job.newImage, job.current, job.showProgress, job.log);
    }
}

void CFlasherImpl::CarryBoardBlockInto(FlashJob& job)
{
    COffsetModeScope currentOff(job.current.get(), false);
    COffsetModeScope newOff(job.newImage.get(), false);
    CarryBoardBlock(*job.current, *job.newImage);
}

// The image to program (the new one, or only its init-from-ROM segment
// spliced into the current content) and the length to compare after.
void CFlasherImpl::PlanTarget(FlashJob& job)
{
    job.target =
        job.segmentOnly ? SpliceSegment(*job.newImage, *job.current, job.log) : job.newImage;
    job.current = nullptr;
    // The board settings and the board's block may have made the image grow
    // since the fit check; a write past the part's end would wrap to its
    // start and destroy the firmware there.
    if (!CheckImageFitsEEPROM(job.target, job.eeprom, job.log))
    {
        throw std::runtime_error(kGrownPastPart);
    }
    IROMImage& target = *job.target;
    {
        COffsetModeScope targetOn(&target, true);
        const int32_t certInfo = target.GetCertInfoBlockOffset();
        if (certInfo != -1)
        {
            LogLine(job.log, 3, "Cert info block will be finalized during flash process.");
            // The microcode completes the block while programming: compare
            // only up to its start.
            job.verifyLength = static_cast<uint32_t>(certInfo) + target.GetIFRImageSize();
        }
    }
    target.SetOffsetMode(false);
    job.targetSize = target.GetLoadedSize();
    if (job.compareOnly)
    {
        job.verifyLength = target.GetIFRImageSize();
        if (job.verifyLength == 0)
        {
            throw std::runtime_error("File image DOES NOT contains IFR.");
        }
    }
    else if (job.verifyLength == 0)
    {
        job.verifyLength = job.targetSize;
    }
    if (job.verifyLength == 0)
    {
        throw std::runtime_error("Incorrect image size for image comparison.");
    }
}

// Saves the part's content and the target in the update record, after the
// session settled a pending record.
void CFlasherImpl::BeginUpdateRecord(FlashJob& job)
{
    job.writeImage = job.target;
    if (job.compareOnly)
    {
        return;
    }
    job.writeImage =
        BeginRecordedWrite(*job.session, UpdateWriteKind::Flash, job.target, *job.ui, job.log);
}

// Lifts the part's write protection when the part or the image asks.
void CFlasherImpl::PrepareWrite(FlashJob& job)
{
    if (m_settings.diffsOnly)
    {
        return;
    }
    if (job.eeprom->GetType().WriteProtectOff || job.newImage->NeedsWriteProtectRemoval())
    {
        job.Show(0, "Executing automatic disable of EEPROM write protect");
        LogLine(job.log, 3, "Executing automatic disable of EEPROM write protect.");
        try
        {
            CLogOrDiscard out(job.log);
            job.eeprom->SetProtection(false, *out);
        }
        catch (...)
        {
            LogLine(job.log, 4, "\nDisabling of EEPROM write protect failed.");
            throw;
        }
        job.Show(1, "Remove EEPROM write protect complete.");
        LogLine(job.log, 3, "Remove EEPROM write protect complete.");
    }
    if (IsVerbose())
    {
        job.ui->ShowMessage(0, "Storing updated firmware image");
    }
    LogLine(job.log, 3, "Storing updated firmware image.");
}

// Writes the image, or only announces the compare that follows.
void CFlasherImpl::WriteTarget(FlashJob& job, uint32_t writeSize)
{
    if (job.compareOnly)
    {
        job.Show(0, "Comparing adapter's IFR and input image diffs");
        LogLine(job.log, 3, "Comparing adapter's IFR and input image diffs.");
        return;
    }
    PrepareWrite(job);
    try
    {
        CLogOrDiscard out(job.log);
        const uint32_t written = job.eeprom->WriteImage(job.ui.get(), 0, job.writeImage.get(), 0,
                                                        writeSize, true, true, *out);
        if (written < writeSize)
        {
            throw std::runtime_error("Full image not programmed");
        }
        job.Show(0, "Verifying update");
        LogLine(job.log, 3, "Verifying update.");
    }
    catch (...)
    {
        LogLine(job.log, 4, "EEPROM programming failed.");
        throw;
    }
}

CRefPtr<IROMImage> CFlasherImpl::ReadBack(FlashJob& job, uint32_t writeSize)
{
    try
    {
        return ReadEEPROMImage(job.ui, job.eeprom, writeSize, job.log);
    }
    catch (...)
    {
        LogLine(job.log, 4, "\nReading EEPROM for compare failed.");
        throw;
    }
}

// The image up to the verified length, and the bytes written after it to
// complete its last write unit.
void CFlasherImpl::CompareReadBack(FlashJob& job, IROMImage& readBack, uint32_t writeSize)
{
    int32_t mismatch = job.target->CompareRange(&readBack, 0, job.verifyLength);
    if (mismatch == -1 && writeSize > job.targetSize)
    {
        mismatch =
            job.writeImage->CompareRange(&readBack, job.targetSize, writeSize - job.targetSize);
    }
    if (mismatch != -1)
    {
        throw std::runtime_error(
            MismatchText(mismatch, job.writeImage->GetByte(mismatch), readBack.GetByte(mismatch),
                         job.compareOnly ? MismatchSource::Image : MismatchSource::Expected));
    }
}

void CFlasherImpl::ReportOutcome(FlashJob& job, IROMImage& readBack)
{
    if (job.compareOnly)
    {
        const char* const text = "File IFR image matches adapter IFR image.";
        job.Show(1, text);
        LogLine(job.log, 3, text);
        return;
    }
    job.ui->ShowMessage(1, "Update successful.");
    job.ui->ShowMessage(1, "");
    readBack.SetOffsetMode(true);
    if (job.showProgress || (GetModeFlags() & kFlasherShowVersionChange) != 0)
    {
        job.ui->ShowMessage(1, "Firmware image has been updated from version " + job.oldVersion +
                                   " to " + readBack.GetVersionString(0) + ".");
        job.ui->ShowMessage(1, "");
    }
    LogLine(job.log, 3, "Update successful.");
}
