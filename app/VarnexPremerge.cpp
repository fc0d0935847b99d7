// The packaged run's Varnex pre-merge: before a packaged update merges the
// adapter's Varnex store into the new image, the adapter's firmware must
// carry the backup block, which BackupVarnex writes when it is missing. A
// merge that cannot finish ends the run before anything is written.

#include "app/PackagedRunState.h"
#include "app/VarnexBackupPayloads.h"

#include "core/CrossPlatform.h"
#include "flasher/IFlasher.h"
#include "flasher/VarnexStatus.h"
#include "varnex/VarnexImage.h"

#include <iostream>
#include <stdexcept>

namespace
{
// The pre-merge into the package image; a merge that does not finish ends
// the run, whose guard gives the display back.
void MergeOrFail(IFlasher& flasher, CRefPtr<IROMImage> image, CRefPtr<IROMImage> current, CLog* log)
{
    if (flasher.MergeVarnex(image, current, true, true, false, true, true, log) != kVarnexDone)
    {
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
    if (flasher.BuildVarnexBlocks(withBackup, payloads.fileSystem, payloads.raw, true, log) !=
        kVarnexDone)
    {
        // The backup step fails the same way and reports it.
        return;
    }
    MergeOrFail(flasher, IROMImage::Clone(image.get()), withBackup, log);
}
} // namespace

int CKRUserFlashApp::PremergeVarnex(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                    CRefPtr<IROMImage> image)
{
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> current;
    CRefPtr<CVarnexImage> store;
    CRefPtr<IDisplayAdapter> opened = adapter;
    int status = state.flasher->GetAdapterImages(state.adapters, opened, nullptr, eeprom, current,
                                                 store, false);
    if (status != kVarnexDone)
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
        if (status != kVarnexDone)
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
        if (status != kVarnexDone)
        {
            return status;
        }
    }
    LogLine(state.log, 3, "Process to preserve OBD/IB from EEPROM.");
    MergeOrFail(*state.flasher, image, current, state.log);
    return kVarnexDone;
}
