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
bool SaveToRomOut(IROMImage& image, const EngineSettings& settings)
{
    if (!settings.romOut)
    {
        return false;
    }
    image.SaveToFile(*settings.romOut, 0, image.GetLoadedSize());
    return true;
}
} // namespace

int32_t CFlasherImpl::GetAdapterImages(CRefPtr<IDisplayAdapterDatabase> /*adapters*/,
                                       CRefPtr<IDisplayAdapter>& adapter,
                                       IMicrocodeLoader* /*loader*/, CRefPtr<IEEPROM>& eeprom,
                                       CRefPtr<IROMImage>& image, CRefPtr<CVarnexImage>& store,
                                       bool detailed)
{
    CLog* log = m_services.log();
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    LogLine(log, 3, "Action: Get the specific images from display adapter.");
    if (log)
    {
        adapter->PrintDescription(*log, false, true);
    }
    CRefPtr<IPCIBus> bus = m_services.bus();
    CRefPtr<IUserInterface> ui = m_services.userInterface();
    CRefPtr<IEEPROMDatabase> database = m_services.database();
    adapter->MapRegisters();
    // A Varnex command reads the store, and may write it back: the session
    // reads the content a stopped write saved in place of a half-written
    // chip, and claims the adapter when the command writes.
    try
    {
        eeprom = OpenAdapterSession(adapter,
                                    EngineOpening(AdapterUse::Saves, bus, database, detailed), ui,
                                    log)
                     ->EEPROM();
    }
    catch (const unsupported_eeprom_error&)
    {
        eeprom = nullptr;
        LogLine(log, 3, "Unsupported EEPROM Type. Can't proceed.");
        RestoreDisplayDriverNow(log);
        return kVarnexNoImage;
    }

    const bool fromFile = m_settings.romIn.has_value();
    if (detailed)
    {
        const char* const text =
            fromFile ? "Reading VBIOS image from input image" : "Reading VBIOS image from EEPROM";
        LogLine(log, 3, text);
        ui->ShowMessage(0, text);
    }
    CRefPtr<IROMImage> read =
        fromFile ? IROMImage::CreateFromFile(*m_settings.romIn)
                 : ReadAdapterImage(ui, adapter, database, eeprom, log, detailed);
    if (!read)
    {
        LogLine(log, 4, "ROM image is not present.");
        RestoreDisplayDriverNow(log);
        return kVarnexNoImage;
    }
    image = read;
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
    if (!SaveToRomOut(*image, m_settings))
    {
        FlashImage(m_services.userInterface(), image, /*showProgress=*/true, /*keepStraps=*/true,
                   /*keepBoardSettings=*/true, adapter, eeprom, m_services.database(),
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
    if (!SaveToRomOut(*image, m_settings))
    {
        FlashImage(m_services.userInterface(), image, /*showProgress=*/IsVerbose(),
                   /*keepStraps=*/true,
                   /*keepBoardSettings=*/true, adapter, eeprom, m_services.database(),
                   kFlashWholeImage, log, certificate, /*processVarnex=*/false);
    }
    return true;
}

int32_t CFlasherImpl::DisplayVarnexOBD(CRefPtr<IDisplayAdapter> adapter,
                                       CRefPtr<IDisplayAdapterDatabase> adapters, CLog* log)
{
    CRefPtr<IUserInterface> ui = m_services.userInterface();
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
