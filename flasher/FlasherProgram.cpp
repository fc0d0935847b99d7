// Programming a whole firmware image into an adapter's EEPROM: the board's
// own data carried over, the certificate gate, write protection, the write,
// the read-back and the compare, with the update record kept around the
// writes when one is set.

#include "core/Exceptions.h"
#include "flasher/BoardData.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "flasher/UpdateJournal.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <cstdio>
#include <optional>
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

// The bytes of the image as read, without its window offset.
std::vector<uint8_t> LoadedBytes(IROMImage& image)
{
    COffsetModeScope off(&image, false);
    const uint8_t* bytes = IROMImage::ReadOnlyBuffer(&image);
    return std::vector<uint8_t>(bytes, bytes + image.GetLoadedSize());
}

// The unit the part is written in: its erase block, or its page when it
// programs without erasing.
uint32_t WriteUnitOf(IEEPROM& eeprom)
{
    const auto& type = eeprom.GetType();
    if (type.EraseReqBeforeChipSectorWrite && type.KbytesPerBlock != 0)
    {
        return type.KbytesPerBlock * 1024u;
    }
    return type.BytesPerPage != 0 ? type.BytesPerPage : 1u;
}

// The part's whole content once the target is written over the content
// before.
std::vector<uint8_t> ContentAfter(const std::vector<uint8_t>& before, IROMImage& target)
{
    const std::vector<uint8_t> written = LoadedBytes(target);
    std::vector<uint8_t> after = before;
    after.resize(std::max(after.size(), written.size()), 0xFF);
    std::copy(written.begin(), written.end(), after.begin());
    return after;
}

// The image to write: the target, followed up to the end of its last write
// unit by the content the part held before. The write puts the bytes after
// the target back from what it finds on the part, which after a stopped
// update may already be erased; taken from the content before, they come out
// as an update without a stop leaves them.
CRefPtr<IROMImage> WithTailOfUnit(CRefPtr<IROMImage> target, const std::vector<uint8_t>& after,
                                  uint32_t unit)
{
    const uint64_t targetSize = target->GetLoadedSize();
    const uint64_t unitEnd = (targetSize + unit - 1) / unit * unit;
    const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(unitEnd, after.size()));
    if (end <= targetSize)
    {
        return target;
    }
    CRefPtr<IROMImage> padded = IROMImage::CreateFromBuffer(after.data(), end);
    padded->SetOffsetMode(false);
    return padded;
}

// The part's content as an unfinished update saved it, in the length the
// part's read gave: cut or filled with erased bytes.
CRefPtr<IROMImage> ImageFromSavedContent(const std::vector<uint8_t>& saved, uint32_t readLength)
{
    std::vector<uint8_t> bytes(readLength, 0xFF);
    std::copy_n(saved.begin(), std::min<size_t>(saved.size(), readLength), bytes.begin());
    CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(bytes.data(), readLength);
    image->Parse();
    return image;
}
} // namespace

CRefPtr<IROMImage> CFlasherImpl::SavedContentOr(CRefPtr<IDisplayAdapter> adapter,
                                                CRefPtr<IROMImage> read, CLog* log)
{
    if (!m_journal)
    {
        return read;
    }
    const std::optional<std::vector<uint8_t>> saved = m_journal->PendingContent(adapter);
    if (!saved)
    {
        return read;
    }
    LogLine(log, 3, "Taking the board's data from the content saved by an unfinished update.");
    return ImageFromSavedContent(*saved, read->GetLoadedSize());
}

void CFlasherImpl::FlashImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> newImage,
                              bool showProgress, bool keepStraps, bool keepBoardSettings,
                              CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                              CRefPtr<IEEPROMDatabase> database, uint32_t flashFlags, CLog* log,
                              CRefPtr<IBCRTCert> certificate, bool processVarnex)
{
    const bool compareOnly = (flashFlags & kFlashCompareSegmentOnly) != 0;
    const bool segmentOnly = (flashFlags & kFlashProgramSegmentOnly) != 0;
    LogLine(log, 3,
            compareOnly   ? "Action: Verify/Compare IFR only."
            : segmentOnly ? "Action: Flash IFR only."
                          : "Action: Flash image.");
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    ui->Signal(0);
    const bool entryMode = newImage->GetOffsetMode();

    IdentifyEEPROM(ui, eeprom, database, log, showProgress);
    if (!CheckImageFitsEEPROM(newImage, eeprom, log))
    {
        throw std::runtime_error(kDoesNotFit);
    }
    const uint32_t partSize = eeprom->GetType().GetSizeInBytes();
    CRefPtr<IROMImage> current = ReadEEPROMImage(ui, eeprom, partSize, log);
    // A run that writes keeps a record of the part's content until the new
    // image is proven. After an update that did not finish, the part may be
    // half written: the board's data comes from the content saved then, and
    // what the part holds now is kept to be checked against the record.
    const bool journaled = m_journal && !compareOnly;
    std::vector<uint8_t> contentBefore;
    std::optional<std::vector<uint8_t>> partWithRecord;
    if (journaled)
    {
        CRefPtr<IROMImage> saved = SavedContentOr(adapter, current, log);
        if (saved != current)
        {
            partWithRecord = LoadedBytes(*current);
            current = saved;
        }
        contentBefore = LoadedBytes(*current);
    }

    if (processVarnex)
    {
        const int32_t flashType = GetVarnexFlashType(newImage, current, log);
        if (ProcessVarnexBlock(flashType, newImage, current, log) != 0)
        {
            // Programming the image without the board's store would lose it.
            LogLine(log, 3, "ERROR: Failed to process Varnex block.");
            throw std::runtime_error("Failed to process Varnex block.");
        }
        if (!CheckImageFitsEEPROM(newImage, eeprom, log))
        {
            throw std::runtime_error(kGrownPastPart);
        }
    }
    const std::string oldVersion = current->GetVersionString(0);

    if (adapter->HasEEPROMStraps())
    {
        if (keepStraps)
        {
            const char* const text = "Preserving straps from original image.";
            if (showProgress)
            {
                ui->ShowMessage(3, text);
            }
            LogLine(log, 3, text);
            COffsetModeScope currentOff(current.get(), false);
            COffsetModeScope newOff(newImage.get(), false);
            newImage->CopyBlock(kStrapOffset, current.get(), kStrapOffset, kStrapLength);
        }
        if (adapter->HasIeee1394Guid())
        {
            CarryIeee1394Guid(*ui, *current, *newImage, log);
        }
    }
    if (keepBoardSettings)
    {
        PreserveBoardSettings(newImage, current, showProgress, log);
    }
    if (VerifyImageCertificate(adapter, newImage, eeprom, certificate, log, showProgress) != 0)
    {
        throw image_refused_error("Invalid firmware image detected. \n");
    }
    {
        COffsetModeScope currentOff(current.get(), false);
        COffsetModeScope newOff(newImage.get(), false);
        CarryBoardBlock(*current, *newImage);
    }

    CRefPtr<IROMImage> target = newImage;
    if (segmentOnly)
    {
        target = SpliceSegment(*newImage, *current, log);
    }
    current = nullptr;
    // The board settings and the board's block may have made the image grow
    // since the fit check; a write past the part's end would wrap to its
    // start and destroy the firmware there.
    if (!CheckImageFitsEEPROM(target, eeprom, log))
    {
        throw std::runtime_error(kGrownPastPart);
    }

    uint32_t verifyLength = 0;
    {
        COffsetModeScope targetOn(target.get(), true);
        const int32_t certInfo = target->GetCertInfoBlockOffset();
        if (certInfo != -1)
        {
            LogLine(log, 3, "Cert info block will be finalized during flash process.");
            // The microcode completes the block while programming: compare
            // only up to its start.
            verifyLength = static_cast<uint32_t>(certInfo) + target->GetIFRImageSize();
        }
    }
    target->SetOffsetMode(false);
    const uint32_t targetSize = target->GetLoadedSize();
    if (compareOnly)
    {
        verifyLength = target->GetIFRImageSize();
        if (verifyLength == 0)
        {
            throw std::runtime_error("File image DOES NOT contains IFR.");
        }
    }
    else if (verifyLength == 0)
    {
        verifyLength = targetSize;
    }
    if (verifyLength == 0)
    {
        throw std::runtime_error("Incorrect image size for image comparison.");
    }

    // Every check that can refuse the update has run: the record is the last
    // step before the first write.
    CRefPtr<IROMImage> writeImage = target;
    if (journaled)
    {
        const std::vector<uint8_t> contentAfter = ContentAfter(contentBefore, *target);
        if (partWithRecord &&
            !UpdateRecordExplainsChip(*partWithRecord, contentBefore, contentAfter,
                                      WriteUnitOf(*eeprom)))
        {
            m_journal->Refuse(adapter, "it does not match this adapter's EEPROM");
        }
        if (!eeprom->IsSecure())
        {
            writeImage = WithTailOfUnit(target, contentAfter, WriteUnitOf(*eeprom));
        }
        m_journal->Begin(adapter, contentBefore);
    }
    if (!compareOnly && !m_diffsOnly)
    {
        if (eeprom->GetType().WriteProtectOff || newImage->NeedsWriteProtectRemoval())
        {
            if (showProgress)
            {
                ui->ShowMessage(0, "Executing automatic disable of EEPROM write protect");
            }
            LogLine(log, 3, "Executing automatic disable of EEPROM write protect.");
            try
            {
                eeprom->SetProtection(false, out);
            }
            catch (...)
            {
                LogLine(log, 4, "\nDisabling of EEPROM write protect failed.");
                throw;
            }
            if (showProgress)
            {
                ui->ShowMessage(1, "Remove EEPROM write protect complete.");
            }
            LogLine(log, 3, "Remove EEPROM write protect complete.");
        }
        if (IsVerbose())
        {
            ui->ShowMessage(0, "Storing updated firmware image");
        }
        LogLine(log, 3, "Storing updated firmware image.");
    }

    const uint32_t writeSize = writeImage->GetLoadedSize();
    if (!compareOnly)
    {
        try
        {
            const uint32_t written =
                eeprom->WriteImage(ui.get(), 0, writeImage.get(), 0, writeSize, true, true, out);
            if (written < writeSize)
            {
                throw std::runtime_error("Full image not programmed");
            }
            if (showProgress)
            {
                ui->ShowMessage(0, "Verifying update");
            }
            LogLine(log, 3, "Verifying update.");
        }
        catch (...)
        {
            LogLine(log, 4, "EEPROM programming failed.");
            throw;
        }
    }
    else
    {
        if (showProgress)
        {
            ui->ShowMessage(0, "Comparing adapter's IFR and input image diffs");
        }
        LogLine(log, 3, "Comparing adapter's IFR and input image diffs.");
    }

    ui->Signal(1);
    CRefPtr<IROMImage> readBack;
    try
    {
        readBack = ReadEEPROMImage(ui, eeprom, writeSize, log);
    }
    catch (...)
    {
        LogLine(log, 4, "\nReading EEPROM for compare failed.");
        throw;
    }
    const bool readBackMode = readBack->GetOffsetMode();
    readBack->SetOffsetMode(false);
    // The image up to the verified length, and the bytes written after it
    // to complete its last write unit.
    int32_t mismatch = target->CompareRange(readBack.get(), 0, verifyLength);
    if (mismatch == -1 && writeSize > targetSize)
    {
        mismatch = writeImage->CompareRange(readBack.get(), targetSize, writeSize - targetSize);
    }
    if (mismatch != -1)
    {
        throw std::runtime_error("Mismatch at offset 0x" + Hex(static_cast<uint32_t>(mismatch), 8) +
                                 (compareOnly ? " - Image value: 0x" : " - Expected value: 0x") +
                                 Hex(writeImage->GetByte(mismatch), 2) + " - Read back: 0x" +
                                 Hex(readBack->GetByte(mismatch), 2));
    }
    if (journaled)
    {
        m_journal->Finish(adapter);
    }
    if (!compareOnly)
    {
        ui->ShowMessage(1, "Update successful.");
        ui->ShowMessage(1, "");
        readBack->SetOffsetMode(true);
        if (showProgress || (GetModeFlags() & kFlasherShowVersionChange) != 0)
        {
            ui->ShowMessage(1, "Firmware image has been updated from version " + oldVersion +
                                   " to " + readBack->GetVersionString(0) + ".");
            ui->ShowMessage(1, "");
        }
        LogLine(log, 3, "Update successful.");
    }
    else
    {
        const char* const text = "File IFR image matches adapter IFR image.";
        if (showProgress)
        {
            ui->ShowMessage(1, text);
        }
        LogLine(log, 3, text);
    }

    readBack->SetOffsetMode(true);
    adapter->GetDevice()->UpdateROMWindowOffset(readBack->GetWindowOffset());
    readBack->SetOffsetMode(readBackMode);
    newImage->SetOffsetMode(entryMode);
    ui->Signal(2);
}
