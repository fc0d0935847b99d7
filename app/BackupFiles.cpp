// Backup files: the adapter's firmware followed by a trailer copied from the
// start of the program's own package slot, so that a restore accepts only
// files written by a program carrying the very same package. A backup file is
// created anew, never over a file nor through a link, and a failed write
// leaves no part of it behind. A restore writes a file back only onto the
// board it was saved from.

#include "app/PackagedRunState.h"

#include "core/Exceptions.h"
#include "core/NewFile.h"
#include "core/Range.h"
#include "core/UserFile.h"
#include "flasher/BoardData.h"
#include "flasher/IFlasher.h"
#include "flasher/ImageCompatibility.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace
{
// A restore file holds at most a whole image buffer and its trailer.
static_assert(MaxUserFileBytes(UserFileFormat::kRestoreImage) ==
              uint64_t{kImageBufferSize} + kBackupTrailerSize);
// What a restore must agree on with the adapter; the version may go back.
constexpr uint32_t kRestoreIdentityBits = kMismatchDeviceId | kMismatchSubsystemId |
                                          kMismatchBoardId | kMismatchVendorId |
                                          kMismatchGpuDeviceId;

// The 8-bit sum of the bytes at [start, end), end above start. Sum8 takes
// ends below the image buffer's size only, so the last byte is added on its
// own: a chain that fills the whole buffer ends there.
uint8_t BlockSum(IROMImage& image, uint32_t start, uint32_t end)
{
    return static_cast<uint8_t>(image.Sum8(start, end - 1) +
                                image.GetByte(static_cast<int32_t>(end - 1)));
}

// A PCI ROM whose chain covers exactly the bytes loaded and whose blocks each
// sum to 0.
bool IsWholePciRom(CRefPtr<IROMImage> image)
{
    if (!image->IsPCIROM() || !image->IsValid() || image->GetROMSize() == 0)
    {
        return false;
    }
    if (uint64_t{image->GetWindowOffset()} + image->GetROMSize() != image->GetLoadedSize())
    {
        return false;
    }
    // Block offsets are chain offsets; the sums read the buffer, which has
    // the init-from-ROM segment (if any) in front of the chain.
    const uint64_t window = image->GetWindowOffset();
    int32_t block = 0;
    for (int guard = 0; block >= 0 && guard < 256; ++guard)
    {
        const uint32_t length = image->GetPCIBlockLength(block);
        if (length == 0 || !RangeFits(UnsignedOffset(block), length, image->GetROMSize()))
        {
            return false;
        }
        const uint64_t start = window + UnsignedOffset(block);
        if (BlockSum(*image, static_cast<uint32_t>(start), static_cast<uint32_t>(start + length)) !=
            0)
        {
            return false;
        }
        const int32_t next = image->NextPCIBlock(block);
        if (next >= 0 && next <= block)
        {
            return false;
        }
        block = next;
    }
    return block < 0;
}

} // namespace

// The adapter's whole firmware, or the content its update record saved when
// its last update did not finish; nothing when the part cannot be read.
CRefPtr<IROMImage> CKRUserFlashApp::AdapterFirmware(RunState& state,
                                                    CRefPtr<IDisplayAdapter> adapter,
                                                    CRefPtr<IEEPROM> eeprom)
{
    // The session reads the content a stopped update's record saved in place
    // of a half-written part.
    try
    {
        return state.flasher->ReadAdapterImage(state.ui, adapter, state.eeproms, eeprom, state.log,
                                               false);
    }
    catch (const std::runtime_error&)
    {
        return nullptr;
    }
}

std::string CKRUserFlashApp::NextFileName(RunState& state, const std::string& option)
{
    const std::string given = commandLine->GetValue(option, 0, 0);
    const std::string folder = given.empty() ? std::string(".") : given;
    char number[16];
    std::snprintf(number, sizeof number, "%03d", state.fileCounter);
    return folder + "/image" + number + ".bkr";
}

void CKRUserFlashApp::WriteBackupFile(const std::string& fileName,
                                      std::span<const uint8_t> firmware)
{
    const std::span<const uint8_t> trailer(GetPackageStore().slot, kBackupTrailerSize);
    const NewFileOutcome written = WriteNewFile(fileName, {firmware, trailer});
    if (!written.created)
    {
        if (written.error == EEXIST)
        {
            throw io_error("Backup file already exists: " + fileName);
        }
        throw io_error("Cannot create file: " + fileName + " (" + std::strerror(written.error) +
                       ")");
    }
    if (written.error != 0)
    {
        // A partial backup would block both a restore and the next backup;
        // the writer removed it.
        throw io_error("Error writing backup file " + fileName + ": " +
                       std::strerror(written.error) + "; the partial file was removed.");
    }
}

CRefPtr<IROMImage> CKRUserFlashApp::CheckRestoreImage(const std::string& fileName)
{
    // Read with the backup's own bound: a whole image buffer and its trailer
    // pass the image buffer's size together, and the program wrote them.
    const UserFileContents file = ReadUserFile(fileName, UserFileFormat::kRestoreImage);
    if (file.status == UserFileStatus::kTooLarge)
    {
        throw std::runtime_error("Invalid firmare restore image file: the file is too large.");
    }
    RequireImageFileRead(file, fileName);
    const std::vector<uint8_t>& bytes = file.bytes;
    const uint8_t* slot = GetPackageStore().slot;
    if (bytes.size() < kBackupTrailerSize ||
        !std::equal(slot, slot + kBackupTrailerSize, bytes.end() - kBackupTrailerSize))
    {
        throw std::runtime_error("Invalid firmare restore image file: backup image not saved with "
                                 "this utility.");
    }
    // The image is what precedes the trailer.
    return IROMImage::CreateFromBuffer(bytes.data(),
                                       static_cast<uint32_t>(bytes.size() - kBackupTrailerSize));
}

void CKRUserFlashApp::BackupAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                    CRefPtr<IROMImage> head)
{
    std::cout << "Backing up firmware image on display adapter found\n"
              << "that is suitable for packaged upgrade." << std::endl;
    ShowAdapterAndVersion(state, adapter, head);
    const std::string fileName = NextFileName(state, "backup");
    // A backup never replaces a file, nor writes through a link: it may be
    // the only copy of a board's firmware. Refused early here, and again by
    // the file's exclusive creation.
    std::error_code error;
    if (std::filesystem::symlink_status(fileName, error).type() !=
        std::filesystem::file_type::not_found)
    {
        throw io_error("Backup file already exists: " + fileName);
    }
    const std::vector<uint8_t> firmware =
        state.flasher->ReadROMImageToSave(state.ui, state.bus, adapter, state.adapters,
                                          state.boards, state.eeproms, true, false, false, state.log);
    try
    {
        WriteBackupFile(fileName, firmware);
    }
    catch (...)
    {
        std::ostringstream failed;
        failed << "\nWrite of EEPROM image to file failed.";
        LogMessage(failed, 3, true);
        throw;
    }
    state.ui->ShowMessage(1, "Saving of image completed.");
    ++state.fileCounter;
}

void CKRUserFlashApp::RestoreAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                     CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> head)
{
    const std::string fileName = NextFileName(state, "restore");
    CRefPtr<IROMImage> image = CheckRestoreImage(fileName);
    // Everything about the file is checked before the adapter is touched.
    if (!IsWholePciRom(image))
    {
        throw std::runtime_error("Invalid firmare restore image file: not a valid firmware image.");
    }
    CompatibilityRequest request;
    if (CheckImageCompatibility(adapter, image, head, nullptr, request, state.log) &
        kRestoreIdentityBits)
    {
        throw std::runtime_error("Invalid firmare restore image file: image does not fit this "
                                 "display adapter.");
    }
    // Files pair with adapters by their order on the bus: after boards were
    // moved between slots, a file may hold another board of the same model.
    if (CRefPtr<IROMImage> own = AdapterFirmware(state, adapter, eeprom))
    {
        if (const std::string differs = BoardDataDifference(*own, *image); !differs.empty())
        {
            std::ostringstream location;
            adapter->GetDevice()->PrintLocation(location, false);
            throw std::runtime_error("Restore refused: " + fileName +
                                     " holds another board's data (" + differs +
                                     "); the display adapter at " + location.str() +
                                     " was not written.");
        }
    }
    std::cout << "Found display adapter for firmware restore." << std::endl;
    ShowAdapterAndVersion(state, adapter, head);
    const bool confirmed = ConfirmOrAbort(state, "restore", "Restore aborted");
    ++state.fileCounter;
    if (!confirmed)
    {
        return;
    }
    ProgramImage(state, adapter, eeprom, image);
}
