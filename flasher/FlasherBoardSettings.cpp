// Around programming: the subsystem-vendor strap override, the board settings
// of the preservation table carried from the adapter's image into a new one,
// and the lookup of an I2C device in the firmware's device table.

#include "core/Range.h"
#include "core/TextHelpers.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"

#include <array>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <vector>

namespace
{
constexpr uint32_t kStrapOverrideMask0 = 0x101004;
constexpr uint32_t kStrapOverrideValue0 = 0x101008;
constexpr uint32_t kStrapOverrideMask1 = 0x101010;
constexpr uint32_t kStrapOverrideValue1 = 0x101014;
constexpr uint32_t kBootStrapRegister = 0x101000;
constexpr uint32_t kSubvendorStrapBits = 0x80000002;

// Tables of this version and later keep the entry flags apart from the entries.
constexpr uint8_t kSeparateFlagsVersion = 17;
constexpr uint8_t kNoBoardData = 0x80;
constexpr uint32_t kHeaderBlockLength = 4;
constexpr uint32_t kHeaderBlockExtra = 16;

struct PreservationTableFacts
{
    uint8_t version = 0;
    uint8_t entrySize = 0;
    uint32_t entryCount = 0;
    int32_t headerWord4 = -1;
    int32_t headerByte6 = -1;
    int32_t headerBlock = -1;
};

PreservationTableFacts ReadTableFacts(IROMImage& image)
{
    const int32_t table = image.GetPreservationTableOffset();
    PreservationTableFacts facts;
    facts.version = image.GetByte(table);
    facts.entrySize = image.GetByte(table + 2);
    facts.entryCount = image.GetPreservationEntryCount();
    facts.headerWord4 = image.GetPreservationHeaderWord4();
    facts.headerByte6 = image.GetPreservationHeaderByte6();
    facts.headerBlock = image.GetPreservationHeaderBlockOffset();
    return facts;
}

struct PreservationEntryRecord
{
    int32_t offset = -1; // of the entry itself
    std::array<uint8_t, 8> bytes{};
    uint8_t flags = 0;

    uint32_t DataOffset() const { return bytes[0] | uint32_t{bytes[1]} << 8; }
    uint32_t DataSize() const { return bytes[2] | uint32_t{bytes[3]} << 8; }
};

// Entry i as the table stores it; none when it lies outside the loaded image.
std::optional<PreservationEntryRecord> ReadEntry(IROMImage& image,
                                                 const PreservationTableFacts& table, uint32_t i)
{
    PreservationEntryRecord entry;
    entry.offset = image.GetPreservationEntryOffset(i);
    const uint32_t size = std::min<uint32_t>(table.entrySize, entry.bytes.size());
    if (entry.offset == -1 || !RangeFits(UnsignedOffset(entry.offset), size, ImageViewSize(image)))
    {
        return std::nullopt;
    }
    image.ReadBlock(entry.bytes.data(), entry.offset, size);
    entry.flags = table.version >= kSeparateFlagsVersion ? image.GetPreservationEntryFlags(i)
                                                         : entry.bytes[4];
    return entry;
}

// Whether the adapter's entry carries board data worth carrying over.
bool IsUsable(const PreservationTableFacts& table, const PreservationEntryRecord& entry)
{
    const bool hasData =
        (entry.flags & kNoBoardData) == 0 && entry.DataOffset() != 0 && entry.DataSize() != 0;
    if (table.version >= kSeparateFlagsVersion)
    {
        return hasData;
    }
    return table.entrySize == 3 || (table.entrySize == 5 && hasData);
}

bool FitsBoth(IROMImage& to, int64_t toOffset, IROMImage& from, int64_t fromOffset, uint32_t length)
{
    return toOffset >= 0 && fromOffset >= 0 &&
           RangeFits(static_cast<uint64_t>(toOffset), length, ImageViewSize(to)) &&
           RangeFits(static_cast<uint64_t>(fromOffset), length, ImageViewSize(from));
}
} // namespace

bool CFlasherImpl::OverrideSubvendorStrap(CRefPtr<IUserInterface> ui,
                                          CRefPtr<IDisplayAdapter> adapter, CLog* log)
{
    LogLine(log, 3, "Action: Override subvendor strap.");
    if (!adapter->HasEEPROMStraps())
    {
        return false;
    }
    ui->ShowMessage(1, "Overriding SUB_VENDOR strap.");
    adapter->Write32(kStrapOverrideMask0, 0x7FFFFFFF);
    adapter->Write32(kStrapOverrideValue0, 0);
    adapter->Write32(kStrapOverrideMask1, 0x7FFFFFFF);
    adapter->Write32(kStrapOverrideValue1, 0);
    const uint32_t original = adapter->Read32(kBootStrapRegister);
    LogLine(log, 3, "Original KR_PEXTDEV_BOOT_0: 0x" + ToHex(original, 8));
    const uint32_t updated = original | kSubvendorStrapBits;
    LogLine(log, 3, "New KR_PEXTDEV_BOOT_0: 0x" + ToHex(updated, 8));
    adapter->Write32(kBootStrapRegister, updated);
    return true;
}

namespace
{
// Warnings of the preservation, logged only while progress is shown.
struct PreservationWarnings
{
    CLog* log;
    bool shown;
    void operator()(const std::string& text) const
    {
        if (shown)
        {
            LogLine(log, 4, text);
        }
    }
};

// A newer table with separate flags cannot go into an image of an older one.
void RefuseOlderTableInImage(const PreservationTableFacts& from, const PreservationTableFacts& to,
                             CLog* log)
{
    if (from.version < kSeparateFlagsVersion || to.version >= kSeparateFlagsVersion)
    {
        return;
    }
    const std::string text = "The EEPROM on this graphics card preservation table version "
                             "is higher than image.  Preserve area failed.";
    LogLine(log, 3, "Error: " + text);
    LogLine(log, 3,
            "        EEPROM    Preservation table version = " + std::to_string(from.version));
    LogLine(log, 3, "      Image file  Preservation table version = " + std::to_string(to.version));
    RestoreDisplayDriverNow(log);
    throw std::runtime_error(text);
}

// Copies slot `i` of the current image's table into the new image's; false
// when the slot is not carried.
bool PreserveSlot(IROMImage& newImage, IROMImage& current, const PreservationTableFacts& from,
                  const PreservationTableFacts& to, uint32_t i, const PreservationWarnings& warn)
{
    const std::optional<PreservationEntryRecord> source = ReadEntry(current, from, i);
    if (!source || !IsUsable(from, *source))
    {
        return false;
    }
    RefuseOlderTableInImage(from, to, warn.log);
    const std::string slot = std::to_string(i);
    if (i >= to.entryCount)
    {
        warn("WARNING: Unable to preserve board settings entry " + slot + ":\nnew image has " +
             std::to_string(to.entryCount) + " slots.");
        return false;
    }
    std::optional<PreservationEntryRecord> target = ReadEntry(newImage, to, i);
    if (!target || target->DataSize() != source->DataSize())
    {
        warn("WARNING: Preservation slots sizes do not match,\nskipping preservation slot " + slot +
             ", some customized settings not preserved.");
        return false;
    }
    const uint32_t size = source->DataSize();
    if (!FitsBoth(newImage, target->DataOffset(), current, source->DataOffset(), size))
    {
        warn("WARNING: Preservation slot " + slot +
             " lies outside the image,\nskipping preservation slot " + slot +
             ", some customized settings not preserved.");
        return false;
    }
    warn("NOTE: Preserving board settings in preservation slot " + slot);
    newImage.CopyBlock(static_cast<int32_t>(target->DataOffset()), &current,
                       static_cast<int32_t>(source->DataOffset()), size);
    if (to.version >= kSeparateFlagsVersion)
    {
        newImage.SetPreservationEntryFlags(i, target->flags & ~kNoBoardData);
    }
    else
    {
        target->bytes[4] &= ~kNoBoardData;
    }
    newImage.WriteBlock(target->bytes.data(), target->offset,
                        std::min<uint32_t>(to.entrySize, target->bytes.size()));
    if (FitsBoth(newImage, to.headerBlock, current, from.headerBlock, kHeaderBlockLength))
    {
        newImage.CopyBlock(to.headerBlock, &current, from.headerBlock, kHeaderBlockLength);
    }
    return true;
}

// After a slot was carried: the table header's extra bytes, and the block's
// checksum.
void FinishPreservedTable(IROMImage& newImage, IROMImage& current,
                          const PreservationTableFacts& from, const PreservationTableFacts& to,
                          const PreservationWarnings& warn)
{
    if (to.entrySize < from.entrySize)
    {
        warn("WARNING: New image has smaller preservation entry size.");
    }
    if (from.version >= kSeparateFlagsVersion && to.headerByte6 >= 0)
    {
        const uint32_t length = static_cast<uint32_t>(to.headerByte6) + kHeaderBlockExtra;
        if (FitsBoth(newImage, to.headerWord4, current, from.headerWord4, length))
        {
            newImage.CopyBlock(to.headerWord4, &current, from.headerWord4, length);
        }
    }
    newImage.FixPCIBlockChecksum(0);
}
} // namespace

void CFlasherImpl::PreserveBoardSettings(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                         bool showProgress, CLog* log)
{
    const bool adapterHasTable = current->GetPreservationEntryOffset(0) != -1;
    const bool newHasTable = newImage->GetPreservationEntryOffset(0) != -1;
    if (!adapterHasTable || !newHasTable)
    {
        if (adapterHasTable != newHasTable && showProgress)
        {
            LogLine(log, 4,
                    std::string("WARNING: ") + (adapterHasTable ? "New image" : "Adapter") +
                        " does not have a preservation table,\nunable to preserve board settings.");
        }
        return;
    }
    LogLine(log, 3, "Checking preservation table.");
    const PreservationTableFacts from = ReadTableFacts(*current);
    const PreservationTableFacts to = ReadTableFacts(*newImage);
    const PreservationWarnings warn{log, showProgress};
    bool preserved = false;
    for (uint32_t i = 0; i < from.entryCount; ++i)
    {
        preserved = PreserveSlot(*newImage, *current, from, to, i, warn) || preserved;
    }
    if (preserved)
    {
        FinishPreservedTable(*newImage, *current, from, to, warn);
    }
}

bool CFlasherImpl::FindI2CDevice(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                 CRefPtr<IDisplayAdapter> adapter,
                                 CRefPtr<IEEPROMDatabase> database, int32_t deviceType,
                                 uint8_t& slaveAddress, uint8_t& port, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom =
        BeginAdapterOperation("Looking for a specific I2C device in the DCB table.", ui, bus,
                              adapter, database, IsVerbose(), false, log);
    bool found = false;
    try
    {
        IdentifyEEPROM(ui, eeprom, database, log, false);
        CRefPtr<IROMImage> image =
            ReadEEPROMImage(ui, eeprom, eeprom->GetType().GetSizeInBytes(), log);
        std::vector<uint32_t> devices;
        if (image->GetImageType() == kROMImageGPU && image->ReadI2CDeviceList(devices) != -1)
        {
            for (uint32_t record : devices)
            {
                if (static_cast<int32_t>(record & 0xFF) != deviceType)
                {
                    continue;
                }
                found = true;
                slaveAddress = static_cast<uint8_t>(record >> 8);
                port = static_cast<uint8_t>((record >> 20) & 1);
                LogLine(log, 3, "I2C Device type : " + ToHex(record & 0xFF, 2));
                LogLine(log, 3, "I2C Slave address :" + ToHex(slaveAddress, 2));
                LogLine(log, 3,
                        "I2C Port :" + ToHex(port, 2) + "( " +
                            (port == 0 ? "Primary" : "Secondary") + " )");
            }
        }
    }
    catch (...)
    {
        LogLine(log, 4, "Capture a exception while access the I2C Device table from vbios image.");
        throw;
    }
    LogLine(log, 3, "Read I2C Device table from Vbios image in EEPROM completed");
    return found;
}
