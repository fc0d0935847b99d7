// Backup files: the adapter's firmware followed by a trailer copied from the
// start of the program's own package slot, so that a restore accepts only
// files written by a program carrying the very same package.

#include "app/PackagedRunState.h"

#include "core/Exceptions.h"
#include "core/Range.h"
#include "flasher/IFlasher.h"
#include "flasher/ImageCompatibility.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace
{
// A restore file holds at most a whole image buffer and its trailer.
constexpr uint64_t kMaxRestoreFileSize = uint64_t{kImageBufferSize} + kBackupTrailerSize;
// What a restore must agree on with the adapter; the version may go back.
constexpr uint32_t kRestoreIdentityBits = kMismatchDeviceId | kMismatchSubsystemId |
                                          kMismatchBoardId | kMismatchVendorId |
                                          kMismatchGpuDeviceId;

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
        if (image->Sum8(static_cast<uint32_t>(start), static_cast<uint32_t>(start + length)) != 0)
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

std::string CKRUserFlashApp::NextFileName(RunState& state, const std::string& option)
{
    const std::string given = commandLine->GetValue(option, 0, 0);
    const std::string folder = given.empty() ? std::string(".") : given;
    char number[16];
    std::snprintf(number, sizeof number, "%03d", state.fileCounter);
    return folder + "/image" + number + ".bkr";
}

void CKRUserFlashApp::AppendBackupTrailer(const std::string& fileName)
{
    std::ofstream file(fileName, std::ios::binary | std::ios::app);
    if (!file)
    {
        throw io_error("Cannot open file: " + fileName);
    }
    file.write(reinterpret_cast<const char*>(GetPackageStore().slot), kBackupTrailerSize);
    file.close();
    if (!file)
    {
        throw io_error("Error writing image to file");
    }
}

CRefPtr<IROMImage> CKRUserFlashApp::CheckRestoreImage(const std::string& fileName)
{
    std::error_code error;
    const uint64_t fileSize = std::filesystem::file_size(fileName, error);
    if (!error && fileSize > kMaxRestoreFileSize)
    {
        throw std::runtime_error("Invalid firmare restore image file: the file is too large.");
    }
    CRefPtr<IROMImage> image = IROMImage::CreateFromFile(fileName);
    const uint32_t loaded = image->GetLoadedSize();
    const uint8_t* slot = GetPackageStore().slot;
    bool sameTrailer = loaded >= kBackupTrailerSize;
    for (uint32_t k = 0; sameTrailer && k < kBackupTrailerSize; ++k)
    {
        sameTrailer = image->GetByte(static_cast<int32_t>(loaded - kBackupTrailerSize + k)) == slot[k];
    }
    if (!sameTrailer)
    {
        throw std::runtime_error("Invalid firmare restore image file: backup image not saved with "
                                 "this utility.");
    }
    image->SetLoadedSize(loaded - kBackupTrailerSize);
    return image;
}

void CKRUserFlashApp::BackupAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                    CRefPtr<IROMImage> head)
{
    std::cout << "Backing up firmware image on display adapter found\n"
              << "that is suitable for packaged upgrade." << std::endl;
    ShowAdapterAndVersion(state, adapter, head);
    const std::string fileName = NextFileName(state, "backup");
    // A backup never replaces a file: it may be the only copy of a board's
    // firmware.
    if (std::filesystem::exists(fileName))
    {
        throw io_error("Backup file already exists: " + fileName);
    }
    state.flasher->SaveROMImage(state.ui, fileName, state.bus, adapter, state.adapters, state.boards,
                                state.eeproms, true, false, false, state.log);
    AppendBackupTrailer(fileName);
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
