// The MCU workflows: programming an image, the update with its confirmation
// and retries, reading the installed image back, saving it, and the version
// displays.

#include "core/CommandLine.h"
#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "core/TextHelpers.h"
#include "hw/mcu/GmacAccessorImpl.h"

#include <iostream>
#include <stdexcept>

namespace
{
constexpr int kFlashAttempts = 3;

bool IsOptionSet(const char* name)
{
    try
    {
        return ICommandLine::GetInstance()->IsSet(name);
    }
    catch (const std::runtime_error&)
    {
        return false;
    }
}

// The application lines of a display; `label` is the indent of the labels.
std::string ApplicationBlock(const std::string& indent, const std::string& project,
                             const std::string& sku, const std::string& branch,
                             const std::string& version, uint16_t vendorId, uint16_t deviceId)
{
    std::ostringstream text;
    text << indent << "Full Version          : " << project << "." << sku << "." << branch << "."
         << version << "\n\n";
    text << indent << "Project               : " << project << "-" << sku << "\n";
    text << indent << "SKU Branch            : " << branch << "\n";
    text << indent << "APP Version           : " << version << "\n";
    text << indent << "PCI ID                : " << ToHex(vendorId, 4) << "-" << ToHex(deviceId, 4)
         << "\n";
    return text.str();
}

std::string HeaderBlock(const std::string& indent, const GmacImageHeader& header, bool lastBreak)
{
    const uint32_t headerSize = header[6];
    const uint32_t imageSize = HeaderDword(header, 28);
    std::ostringstream text;
    text << indent << "Signature             : " << HeaderText(header, 0, 4) << "\n";
    text << indent << "Header Version        : " << ToHex(HeaderWord(header, 4), 4) << "\n";
    text << indent << "Header Size           : 0x" << ToHex(headerSize, 2) << " ("
         << FormatNumber(headerSize, 2) << ") bytes\n";
    text << indent << "Project               : " << HeaderText(header, 8, 4) << "\n";
    text << indent << "SKU                   : " << HeaderText(header, 12, 4) << "\n";
    text << indent << "SKU Branch            : " << HeaderText(header, 16, 2) << "\n";
    text << indent << "APP Version           : " << HeaderText(header, 18, 2) << "\n";
    text << indent << "PCI Vendor ID:        : " << ToHex(HeaderWord(header, 20), 4) << "\n";
    text << indent << "PCI Device ID         : " << ToHex(HeaderWord(header, 22), 4) << "\n";
    text << indent << "STM32 Device ID       : " << ToHex(HeaderWord(header, 24), 4) << "\n";
    text << indent << "Image Version         : " << ToHex(HeaderWord(header, 26), 4) << "\n";
    text << indent << "Image Size            : 0x" << ToHex(imageSize, 4) << " ("
         << FormatNumber(imageSize, 4) << ") bytes\n";
    text << indent << "Image Checksum:       : " << ToHex(HeaderDword(header, 32), 4) << "\n";
    text << indent << "Header Checksum       : " << ToHex(header[63], 1);
    if (lastBreak)
    {
        text << "\n";
    }
    return text.str();
}

void EmitHeaderBlock(const std::string& block, CLog* log, bool direct)
{
    if (direct && log)
    {
        *log << block << LogEndl;
    }
    else
    {
        GmacMessage(block);
    }
}
} // namespace

bool CGmacAccessorImpl::ProgramImage(std::vector<uint8_t>& bytes, CLog* log)
{
    if (!SwitchToBootloaderMode(log))
    {
        GmacDetail(log, "Failed to switch mode from APP to BL before starting to program image.");
        return false;
    }
    PadToPage(bytes);
    const uint16_t pages = static_cast<uint16_t>(bytes.size() / kGmacPageSize);
    GmacMessage("\nStoring application image to GMAC MCU\n");
    bool ok = true;
    for (uint16_t i = 0; i < pages && ok; ++i)
    {
        const auto first = bytes.begin() + static_cast<ptrdiff_t>(i) * kGmacPageSize;
        const std::vector<uint8_t> page(first, first + kGmacPageSize);
        std::string failure;
        if (!WritePageBuffer(page, log))
        {
            failure = "Failed to write page data at ";
        }
        else if (!CheckPageBufferChecksum(page, log))
        {
            failure = "Failed to verify CRC at page#";
        }
        else if (!ErasePage(i, log))
        {
            failure = "Failed to erase page# ";
        }
        else if (!ProgramPage(i, log))
        {
            failure = "Failed to program page# ";
        }
        if (!failure.empty())
        {
            GmacDetail(log, failure + ToHex(i, 2));
            ok = false;
            break;
        }
        std::cerr << "." << std::flush;
    }
    if (!CheckAppImageStatus(log))
    {
        GmacMessage("The BL is unable to validate the image.\n");
        ok = false;
    }
    return ok;
}

bool CGmacAccessorImpl::PromptContinue()
{
    GmacMessage("Press 'y' to continue (any other key to abort):  ");
    const int key = GetCrossPlatform()->GetAnswerKey(false);
    return key == 'y' || key == 'Y';
}

bool CGmacAccessorImpl::IdsRefused()
{
    return (CheckImageIds(nullptr) & ~m_overrideFlags) != 0;
}

bool CGmacAccessorImpl::ConfirmUpdate(CLog* log)
{
    GmacImageHeader installed{};
    const int32_t read = ReadMcuImageHeader(installed, log);
    if (read == kGmacReadUnsupported)
    {
        // The installed version cannot be shown, but the image must still
        // be for this board.
        if (!PromptContinue())
        {
            return false;
        }
        return !IdsRefused();
    }
    if (read != kGmacReadDone)
    {
        GmacDetail(log, "Failed to read back image header.");
        return false;
    }
    std::ostringstream versions;
    versions << "Update GMAC application image? \nCurrent      - APP Version:";
    PrintApplicationId(installed, versions);
    versions << "Replace with - APP Version:";
    PrintApplicationId(m_header, versions);
    LogMessage(versions, 4, true);

    const uint32_t mismatch = CheckImageIds(log);
    if (mismatch != 0)
    {
        std::string text;
        if (mismatch & kGmacVendorIdMismatch)
        {
            text += "Detected a mismatch in Vendor ID.";
        }
        if (mismatch & kGmacDeviceIdMismatch)
        {
            text += "Detected a mismatch in Device ID.";
        }
        GmacMessage(text);
    }
    if (!IsOptionSet("auto") && !PromptContinue())
    {
        return false;
    }
    if (mismatch != 0)
    {
        if (m_overrideFlags & kGmacDeviceIdMismatch)
        {
            GmacMessage("Device ID override detected.");
        }
        if (mismatch & ~m_overrideFlags)
        {
            return false;
        }
        GmacMessage("\nAre you sure you want to continue?\nType \"YES\" to confirm (all caps):  ");
        std::string line;
        if (!GetCrossPlatform()->ReadLine(line) || line != "YES")
        {
            return false;
        }
    }
    return true;
}

void CGmacAccessorImpl::PrintApplicationId(const GmacImageHeader& header, std::ostream& out)
{
    out << HeaderText(header, 18, 2) << ", ID:" << ToHex(HeaderWord(header, 20), 4) << ":"
        << ToHex(HeaderWord(header, 22), 4) << ":" << HeaderText(header, 8, 4) << ":"
        << HeaderText(header, 12, 4) << "\n";
}

bool CGmacAccessorImpl::Flash(const std::string& fileName, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    std::vector<uint8_t> bytes;
    if (!ReadImageFile(fileName, bytes))
    {
        return false;
    }
    if (!LoadImage(bytes))
    {
        GmacMessage("Invalid image input.");
        return false;
    }
    bool confirmed = false;
    if (!IsOptionSet("noconfirm"))
    {
        if (SwitchToAppMode(log))
        {
            if (!ConfirmUpdate(log))
            {
                GmacMessage("\nUpdate aborted.");
                return false;
            }
            confirmed = true;
        }
        else
        {
            GmacDetail(log, "Failed to switch mode to APP, override the MCU firmware without the "
                            "user confirmation.");
        }
    }
    // Without a confirmation the image must still be made for this board.
    if (!confirmed && IdsRefused())
    {
        GmacMessage("\nUpdate aborted.");
        return false;
    }

    bool success = false;
    for (int attempt = 0; attempt < kFlashAttempts && !success; ++attempt)
    {
        const bool programmed = ProgramImage(bytes, log);
        if (programmed)
        {
            GmacDetail(log, "Flashed application firmware to " + GetVersionString(log) + ".");
        }
        const bool backInApp = SwitchToAppMode(log);
        if (programmed && backInApp)
        {
            GmacDetail(log, "\nSuccessfully flashed application image to after " +
                                FormatNumber(static_cast<uint32_t>(attempt), 2) + " try.");
            success = true;
        }
        else if (!backInApp)
        {
            GmacDetail(log, "Completed the MCU flash process but fail to switch back to APP mode, "
                            "and retry " +
                                FormatNumber(static_cast<uint32_t>(attempt), 2) + "/" +
                                FormatNumber(kFlashAttempts, 2) + "...");
        }
        else
        {
            GmacDetail(log, "Programming the MCU failed, and retry " +
                                FormatNumber(static_cast<uint32_t>(attempt), 2) + "/" +
                                FormatNumber(kFlashAttempts, 2) + "...");
        }
    }
    if (success)
    {
        GmacMessage("\nSuccessfully flashed application image to " + GetVersionString(log) + ".");
    }
    else
    {
        GmacMessage("\nFailed to flash application image to GMAC MCU.");
    }
    return success;
}

int32_t CGmacAccessorImpl::ReadMcuImageHeader(GmacImageHeader& out, CLog* log)
{
    std::vector<uint8_t> bytes;
    const int32_t result = ReadImage(bytes, kGmacApplicationOffset, kGmacHeaderSize, log);
    if (result != kGmacReadDone)
    {
        return result;
    }
    std::copy_n(bytes.begin(), kGmacHeaderSize, out.begin());
    if (ValidateHeader(out, log))
    {
        GmacDetail(log, "MCU firmware image is valid.");
        return kGmacReadDone;
    }
    GmacDetail(log, "Invalid MCU firmware image.");
    return kGmacReadFailed;
}

std::string CGmacAccessorImpl::GetVersionString(CLog* log)
{
    GmacImageHeader installed{};
    if (ReadMcuImageHeader(installed, log) != kGmacReadDone)
    {
        return {};
    }
    return GetProject() + "." + GetSku() + "." + GetSkuBranch() + "." + GetAppVersion();
}

bool CGmacAccessorImpl::SaveMcuImageToFile(const std::string& fileName, CLog* log, bool direct)
{
    GmacImageHeader header{};
    const int32_t read = ReadMcuImageHeader(header, log);
    if (read == kGmacReadUnsupported)
    {
        GmacMessage("\n\n    Currently the application version does NOT support.\n");
        return false;
    }
    if (read != kGmacReadDone)
    {
        GmacMessage("Failed to read back image header.\n");
        return false;
    }
    std::vector<uint8_t> bytes;
    const uint32_t size = header[6] + HeaderDword(header, 28);
    if (ReadImage(bytes, kGmacApplicationOffset, size, log) != kGmacReadDone)
    {
        GmacDetail(log, "Failed to read back application image.");
        return false;
    }
    if (!WriteImageFile(fileName, bytes, static_cast<uint32_t>(bytes.size())))
    {
        GmacDetail(log, "Failed to save image to a file.");
        return false;
    }
    return PrintImageHeader(fileName, log, direct);
}

bool CGmacAccessorImpl::SaveApplicationImage(const std::string& fileName, CLog* log, bool direct)
{
    if (!SwitchToAppMode(log))
    {
        GmacMessage("\nFailed to switch mode from BL to APP before starting to save image.\n");
        return false;
    }
    bool ok = false;
    try
    {
        ok = SaveMcuImageToFile(fileName, log, direct);
    }
    catch (const io_error&)
    {
        // The file could not be written: the same message, the microcontroller
        // back in its application, then the file's own failure.
        GmacMessage("\nFailed to save application image.");
        SwitchBackToApp(log);
        throw;
    }
    GmacMessage(ok ? "\nSuccessfully saved application image to " + fileName + "."
                   : "\nFailed to save application image.");
    SwitchBackToApp(log);
    return ok;
}

void CGmacAccessorImpl::SwitchBackToApp(CLog* log)
{
    if (!SwitchToAppMode(log))
    {
        GmacDetail(log, "\nFailed to switch back to APP mode.");
    }
}

bool CGmacAccessorImpl::PrintImageHeader(const std::string& fileName, CLog* log, bool direct)
{
    std::vector<uint8_t> bytes;
    if (!ReadImageFile(fileName, bytes))
    {
        return false;
    }
    if (!LoadImage(bytes))
    {
        GmacDetail(log, "Failed to set-up image for GMAC. ");
        return false;
    }
    GmacMessage("\nGMAC MCU application information :\n\n" +
                ApplicationBlock(" ", GetProject(), GetSku(), GetSkuBranch(), GetAppVersion(),
                                 GetImageVendorID(), GetImageDeviceID()));
    EmitHeaderBlock("\nGMAC MCU firmware header information :\n" + HeaderBlock(" ", m_header, true),
                    log, direct);
    return true;
}

bool CGmacAccessorImpl::DisplayMcuInfo(CLog* log, bool direct)
{
    if (!SwitchToBootloaderMode(log))
    {
        GmacDetail(log, "Failed to switch mode from APP to BL before dumping bootloader version.");
        return false;
    }
    uint16_t version = 0;
    if (GmacGetBootloaderVersion(version, log))
    {
        GmacMessage("\n\nGMAC MCU bootloader information :\n  Bootloader Version    : " +
                    ToHex(version, 4) + "\n");
    }
    else
    {
        GmacMessage("\n\n    Failed to dump Bootloader version.\n");
    }
    if (!SwitchToAppMode(log))
    {
        GmacMessage("\n\n  Unable to switch mode to APP mode, the application firmware may be "
                    "corrupted.\n  The application firmware can be re-programmed with "
                    "--noconfirm option.\n");
        return false;
    }
    GmacImageHeader header{};
    const int32_t read = ReadMcuImageHeader(header, log);
    if (read == kGmacReadUnsupported)
    {
        GmacMessage("\n\n    Currently application version does NOT support.");
        return false;
    }
    if (read != kGmacReadDone)
    {
        GmacDetail(log, "Failed to print GMAC MCU firmware header.");
        return false;
    }
    GmacMessage("GMAC MCU application information :\n\n" +
                ApplicationBlock("  ", HeaderText(header, 8, 4), HeaderText(header, 12, 4),
                                 HeaderText(header, 16, 2), HeaderText(header, 18, 2),
                                 HeaderWord(header, 20), HeaderWord(header, 22)));
    EmitHeaderBlock("\nGMAC MCU firmware header information :\n" + HeaderBlock("  ", header, false),
                    log, direct);
    const bool back = SwitchToAppMode(log);
    if (!back)
    {
        GmacDetail(log, "\nFailed to switch back to APP mode.");
    }
    return back;
}

bool CGmacAccessorImpl::PrintAll(const std::string& fileName, CLog* log, bool direct)
{
    return fileName.empty() ? DisplayMcuInfo(log, direct) : PrintImageHeader(fileName, log, direct);
}

bool CGmacAccessorImpl::DisplayVersion(const std::string& fileName, CLog* log, bool direct)
{
    const bool shown = PrintAll(fileName, log, direct);
    GmacMessage(shown ? "\nVersion display completed successfully."
                      : "\nVersion display completed with failure.");
    return shown;
}

CRefPtr<IGmacAccessor> CreateGmacAccessor(II2CMaster* master, CRefPtr<IReferenceCount> owner,
                                          uint16_t vendorId, uint16_t deviceId, uint8_t port,
                                          uint8_t slaveAddress)
{
    return CRefPtr<IGmacAccessor>(
        new CGmacAccessorImpl(master, std::move(owner), vendorId, deviceId, port, slaveAddress));
}
