// The update record around a write of an adapter's EEPROM: the content the
// update starts from (after an unfinished update, the content its record
// saved), and the record begun as the last step before the first write.

#include "core/TextHelpers.h"
#include "flasher/FlasherImpl.h"
#include "flasher/UpdateJournal.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <vector>

namespace
{
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

CRefPtr<IROMImage> CFlasherImpl::StartFromRecord(CRefPtr<IDisplayAdapter> adapter,
                                                 CRefPtr<IROMImage> read, RecordedStart& start,
                                                 CLog* log)
{
    CRefPtr<IROMImage> current = SavedContentOr(adapter, read, log);
    if (current != read)
    {
        start.partWithRecord = LoadedBytes(*read);
    }
    start.contentBefore = LoadedBytes(*current);
    return current;
}

CRefPtr<IROMImage> CFlasherImpl::BeginRecordedWrite(CRefPtr<IDisplayAdapter> adapter,
                                                    IEEPROM& eeprom, CRefPtr<IROMImage> target,
                                                    const RecordedStart& start)
{
    const std::vector<uint8_t> contentAfter = ContentAfter(start.contentBefore, *target);
    if (start.partWithRecord &&
        !UpdateRecordExplainsChip(*start.partWithRecord, start.contentBefore, contentAfter,
                                  WriteUnitOf(eeprom)))
    {
        m_journal->Refuse(adapter, "it does not match this adapter's EEPROM");
    }
    CRefPtr<IROMImage> writeImage = target;
    if (!eeprom.IsSecure())
    {
        writeImage = WithTailOfUnit(target, contentAfter, WriteUnitOf(eeprom));
    }
    m_journal->Begin(adapter, start.contentBefore);
    return writeImage;
}
