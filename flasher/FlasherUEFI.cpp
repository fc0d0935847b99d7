// Flashing a UEFI driver image: merged into the adapter's current firmware,
// programmed, and read back, with the update record kept around the writes
// when one is set.

#include "core/TextHelpers.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace
{
// The three items the log shows of a firmware before and after the merge.
void LogRomLayout(CLog* log, const std::string& title, IROMImage& rom,
                  const UEFIImageServices& uefi)
{
    CRefPtr<IROMImage> held(&rom);
    LogLine(log, 3, "\n" + title);
    LogLine(log, 3,
            "UEFI-Support = " +
                (uefi.describeSupport ? uefi.describeSupport(held) : std::string("Unavailable")));
    LogLine(log, 3, "ROM Size = " + std::to_string(rom.GetLoadedSize()));
    LogLine(log, 3, "Expanded PCI Blocks Layout:");
    LogLine(log, 3, rom.DumpPCIBlocks(1));
}

// Merges the UEFI image into `rom`, a copy of the current firmware. Nothing
// has been written yet, so every way the merge fails is a refusal.
void MergeOrRefuse(CRefPtr<IROMImage> rom, CRefPtr<IROMImage> uefiImage,
                   const UEFIImageServices& uefi, CLog* log)
{
    LogLine(log, 3, "\nMerging the ROM with the provided UEFI image.");
    bool merged = false;
    try
    {
        merged = uefi.merge && uefi.merge(rom, uefiImage, log);
    }
    catch (const std::runtime_error& error)
    {
        LogLine(log, 3, "Successful merge?: No");
        throw uefi_refused_error(error.what());
    }
    LogLine(log, 3, std::string("Successful merge?: ") + (merged ? "Yes" : "No"));
    if (!merged)
    {
        // Nothing is written, and the caller must not take that for an update.
        throw uefi_refused_error("The UEFI image could not be merged into the adapter firmware.");
    }
}

// The merged firmware's chain, the bytes the update writes; the rest of the
// part keeps what it holds.
CRefPtr<IROMImage> MergedChain(IROMImage& rom, uint32_t partSize, CLog* log)
{
    COffsetModeScope offsetOff(&rom, false);
    const uint32_t romSize = rom.GetROMSize();
    if (romSize > partSize)
    {
        LogLine(log, 3, "EEPROM size = " + ToHex(partSize, 2));
        LogLine(log, 3, "Can't fit an image of size " + ToHex(romSize, 2));
        throw uefi_refused_error(
            "The EEPROM on this graphics card is too small to support this firmware update.");
    }
    // A merged image without a chain has nothing to write: that is no update.
    if (romSize == 0)
    {
        throw std::runtime_error("Full image not programmed");
    }
    // Bytes the chain names past those loaded are written erased.
    std::vector<uint8_t> bytes(romSize, 0xFF);
    std::copy_n(IROMImage::ReadOnlyBuffer(&rom), std::min(romSize, rom.GetLoadedSize()),
                bytes.begin());
    CRefPtr<IROMImage> chain = IROMImage::CreateFromBuffer(bytes.data(), romSize);
    chain->SetOffsetMode(false);
    return chain;
}
} // namespace

void CFlasherImpl::SetUEFIImageServices(UEFIImageServices services)
{
    m_uefi = std::move(services);
}

void CFlasherImpl::FlashUEFIImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> uefiImage,
                                  CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                                  CLog* log)
{
    LogLine(log, 3, "Action: Flash UEFI image.");
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    ui->Signal(0);
    // After an update that did not finish the part may be half written: the
    // session reads the firmware it held before, and the driver goes into it.
    CRefPtr<IAdapterSession> session = SessionFor(adapter, eeprom, AdapterUse::Writes, *ui, log);
    eeprom = session->EEPROM();
    const uint32_t partSize = eeprom->GetType().GetSizeInBytes();
    CRefPtr<IROMImage> current = ReadEEPROMImage(ui, eeprom, partSize, log);
    CRefPtr<IROMImage> rom = IROMImage::Clone(current.get());
    LogRomLayout(log, "Current ROM:", *rom, m_uefi);

    MergeOrRefuse(rom, uefiImage, m_uefi, log);
    LogRomLayout(log, "NEW (UEFI-updated)ROM:", *rom, m_uefi);

    CRefPtr<IROMImage> chain = MergedChain(*rom, partSize, log);
    // The EEPROM behind the microcontroller writes only an image the gate
    // accepted: the merged firmware is checked before the record begins, so
    // that a refusal leaves neither a write nor a record behind.
    if (eeprom->IsSecure() &&
        VerifyImageCertificate(adapter, chain, eeprom, nullptr, log, IsVerbose()) !=
            kCertificateAccepted)
    {
        throw uefi_refused_error("Invalid firmware image detected. \n");
    }
    CRefPtr<IROMImage> writeImage =
        BeginRecordedWrite(*session, UpdateWriteKind::UEFI, chain, *ui, log);
    const uint32_t writeSize = writeImage->GetLoadedSize();
    CLogOrDiscard logOrDiscard(log);
    const uint32_t written =
        eeprom->WriteImage(ui.get(), 0, writeImage.get(), 0, writeSize, true, true, *logOrDiscard);
    if (written < writeSize)
    {
        throw std::runtime_error("Full image not programmed");
    }
    CRefPtr<IROMImage> readBack = ReadEEPROMImage(ui, eeprom, writeSize, log);
    COffsetModeScope readBackOff(readBack.get(), false);
    const int32_t mismatch = writeImage->CompareRange(readBack.get(), 0, writeSize);
    if (mismatch != -1)
    {
        const std::string text =
            MismatchText(mismatch, writeImage->GetByte(mismatch), readBack->GetByte(mismatch));
        throw std::runtime_error(text);
    }
    session->FinishWrite();
}
