// The Varnex backup region: before a packaged update merges the adapter's
// Varnex store into the new image, the adapter's firmware must carry the
// backup block, which BackupVarnex writes when it is missing. A merge that
// cannot finish ends the run before anything is written.

#include "app/PackagedRunState.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "flasher/IFlasher.h"
#include "flasher/VarnexStatus.h"
#include "varnex/VarnexImage.h"

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace
{
// The backup region's two copies of the store: the file-system form for the
// main object, the raw form for the backup.
struct BackupPayloads
{
    std::vector<uint8_t> fileSystem;
    std::vector<uint8_t> raw;
};

BackupPayloads PayloadsOf(const CVarnexImage& store, CLog* log)
{
    return {store.Serialize(CVarnexImage::kSerializeFileSystem, log), store.GetRawBytes(log)};
}

// The pre-merge into the package image; a merge that does not finish ends
// the run.
void MergeOrFail(IFlasher& flasher, CRefPtr<IROMImage> image, CRefPtr<IROMImage> current, CLog* log)
{
    if (flasher.MergeVarnex(image, current, true, true, false, true, true, log) != kVarnexDone)
    {
        GetCrossPlatform()->RestoreDisplayDriver(log);
        throw std::runtime_error("Failed to process Varnex block.");
    }
}

// The merge tried in memory on the firmware the backup step will leave on
// the adapter, so that a merge that cannot finish stops the run before the
// backup step writes.
void RehearseMerge(IFlasher& flasher, CRefPtr<IROMImage> image, CRefPtr<IROMImage> current,
                   const CVarnexImage& store, CLog* log)
{
    LogLine(log, 3, "Trying the Varnex merge before the backup region is written.");
    CRefPtr<IROMImage> withBackup = IROMImage::Clone(current.get());
    BackupPayloads payloads = PayloadsOf(store, log);
    if (flasher.BuildVarnexBlocks(withBackup, payloads.fileSystem, payloads.raw, true, log) != 0)
    {
        // The backup step fails the same way and reports it.
        return;
    }
    MergeOrFail(flasher, IROMImage::Clone(image.get()), withBackup, log);
}
} // namespace

int CRomviseBaseApp::BackupVarnex(CRefPtr<IDisplayAdapter> adapter,
                                  CRefPtr<IDisplayAdapterDatabase> adapters, bool skipConfirm,
                                  CLog* log)
{
    IFlasher* flasher = GetFlasher();
    IUserInterface* ui = GetUserInterface();
    LogLine(log, 3, "Action: Update Varnex Backup region");
    ui->Signal(0);
    ui->ShowMessage(0, "Reading VBIOS image for updating Varnex Backup region");
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> current;
    CRefPtr<CVarnexImage> store;
    const int32_t status = flasher->GetAdapterImages(adapters, adapter, nullptr, eeprom, current,
                                                     store, HasEngineeringFeatures());
    if (status != 0)
    {
        return status;
    }
    LogLine(log, 3, "\n\nCommand: backupvarnex");
    std::cout << std::endl;
    if (!skipConfirm && !ICommandLine::GetInstance()->IsSet("auto"))
    {
        std::cout << "\nBackup Varnex image?\nPress 'y' to confirm (any other key to abort): "
                  << std::flush;
        const int key = GetCrossPlatform()->GetKey();
        if (key != 'y' && key != 'Y')
        {
            adapter->UnmapRegisters();
            adapter = nullptr;
            GetCrossPlatform()->RestoreDisplayDriver(log);
            throw user_abort_error("Aborted!");
        }
        std::cout << std::endl;
    }
    if (!store)
    {
        std::cout << "Varnex image is not present." << std::endl;
        return kVarnexNoImage;
    }
    BackupPayloads payloads = PayloadsOf(*store, log);
    int result = kVarnexDone;
    std::ostringstream message;
    if (flasher->BuildAndFlashSuperImage(adapter, eeprom, current, payloads.fileSystem,
                                         payloads.raw, true, log, nullptr))
    {
        message << "Varnex image backed up successfully.";
    }
    else
    {
        LogLine(log, 3, "Error: Write failed.");
        message << "Varnex image backup failed.";
        result = kVarnexWriteFailed;
    }
    FlushMessageBuffer(message, log, 3);
    ui->Signal(1);
    return result;
}

int CKRUserFlashApp::PremergeVarnex(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                    CRefPtr<IROMImage> image)
{
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> current;
    CRefPtr<CVarnexImage> store;
    CRefPtr<IDisplayAdapter> opened = adapter;
    int status = state.flasher->GetAdapterImages(state.adapters, opened, nullptr, eeprom, current,
                                                 store, false);
    if (status != 0)
    {
        return status;
    }
    if (!current->HasVarnexBackupBlock())
    {
        if (store)
        {
            RehearseMerge(*state.flasher, image, current, *store, state.log);
        }
        LogLine(state.log, 3, "Process to backup Adapter Varnex before merging.");
        status = BackupVarnex(adapter, state.adapters, true, state.log);
        if (status != 0)
        {
            if (status == kVarnexWriteFailed)
            {
                // Nothing more is written: the display comes back now.
                GetCrossPlatform()->RestoreDisplayDriver(state.log);
                std::cerr << "Varnex backup region could not be written; the adapter was not "
                             "updated."
                          << std::endl;
            }
            return status;
        }
        opened = adapter;
        status = state.flasher->GetAdapterImages(state.adapters, opened, nullptr, eeprom, current,
                                                 store, false);
        if (status != 0)
        {
            return status;
        }
    }
    LogLine(state.log, 3, "Process to preserve OBD/IB from EEPROM.");
    MergeOrFail(*state.flasher, image, current, state.log);
    return 0;
}
