// EEPROM identification, image reads and the check that an image fits the
// identified part.

#include "core/CrossPlatform.h"
#include "core/TextHelpers.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/OffsetModeScope.h"

#include <sstream>
#include <stdexcept>

namespace
{

// Runs a read with the EEPROM driver's log, writing the failure line at
// level 4 when the read leaves by an exception, which then goes on.
template <class Read>
CRefPtr<IROMImage> ReadWithFailureLine(CLog* log, const char* failure, Read read)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    try
    {
        CLogOrDiscard logOrDiscard(log);
        return read(*logOrDiscard);
    }
    catch (...)
    {
        LogLine(log, 4, failure);
        throw;
    }
}
} // namespace

void CFlasherImpl::IdentifyEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                  CRefPtr<IEEPROMDatabase> database, CLog* log, bool showProgress)
{
    if (showProgress)
    {
        ui->ShowMessage(0, "Identifying EEPROM");
    }
    LogLine(log, 3, "Action: Identify EEPROM.");
    CLogOrDiscard logOrDiscard(log);
    const bool found = eeprom->Identify(database.get(), *logOrDiscard);
    std::ostringstream description;
    eeprom->Describe(description);
    if (showProgress)
    {
        ui->ShowMessage(1, description.str());
    }
    LogLine(log, 3, description.str());
    if (!found)
    {
        RestoreDisplayDriverNow(log);
        throw std::runtime_error("Supported EEPROM not found");
    }
}

CRefPtr<IROMImage> CFlasherImpl::ReadEEPROMImage(CRefPtr<IUserInterface> ui,
                                                 CRefPtr<IEEPROM> eeprom, uint32_t count, CLog* log)
{
    LogLine(log, 3, "Action: Read EEPROM image.");
    return ReadWithFailureLine(log, "\nReading EEPROM failed.",
                               [&](CLog& target)
                               {
                                   CRefPtr<IROMImage> image =
                                       eeprom->ReadImage(ui.get(), count, target);
                                   image->Parse();
                                   if (image->GetLoadedSize() == 0)
                                   {
                                       RestoreDisplayDriverNow(log);
                                       throw std::runtime_error("Unable to read EEPROM");
                                   }
                                   return image;
                               });
}

CRefPtr<IROMImage> CFlasherImpl::ReadEEPROMImageCopy(CRefPtr<IUserInterface> ui,
                                                     CRefPtr<IEEPROM> eeprom, uint32_t count,
                                                     CLog* log)
{
    LogLine(log, 3, "Action: Read EEPROM image copy.");
    return ReadWithFailureLine(log, "\nReading EEPROM image failed.",
                               [&](CLog& target)
                               {
                                   CRefPtr<IROMImage> image =
                                       eeprom->ReadImageCopy(ui.get(), count, target);
                                   if (!image || image->GetLoadedSize() == 0)
                                   {
                                       throw std::runtime_error("Reading EEPROM image failed");
                                   }
                                   return image;
                               });
}

CRefPtr<IROMImage> CFlasherImpl::ReadImageHead(CRefPtr<IUserInterface> ui,
                                               CRefPtr<IDisplayAdapter> adapter,
                                               CRefPtr<IEEPROMDatabase> database,
                                               CRefPtr<IEEPROM> eeprom, bool& blank, CLog* log)
{
    LogLine(log, 3, "Action: Read image head.");
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    blank = false;
    if (adapter->IsROMTypeZero() && !adapter->IsROMAccessEnabled())
    {
        LogLine(log, 3, "Reading frame buffer copy.");
        CRefPtr<IROMImage> copy = ReadEEPROMImageCopy(ui, eeprom, kImageHeadSize, log);
        if (copy->IsValid())
        {
            return copy;
        }
    }
    IdentifyEEPROM(ui, eeprom, database, log, false);
    CRefPtr<IROMImage> head = ReadEEPROMImage(ui, eeprom, kImageHeadSize, log);
    blank = head->IsErased();
    if (blank)
    {
        LogLine(log, 3, "EEPROM is blank.");
    }
    return head;
}

CRefPtr<IROMImage> CFlasherImpl::ReadAdapterImage(CRefPtr<IUserInterface> ui,
                                                  CRefPtr<IDisplayAdapter> /*adapter*/,
                                                  CRefPtr<IEEPROMDatabase> database,
                                                  CRefPtr<IEEPROM> eeprom, CLog* log,
                                                  bool showProgress)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    IdentifyEEPROM(ui, eeprom, database, log, showProgress);
    return ReadEEPROMImage(ui, eeprom, eeprom->GetType().GetSizeInBytes(), log);
}

bool CFlasherImpl::CheckImageFitsEEPROM(CRefPtr<IROMImage> image, CRefPtr<IEEPROM> eeprom,
                                        CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    const CEEPROMType type = eeprom->GetType();
    const uint32_t partSize = type.GetSizeInBytes();
    if (type.BytesPerPage == 0)
    {
        LogLine(log, 3, "EEPROM page size is zero: the part cannot be programmed.");
        return false;
    }
    COffsetModeScope offsetOff(image.get(), false);
    const uint64_t loaded = image->GetLoadedSize();
    // The chain's size is 0 when its blocks run past the loaded bytes: such
    // an image was cut short and must not be written.
    uint64_t chain = 0;
    try
    {
        chain = image->GetROMSize();
    }
    catch (const std::runtime_error& error)
    {
        LogLine(log, 3, error.what());
        return false;
    }
    if (chain == 0 && image->IsPCIROM())
    {
        LogLine(log, 3,
                "ROM image PCI block chain runs past the loaded image, loaded size = " +
                    ToHex64(loaded, 8));
        return false;
    }
    // What is programmed is every loaded byte, so that is what must fit.
    uint64_t size = loaded;
    if (size % type.BytesPerPage != 0)
    {
        size += type.BytesPerPage - size % type.BytesPerPage;
    }
    if (size > partSize)
    {
        LogLine(log, 3,
                "ROM image too large for EEPROM, target image size = " + ToHex64(size, 8) +
                    " v.s. Certain EEPROM size = " + ToHex64(partSize, 8));
        return false;
    }
    return true;
}
