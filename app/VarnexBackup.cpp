// The Varnex backup region: the adapter's Varnex store written into the
// backup block of its firmware. The packaged run's pre-merge writes it when
// the block is missing; the engineering command backupvarnex on request.

#include "app/AdapterConfirmation.h"
#include "app/RomviseBaseApp.h"
#include "app/VarnexBackupPayloads.h"

#include "core/CrossPlatform.h"
#include "flasher/IFlasher.h"
#include "flasher/VarnexStatus.h"
#include "varnex/VarnexImage.h"

#include <iostream>
#include <sstream>
#include <vector>

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
    if (status != kVarnexDone)
    {
        return status;
    }
    LogLine(log, 3, "\n\nCommand: backupvarnex");
    std::cout << std::endl;
    if (!skipConfirm && !ICommandLine::GetInstance()->IsSet("auto"))
    {
        ConfirmOrReleaseAdapter(adapter, "Backup Varnex image?", log);
    }
    if (!store)
    {
        std::cout << "Varnex image is not present." << std::endl;
        return kVarnexNoImage;
    }
    BackupPayloads payloads = PayloadsOf(*store, log);
    int result = kVarnexDone;
    std::ostringstream message;
    if (payloads.fileSystem.empty() || payloads.raw.empty())
    {
        // A store that has no raw form (invalid, or gaps between its
        // objects) leaves nothing to back up: nothing is written.
        message << "Varnex image backup failed.";
        result = kVarnexRefused;
    }
    else if (flasher->BuildAndFlashSuperImage(adapter, eeprom, current, payloads.fileSystem,
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
