// Image field updates: one field of the adapter's current firmware changed in
// place (the display-configuration block, the soft straps, the IEEE 1394 GUID
// and the GUID-source bit), with only the changed range programmed again.

#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/OffsetModeScope.h"

#include <stdexcept>

namespace
{
// The hardware data area: the four strap words and their checksum byte.
constexpr uint32_t kHardwareDataOffset = 0x58;
constexpr int32_t kHardwareDataLength = 0x14;
// The extended strap words written with new straps, where the image has them.
constexpr uint32_t kExtendedStrapWord0 = 0xFFFFFFFF;
constexpr uint32_t kExtendedStrapWord1 = 0;

// An offset of the image's own view as an EEPROM address.
uint32_t EEPROMAddress(IROMImage& image, int32_t viewOffset)
{
    return image.GetWindowOffset() + static_cast<uint32_t>(viewOffset);
}
} // namespace

CRefPtr<IROMImage> CFlasherImpl::ReadImageForFieldUpdate(CRefPtr<IUserInterface> ui,
                                                         CRefPtr<IPCIBus> bus,
                                                         CRefPtr<IDisplayAdapter> adapter,
                                                         CRefPtr<IEEPROMDatabase> database,
                                                         bool needsTvBlockUpdate,
                                                         CRefPtr<IEEPROM>& eeprom, CLog* log)
{
    // A part behind the microcontroller gets its loader here, or it could not
    // be identified. The display driver stays: only one range is written.
    AdapterOpening opening = EngineOpening(AdapterUse::Writes, bus, database, true);
    opening.handOverDisplay = false;
    eeprom = OpenAdapterSession(adapter, opening, ui, log)->EEPROM();
    IdentifyEEPROM(ui, eeprom, database, log, true);
    if (needsTvBlockUpdate && !eeprom->GetType().TvBlockUpdateSupported)
    {
        throw std::runtime_error("This option not supported on this EEPROM part.\n");
    }
    ui->ShowMessage(0, "Reading adapter firmware image");
    CRefPtr<IROMImage> image = ReadEEPROMImage(ui, eeprom, eeprom->GetType().GetSizeInBytes(), log);
    image->SetOffsetMode(true);
    return image;
}

void CFlasherImpl::UpdateTVType(CRefPtr<IUserInterface> ui, const std::string& fileName,
                                CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                CRefPtr<IEEPROMDatabase> database, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    LogLine(log, 3, "Action: Update TV type.");
    // The file first, so that a bad file fails before the adapter is touched.
    CRefPtr<IROMImage> file = IROMImage::CreateFromFile(fileName);
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> current = ReadImageForFieldUpdate(ui, bus, adapter,
                                                         database, true, eeprom, log);
    const auto [currentOffset, currentSize] = current->UpdateDisplayConfig();
    const auto [fileOffset, fileSize] = file->UpdateDisplayConfig();
    if (currentSize != fileSize)
    {
        throw std::runtime_error("TV blocks not compatible");
    }
    current->CopyBlock(currentOffset, file.get(), fileOffset, currentSize);
    UpdateSection(ui, adapter, eeprom, current, EEPROMAddress(*current, currentOffset),
                  static_cast<int32_t>(currentSize), log);
}

void CFlasherImpl::UpdateStraps(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                CRefPtr<IDisplayAdapter> adapter,
                                CRefPtr<IEEPROMDatabase> database, uint32_t word0,
                                uint32_t word1, uint32_t word2, uint32_t word3, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    LogLine(log, 3, "Action: Update straps.");
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> current =
        ReadImageForFieldUpdate(ui, bus, adapter, database, false, eeprom, log);
    current->SetStraps(word0, word1, word2, word3, kExtendedStrapWord0, kExtendedStrapWord1);
    UpdateSection(ui, adapter, eeprom, current, EEPROMAddress(*current, kHardwareDataOffset),
                  kHardwareDataLength, log);
}

void CFlasherImpl::UpdateGUID(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                              CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                              uint32_t high, uint32_t low, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    LogLine(log, 3, "Action: Update GUID.");
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> current =
        ReadImageForFieldUpdate(ui, bus, adapter, database, false, eeprom, log);
    // Without a GUID record there is nothing to change, and the record's
    // place would be read from bytes that are not one.
    if (!current->HasIEEE1394GUID())
    {
        throw std::runtime_error("No IEEE 1394 GUID present in image.");
    }
    current->SetIEEE1394GUID(high, low);
    UpdateSection(ui, adapter, eeprom, current,
                  EEPROMAddress(*current, current->GetIEEE1394GUIDOffset()),
                  current->GetIEEE1394GUIDSize(), log);
}

void CFlasherImpl::UpdateGUIDSource(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                    CRefPtr<IDisplayAdapter> adapter,
                                    CRefPtr<IEEPROMDatabase> database, uint32_t source, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    LogLine(log, 3, "Action: Update GUID source.");
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> current = ReadImageForFieldUpdate(ui, bus, adapter,
                                                         database, false, eeprom, log);
    current->SetGUIDSource(source);
    UpdateSection(ui, adapter, eeprom, current, EEPROMAddress(*current, kHardwareDataOffset),
                  kHardwareDataLength, log);
}
