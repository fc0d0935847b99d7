// An adapter opened for Varnex work, and images whose Varnex block the
// engine builds, programmed into the adapter or written to the file of the
// option romout.

#include "core/UserInterface.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "flasher/VarnexErrorGuard.h"
#include "flasher/VarnexStatus.h"

#include <sstream>

namespace
{
// With the option romout the image goes to its file instead of the adapter.
bool SaveToRomOut(IROMImage& image)
{
    if (!IsOptionSet("romout"))
    {
        return false;
    }
    image.SaveToFile(ICommandLine::GetInstance()->GetValue("romout", 0, 0), 0,
                     image.GetLoadedSize());
    return true;
}
} // namespace

int32_t CFlasherImpl::GetAdapterImages(CRefPtr<IDisplayAdapterDatabase> /*adapters*/,
                                       CRefPtr<IDisplayAdapter>& adapter,
                                       IMicrocodeLoader* /*loader*/, CRefPtr<IEEPROM>& eeprom,
                                       CRefPtr<IROMImage>& image, CRefPtr<CVarnexImage>& store,
                                       bool detailed)
{
    CLog* log = GetLog();
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    LogLine(log, 3, "Action: Get the specific images from display adapter.");
    if (log)
    {
        adapter->PrintDescription(*log, false, true);
    }
    const int32_t retries = IsOptionSet("noretries") ? 1 : 3;
    CRefPtr<IPCIBus> bus = GetPCIBus();
    CRefPtr<IUserInterface> ui = GetUserInterface();
    CRefPtr<IEEPROMDatabase> database = GetEEPROMDatabase();
    adapter->MapRegisters();
    DisableDisplayDriver(adapter, log, false);
    SelectAdapter(ui, bus, adapter, detailed);

    eeprom = CreateEEPROM(adapter, retries, IsOptionSet("manualread"), IsOptionSet("nokestrix"));
    if (!eeprom)
    {
        LogLine(log, 3, "Unsupported EEPROM Type. Can't proceed.");
        RestoreDisplayDriverNow(log);
        return kVarnexNoImage;
    }
    if (eeprom->IsSecure() && m_loaderFactory)
    {
        MicrocodeLoaderRequest request{ui,           bus,           adapter,  database, eeprom,
                                       m_wiuConsole, m_autoConfirm, detailed, log};
        AttachMicrocodeLoader(m_loaderFactory(request), eeprom, database);
    }

    const bool fromFile = IsOptionSet("romin");
    if (detailed)
    {
        const char* const text =
            fromFile ? "Reading VBIOS image from input image" : "Reading VBIOS image from EEPROM";
        LogLine(log, 3, text);
        ui->ShowMessage(0, text);
    }
    CRefPtr<IROMImage> read =
        fromFile ? IROMImage::CreateFromFile(ICommandLine::GetInstance()->GetValue("romin", 0, 0))
                 : ReadAdapterImage(ui, adapter, database, eeprom, log, detailed);
    if (!read)
    {
        LogLine(log, 4, "ROM image is not present.");
        RestoreDisplayDriverNow(log);
        return kVarnexNoImage;
    }
    // The Varnex store carried into an update comes from the content an
    // unfinished update saved, not from a half-written part.
    image = fromFile ? read : SavedContentOr(adapter, read, log);
    store = ReadVarnexObject(image, false);
    LogLine(log, 3, "Read VBIOS completed.");
    return kVarnexDone;
}

bool CFlasherImpl::BuildAndFlashSuperImage(CRefPtr<IDisplayAdapter> adapter,
                                           CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> image,
                                           std::vector<uint8_t>& mainPayload,
                                           std::vector<uint8_t>& backupPayload, bool hasBackup,
                                           CLog* log, CRefPtr<IBCRTCert> certificate)
{
    if (BuildVarnexBlocks(image, mainPayload, backupPayload, hasBackup, log) != kVarnexDone)
    {
        return false;
    }
    if (!SaveToRomOut(*image))
    {
        FlashImage(GetUserInterface(), image, /*showProgress=*/true, /*keepStraps=*/true,
                   /*keepBoardSettings=*/true, adapter, eeprom, GetEEPROMDatabase(),
                   kFlashWholeImage, log, certificate, /*processVarnex=*/false);
    }
    return true;
}

bool CFlasherImpl::WriteVarnexImage(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                                    CRefPtr<IROMImage> image, CRefPtr<IBCRTCert> certificate,
                                    CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    if (!image)
    {
        LogLine(log, 3, "Error: Failed to create Varnex block.");
        return false;
    }
    if (!SaveToRomOut(*image))
    {
        FlashImage(GetUserInterface(), image, /*showProgress=*/IsVerbose(), /*keepStraps=*/true,
                   /*keepBoardSettings=*/true, adapter, eeprom, GetEEPROMDatabase(),
                   kFlashWholeImage, log, certificate, /*processVarnex=*/false);
    }
    return true;
}

int32_t CFlasherImpl::DisplayVarnexOBD(CRefPtr<IDisplayAdapter> adapter,
                                       CRefPtr<IDisplayAdapterDatabase> adapters, CLog* log)
{
    CRefPtr<IUserInterface> ui = GetUserInterface();
    LogLine(log, 3, "Action: Display Varnex OBD information ");
    ui->Signal(0);
    ui->ShowMessage(0, "Reading VBIOS image for displaying OBD information.");
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> image;
    CRefPtr<CVarnexImage> store;
    const int32_t status = GetAdapterImages(adapters, adapter, nullptr, eeprom, image, store, true);
    if (status != kVarnexDone)
    {
        return status;
    }
    std::ostringstream fields;
    PrintOutOBDFields(image, false, fields);
    LogMessage(fields, 4, false);
    ui->ShowMessage(1, "Display Varnex OBD information completed.");
    ui->Signal(1);
    return kVarnexDone;
}
