// The Varnex store carried from the adapter's current image into a new image:
// the flash type acted on, the stores merged, the OEM and BBO objects carried
// over and the new image's Varnex block rebuilt.

#include "core/CommandLine.h"
#include "core/CrossPlatform.h"
#include "core/UserInterface.h"
#include "flasher/FlasherImpl.h"
#include "flasher/VarnexErrorGuard.h"
#include "flasher/VarnexFlashTypes.h"
#include "flasher/VarnexStatus.h"
#include "image/NBSIPCIBlock.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldVarnexFlashImpl.h"
#include "varnex/ObdFields.h"

#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{
const VarnexTag kOemTag("OEM");
const VarnexTag kBboTag("BBO");

CRefPtr<CROMMeldVarnexFlashImpl> NewMerger()
{
    return CRefPtr<CROMMeldVarnexFlashImpl>(CROMMeldVarnexFlashImpl::Create());
}

// The image object takes over the rebuilt bytes, so that every holder of the
// caller's image sees the new block.
void ReplaceImageContent(IROMImage& image, IROMImage& rebuilt)
{
    COffsetModeScope imageOff(&image, false);
    COffsetModeScope rebuiltOff(&rebuilt, false);
    const uint32_t oldSize = image.GetLoadedSize();
    const uint32_t newSize = rebuilt.GetLoadedSize();
    image.WriteBlock(rebuilt.GetBuffer(), 0, newSize);
    if (oldSize > newSize)
    {
        const std::vector<uint8_t> erased(oldSize - newSize, 0xFF);
        image.WriteBlock(erased.data(), static_cast<int32_t>(newSize), oldSize - newSize);
    }
    image.SetLoadedSize(newSize);
    image.Parse();
}

bool HasValidObject(const CRefPtr<CVarnexImage>& store, const VarnexTag& tag)
{
    return store && store->IsValid() && store->FindObject(tag) != nullptr;
}

void RemoveBlockIfPresent(IROMImage& image)
{
    const int32_t block = image.FindNBSIBlock();
    if (block != -1)
    {
        image.RemovePCIBlock(block);
    }
}
} // namespace

int32_t CFlasherImpl::ProcessVarnexBlock(int32_t flashType, CRefPtr<IROMImage> newImage,
                                         CRefPtr<IROMImage> current, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    if (flashType == kVarnexFlashTypeUnknown)
    {
        LogLine(log, 4,
                "Failed to recognize the Varnex flash type or the Varnex flash type is "
                "unsupported.");
        return kVarnexProcessFailed;
    }
    const VarnexFlashTypeDescriptor* row = FindVarnexFlashType(flashType);
    if (!row)
    {
        return kVarnexProcessFailed;
    }
    LogLine(log, 3, row->name);
    bool keepOBD = row->obdMode == 1;
    bool refreshBackup = row->backupMode == 1 || row->backupMode == 2;
    if (row->action == 3 && row->obdMode == 2)
    {
        keepOBD = false;
        refreshBackup = true;
        std::ostringstream diffs;
        const bool matched = IsOBDFieldsMatched(newImage, current, false, diffs);
        if (matched)
        {
            LogLine(log, 3,
                    "No difference found in OBD data between of Current OBD and File image.");
        }
        else if (!m_settings.autoConfirm && m_settings.mergeVarnex)
        {
            CRefPtr<IUserInterface> ui = m_services.userInterface();
            ui->ShowMessage(1, "\nDifferent fields of OBD: ");
            std::istringstream lines(diffs.str());
            for (std::string line; std::getline(lines, line);)
            {
                ui->ShowMessage(1, line);
            }
            std::ostringstream question;
            question << "== Current OBD ==\n";
            PrintOutOBDFields(current, false, question);
            question << "\n== New OBD ==\n";
            PrintOutOBDFields(newImage, false, question);
            question << "\nAre you want to preserve the OBD?\n"
                     << "PRESS 'y' TO CONTINUE OR ANY OTHER KEY TO APPLY NEW OBD : \n";
            ui->ShowMessage(1, question.str());
            const int key = GetCrossPlatform()->GetAnswerKey(false);
            keepOBD = key == 'y' || key == 'Y';
        }
    }
    try
    {
        RefactorNBSIVarnex(newImage, current, log);
        if (row->action == 1 || row->action == 3)
        {
            if (MergeVarnex(newImage, current, keepOBD, refreshBackup, false, true, true, log) !=
                kVarnexDone)
            {
                return kVarnexProcessFailed;
            }
        }
        else if (row->action == 2)
        {
            MergeVarnexImage(newImage, current, log);
        }
    }
    catch (const std::exception& error)
    {
        // Whatever stopped the merge, the new image does not carry the
        // board's store: the caller must not program it.
        LogLine(log, 4, error.what());
        return kVarnexProcessFailed;
    }
    return kVarnexDone;
}

int32_t CFlasherImpl::MergeVarnex(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                  bool keepOBD, bool refreshBackup, bool deleteBlock, bool keepOEM,
                                  bool keepBBO, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    CRefPtr<CVarnexImage> newStore = ReadVarnexObject(newImage, false);
    CRefPtr<CVarnexImage> curStore = ReadVarnexObject(current, false);
    CRefPtr<CVarnexImage> backupStore;
    if (refreshBackup && curStore)
    {
        backupStore = curStore;
        LogLine(log, 3, "Refresh Varnex Backup (IB) block from the source vbios in EEPROM.");
    }
    else
    {
        backupStore = ReadVarnexObject(current, true);
        if (backupStore)
        {
            LogLine(log, 3, "Preserve Varnex Backup (IB) block from the source vbios in EEPROM.");
        }
    }
    if (keepOBD)
    {
        LogLine(log, 3, "Preserve Varnex OBD object...");
        // The board's data must not be silently replaced by the new image's.
        const int32_t copied = CopyVarnexImageObdObject(newStore, curStore, false, log);
        if (copied != kVarnexDone)
        {
            LogLine(log, 4,
                    "ERROR: Failed to preserve Varnex OBD object (" + std::to_string(copied) +
                        ").");
            return copied;
        }
    }
    if (keepOEM)
    {
        LogLine(log, 3, "Preserve Varnex OEM object...");
        // Nor may the board's OEM data be dropped because the new store has
        // no room for it.
        const int32_t preserved = PreserveOEMObject(newStore, curStore, log);
        if (preserved != kVarnexDone && HasValidObject(curStore, kOemTag))
        {
            LogLine(log, 4,
                    "ERROR: Failed to preserve Varnex OEM object (" + std::to_string(preserved) +
                        ").");
            return preserved;
        }
    }
    if (keepBBO && PreserveBBOObject(newStore, curStore, log) == kVarnexNoBboPlaceholder)
    {
        RestoreDisplayDriverNow(log);
        throw std::runtime_error("Failed to preserve Varnex BBO data due to vbios's IR does not "
                                 "contain the BBO placeholder.");
    }
    MergeVarnexImage(newImage, current, log);
    if ((newImage->HasNBSIObject(nbsi::kTypeVarnexImage) && deleteBlock) ||
        !m_settings.mergeVarnex)
    {
        LogLine(log, 3, "Delete the current Varnex block from the target vbios image.");
        RemoveBlockIfPresent(*newImage);
    }
    if (!newStore)
    {
        LogLine(log, 3,
                "ROM image does not contain the Varnex Blcok (IR), skip to process the "
                "Varnex merger.");
        return kVarnexDone;
    }
    std::vector<uint8_t> mainPayload = newStore->Serialize(1, log);
    std::vector<uint8_t> backupPayload;
    if (backupStore)
    {
        backupPayload = backupStore->GetRawBytes(log);
    }
    return BuildVarnexBlocks(newImage, mainPayload, backupPayload, !backupPayload.empty(), log);
}

void CFlasherImpl::MergeVarnexImage(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                    CLog* log)
{
    if (!current->HasNBSIObject(nbsi::kTypeVarnexImage))
    {
        return;
    }
    if (newImage->HasNBSIObject(nbsi::kTypeVarnexImage))
    {
        RemoveBlockIfPresent(*newImage);
    }
    try
    {
        if (!NewMerger()->AppendVarnexToRomChain(newImage.get(), current.get(), log))
        {
            throw std::runtime_error("Failed to merge Varnex image.");
        }
    }
    catch (...)
    {
        LogLine(log, 4, "Error preserving Varnex Image.");
        throw;
    }
}

void CFlasherImpl::RemoveVarnexBlock(CRefPtr<IROMImage> image)
{
    if (image->HasNBSIObject(nbsi::kTypeVarnexImage))
    {
        RemoveBlockIfPresent(*image);
    }
}

void CFlasherImpl::RefactorNBSIVarnex(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                      CLog* log)
{
    auto refactor = [&](CRefPtr<IROMImage> image, const char* line)
    {
        if (image && image->HasNBSIObject(nbsi::kTypeVarnexImage) && !image->CheckOffsetModeChain())
        {
            LogLine(log, 3, line);
            CRefPtr<IROMImage> copy = IROMImage::Clone(image.get());
            if (MergeVarnex(image, copy, false, false, false, true, true, log) != kVarnexDone)
            {
                throw std::runtime_error("Error: Failed to create Varnex block.");
            }
        }
    };
    refactor(current, "Refactor current vbios's NBSI_VARNEX for super image.");
    refactor(newImage, "Refactor file image's NBSI_VARNEX for super image.");
}

int32_t CFlasherImpl::BuildVarnexBlocks(CRefPtr<IROMImage> image, std::vector<uint8_t>& mainPayload,
                                        std::vector<uint8_t>& backupPayload, bool hasBackup,
                                        CLog* log)
{
    const int32_t blockOffset = image->FindNBSIBlock();
    const uint32_t mainLength = image->GetNBSIObjectLength(nbsi::kTypeVarnexImage);
    const int32_t backupOffset = image->FindNBSIObject(nbsi::kTypeVarnexBackup);
    const uint32_t backupLength = image->GetNBSIObjectLength(nbsi::kTypeVarnexBackup);
    size_t mainSize = mainLength;
    size_t backupSize = backupLength;
    if (mainLength < mainPayload.size() || (hasBackup && backupLength < backupPayload.size()))
    {
        mainSize = mainPayload.size();
        backupSize = hasBackup ? backupPayload.size() : backupLength;
    }
    if (mainPayload.size() < mainSize)
    {
        mainPayload.resize(mainSize, 0xFF);
    }
    if (hasBackup && backupPayload.size() < backupSize)
    {
        backupPayload.resize(backupSize, 0xFF);
    }
    std::vector<uint8_t> backupContent;
    if (hasBackup)
    {
        backupContent = backupPayload;
    }
    else if (backupOffset != -1 && backupLength != 0)
    {
        backupContent.resize(backupLength);
        image->ReadBlock(backupContent.data(), backupOffset, backupLength);
    }

    // The block is laid out before the old one is removed, and placed into a
    // copy: a failure leaves the image with its old block.
    CNBSIPCIBlockVarnex block(mainPayload, backupContent);
    CRefPtr<CROMMeldVarnexFlashImpl> merger = NewMerger();
    CRefPtr<IROMImage> laidOut = merger->BuildBlankVarnexRom(image.get(), &block, log);
    if (!laidOut)
    {
        LogLine(log, 3, "Error: Failed to create Varnex block.");
        return kVarnexBuildFailed;
    }
    CRefPtr<IROMImage> rebuilt = IROMImage::Clone(image.get());
    if (blockOffset != -1)
    {
        rebuilt->RemovePCIBlock(blockOffset);
    }
    if (!merger->AppendVarnexToRomChain(rebuilt.get(), laidOut.get(), log))
    {
        LogLine(log, 3, "Error: Failed to create Varnex block.");
        return kVarnexBuildFailed;
    }
    ReplaceImageContent(*image, *rebuilt);
    if (m_settings.romOut)
    {
        image->SaveToFile(*m_settings.romOut, 0, image->GetLoadedSize());
    }
    return kVarnexDone;
}

int32_t CFlasherImpl::UpdateBBOObject(CRefPtr<CVarnexImage> store, uint8_t id, uint8_t revision,
                                      uint16_t value, CLog* log)
{
    if (!store)
    {
        std::cout << "Invalid Varnex image." << std::endl;
        return kVarnexBboNoStore;
    }
    if (!store->IsValid())
    {
        PrintAndLog(log, "\nUpdate failed: Varnex is invalid.");
        return kVarnexNotCarried;
    }
    auto* bbo = dynamic_cast<CVarnexImageBboObject*>(store->FindObject(kBboTag));
    if (!bbo)
    {
        PrintAndLog(log, "Update failed: Varnex does not have BBO Object.");
        return kVarnexNotCarried;
    }
    bbo->SetValue(id, revision, value);
    return kVarnexDone;
}

int32_t CFlasherImpl::UpdateOEMObject(CRefPtr<CVarnexImage> store, std::vector<uint8_t>& data,
                                      CLog* log)
{
    if (!store)
    {
        std::cout << "Invalid Varnex image." << std::endl;
        return kVarnexNoStore;
    }
    if (!store->IsValid())
    {
        PrintAndLog(log, "\nUpdate failed: Varnex is invalid.");
        return kVarnexInvalidStore;
    }
    CVarnexImageObject* oem = store->FindObject(kOemTag);
    if (!oem)
    {
        PrintAndLog(log, "Update failed: Varnex does not have OEM Object.");
        return kVarnexRefused;
    }
    const size_t bodyLength = oem->GetSize() >= 8 ? oem->GetSize() - 8u : 0u;
    if (data.size() > bodyLength)
    {
        PrintAndLog(log, "Update failed: Input OEM data is too large.");
        return kVarnexRefused;
    }
    data.resize(bodyLength, 0);
    if (!oem->SetData(data))
    {
        PrintAndLog(log, "Update failed: Input OEM data is too large.");
        return kVarnexRefused;
    }
    store->UpdateDirectory();
    return kVarnexDone;
}

int32_t CFlasherImpl::BackupOEMObject(CRefPtr<CVarnexImage> backupStore,
                                      CRefPtr<CVarnexImage> primaryStore,
                                      std::vector<uint8_t>& data, CLog* log)
{
    if (!primaryStore || !primaryStore->IsValid())
    {
        std::cout << "Invalid Varnex image." << std::endl;
        return kVarnexNoStore;
    }
    if (!backupStore || !backupStore->IsValid())
    {
        LogLine(log, 3, "Invalid Backup Varnex image.");
        return kVarnexNoStore;
    }
    const CVarnexImageObject* primary = primaryStore->FindObject(kOemTag);
    if (!primary)
    {
        LogLine(log, 3, "OEM data not backed up: Varnex does not have OEM Object.");
        return kVarnexRefused;
    }
    const CVarnexImageObject* backup = backupStore->FindObject(kOemTag);
    if (!backup)
    {
        LogLine(log, 3, "OEM data not backed up: Backup Varnex image does not have OEM Object.");
        return kVarnexMismatch;
    }
    if (primary->GetVersion() != backup->GetVersion() ||
        primary->GetSubversion() != backup->GetSubversion())
    {
        LogLine(log, 3,
                "OEM data not backed up: Primary and Backup OEM Object version mismatches.");
        return kVarnexMismatch;
    }
    return UpdateOEMObject(backupStore, data, log);
}

int32_t CFlasherImpl::PreserveOEMObject(CRefPtr<CVarnexImage> newStore,
                                        CRefPtr<CVarnexImage> currentStore, CLog* log)
{
    if (!newStore || !currentStore)
    {
        LogLine(log, 3, "Skip to preserve Varnex OEM due to No Varnex be found.");
        return kVarnexDone;
    }
    if (!newStore->IsValid() || !currentStore->IsValid())
    {
        return kVarnexNotCarried;
    }
    CVarnexImageObject* oem = currentStore->FindObject(kOemTag);
    if (!oem)
    {
        return kVarnexNotCarried;
    }
    std::vector<uint8_t> data = oem->GetData();
    if (UpdateOEMObject(newStore, data, log) != kVarnexDone)
    {
        return kVarnexNotCarried;
    }
    LogLine(log, 3, "Succeed to preserve Varnex OEM object.");
    return kVarnexDone;
}

int32_t CFlasherImpl::PreserveBBOObject(CRefPtr<CVarnexImage> newStore,
                                        CRefPtr<CVarnexImage> currentStore, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    if (!newStore || !currentStore)
    {
        LogLine(log, 3, "Skip to preserve Varnex BBO due to No Varnex be found.");
        return kVarnexDone;
    }
    if (!newStore->IsValid() || !currentStore->IsValid())
    {
        return kVarnexNotCarried;
    }
    auto* source = dynamic_cast<CVarnexImageBboObject*>(currentStore->FindObject(kBboTag));
    if (!source)
    {
        return kVarnexNotCarried;
    }
    LogLine(log, 3, "Preserve Varnex BBO object...");
    uint32_t id = 0;
    uint32_t revision = 0;
    uint32_t value = 0;
    source->GetValue(id, revision, value);
    if (!newStore->FindObject(kBboTag))
    {
        LogLine(log, 3,
                "Failed to preserve Varnex BBO object due to Varnex does not contain the "
                "BBO placeholder.");
        return kVarnexNoBboPlaceholder;
    }
    if (UpdateBBOObject(newStore, static_cast<uint8_t>(id), static_cast<uint8_t>(revision),
                        static_cast<uint16_t>(value), log) != kVarnexDone)
    {
        return kVarnexNotCarried;
    }
    LogLine(log, 3, "Succeed to preserve Varnex BBO object.");
    return kVarnexDone;
}
