// The update record around a write of a whole image from offset 0: the
// part's content after it, and the image written, the target followed to the
// end of its last write unit by the content before.

#include "core/TextHelpers.h"
#include "flasher/FlasherImpl.h"
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

} // namespace

CRefPtr<IROMImage> CFlasherImpl::BeginRecordedWrite(IAdapterSession& session,
                                                    UpdateWriteKind kind,
                                                    CRefPtr<IROMImage> target,
                                                    IUserInterface& ui, CLog* log)
{
    IEEPROM& eeprom = *session.EEPROM();
    const std::vector<uint8_t> contentAfter = ContentAfter(session.ContentBefore(log), *target);
    CRefPtr<IROMImage> writeImage = target;
    if (!eeprom.IsSecure())
    {
        writeImage = WithTailOfUnit(target, contentAfter, WriteUnitOf(eeprom));
    }
    session.BeginWrite(kind, contentAfter, ui, log);
    return writeImage;
}
