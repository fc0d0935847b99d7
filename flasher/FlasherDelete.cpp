// VBIOS deletion: every PCI expansion-ROM block of the adapter's firmware is
// removed and only its Varnex information store is kept. The store's block is
// carried into an empty ROM chain and programmed from the start of the part;
// firmware without a store is erased whole.

#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/ROMMeldVarnexFlashImpl.h"

#include "image/OffsetModeScope.h"

#include <algorithm>
#include <stdexcept>

namespace
{
const char* const kDeleteCompleted = "Delete Vbios completed.";
} // namespace

void CFlasherImpl::DeleteVbios(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                               CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                               bool skipConfirmation, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    const DestructiveQuestions questions{
        "Delete Vbios.", "Delete Vbios confirmation skipped.",
        "Erasing the Vbios erases all Vbios related data from the EEPROM part including "
        "preservation (krtune) data.\nDelete Vbios?\n",
        "Erase aborted", "Delete aborted"};
    CRefPtr<IEEPROM> eeprom = BeginDestructiveOperation(questions, ui, bus, adapter, database,
                                                        skipConfirmation, log, AdapterUse::Writes);
    try
    {
        ui->ShowMessage(0, "Deleting Vbios image from EEPROM");
        // After a stopped write the content it saved stands in for the chip.
        CRefPtr<IROMImage> current =
            ReadEEPROMImage(ui, eeprom, eeprom->GetType().GetSizeInBytes(), log);
        const int32_t varnexBlock = current->FindNBSIBlock();
        if (varnexBlock == -1)
        {
            EraseWholePart(ui, eeprom, log);
        }
        else
        {
            WriteVarnexOnlyImage(ui, adapter, eeprom, current, varnexBlock, log);
        }
    }
    catch (...)
    {
        LogLine(log, 4, "Delete Vbios failed.");
        throw;
    }
    ui->ShowMessage(1, kDeleteCompleted);
    LogLine(log, 3, kDeleteCompleted);
    ui->Signal(1);
}

void CFlasherImpl::WriteVarnexOnlyImage(CRefPtr<IUserInterface> ui,
                                        CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                                        CRefPtr<IROMImage> current, int32_t varnexBlock, CLog* log)
{
    // A block that claims no bytes carries no store to keep: deleting around
    // it would report success for a part left as it was.
    if (current->GetPCIBlockLength(varnexBlock) == 0)
    {
        throw std::runtime_error("Varnex block of the adapter firmware is empty: Vbios not deleted");
    }
    CRefPtr<IROMImage> fresh = IROMImage::Create(current->GetImageType());
    CRefPtr<CROMMeldVarnexFlashImpl> merger(CROMMeldVarnexFlashImpl::Create());
    CRefPtr<IROMImage> varnexOnly =
        merger->AppendVarnexToRomChain(fresh.get(), current.get(), log);
    if (!varnexOnly)
    {
        throw std::runtime_error("Varnex block could not be carried over: Vbios not deleted");
    }
    UpdateSection(ui, adapter, eeprom, varnexOnly,
                  static_cast<uint32_t>(varnexOnly->FindNBSIBlock()),
                  static_cast<int32_t>(varnexOnly->GetLoadedSize()), log, UpdateWriteKind::Delete);
}

void CFlasherImpl::EraseWholePart(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom, CLog* log)
{
    CLogOrDiscard logOrDiscard(log);
    CAdapterSessionImpl* session = SessionOf(eeprom.get());
    if (session)
    {
        session->BeginWrite(UpdateWriteKind::Delete,
                            std::vector<uint8_t>(eeprom->GetType().GetSizeInBytes(), 0xFF), *ui,
                            log);
    }
    LiftWriteProtectionIfNeeded(*ui, *eeprom, *logOrDiscard);
    eeprom->EraseChip(ui.get(), *logOrDiscard);
    if (session)
    {
        // The erase is proved before the record goes.
        const uint32_t partSize = eeprom->GetType().GetSizeInBytes();
        CRefPtr<IROMImage> readBack = eeprom->ReadImage(nullptr, partSize, *logOrDiscard);
        COffsetModeScope off(readBack.get(), false);
        const uint8_t* bytes = IROMImage::ReadOnlyBuffer(readBack.get());
        if (readBack->GetLoadedSize() < partSize ||
            !std::all_of(bytes, bytes + partSize, [](uint8_t byte) { return byte == 0xFF; }))
        {
            throw std::runtime_error("EEPROM erase failed.");
        }
        session->FinishWrite();
    }
}
