// Operations that read an adapter's firmware and report on it without
// programming: save to a file, compare with a file image, the image's version
// and information listing, the block chain and the speedometer.

#include "core/Exceptions.h"
#include "core/NewFile.h"
#include "core/TextHelpers.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/NBSIPCIBlock.h"
#include "image/OffsetModeScope.h"

#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace
{

// The board's own 0x85 block is no part of the firmware a file holds.
void DropBoardBlock(IROMImage& image)
{
    const int32_t block = image.FindNthPCIBlock(kBoardBlockCodeType, 0);
    if (block != -1)
    {
        image.RemovePCIBlock(block);
    }
}

// A labelled line of the information listing.
std::string Label(const char* label)
{
    std::string text(label);
    text.resize(22, ' ');
    return text + ": ";
}

// The current image carries the name of its board, where the board is known.
void NameAfterBoard(IROMImage& image, IBoardDatabase* boards)
{
    if (!boards)
    {
        return;
    }
    CBoardType board;
    boards->GetBoardType(board, image.GetBoardID());
    if (board.IsKnown())
    {
        image.SetBoardName(board.name);
    }
}

// The first differing offset, and where the file's Varnex store lies.
std::string CompareMismatchText(IROMImage& file, int32_t first)
{
    std::string text = "Mismatch at offset 0x" + ToHex(static_cast<uint32_t>(first), 8) + ".";
    const int32_t store = file.FindNBSIObject(nbsi::kTypeVarnexImage);
    if (store != -1)
    {
        text += "\nNote: Final Varnex offset " + ToHex(static_cast<uint32_t>(store), 8) + " ( " +
                ToHex(static_cast<uint32_t>(store) + file.GetWindowOffset(), 8) +
                " ) with length " +
                std::to_string(file.GetNBSIObjectLength(nbsi::kTypeVarnexImage)) + ".";
    }
    return text;
}
} // namespace

// Without the Varnex step the images cannot be compared: that is no match.
void CFlasherImpl::MergeVarnexForCompare(CRefPtr<IROMImage> fileImage, CRefPtr<IROMImage> current,
                                         CRefPtr<IEEPROM> eeprom, CLog* log)
{
    const int32_t flashType = GetVarnexFlashType(fileImage, current, log);
    if (ProcessVarnexBlock(flashType, fileImage, current, log) != 0)
    {
        LogLine(log, 3, "ERROR: Failed to process Varnex block.");
        throw std::runtime_error("Failed to process Varnex block.");
    }
    if (current->HasNBSIObject(nbsi::kTypeVarnexImage) &&
        ProcessVarnexBlock(flashType, current, IROMImage::Clone(current.get()), log) != 0)
    {
        LogLine(log, 3, "ERROR: Failed to merge Varnex block itself for the verification purpose.");
        throw std::runtime_error(
            "Failed to merge Varnex block itself for the verification purpose.");
    }
    if (!CheckImageFitsEEPROM(fileImage, eeprom, log))
    {
        throw std::runtime_error(
            "An updated ROM image (with IR/IB/UL globs) exceeds maximum range for the EEPROM.");
    }
}

CRefPtr<IROMImage> CFlasherImpl::ReadIdentifiedAdapterImage(CRefPtr<IUserInterface> ui,
                                                            CRefPtr<IEEPROM> eeprom,
                                                            CRefPtr<IEEPROMDatabase> database,
                                                            bool detail, CLog* log)
{
    IdentifyEEPROM(ui, eeprom, database, log, detail);
    ui->ShowMessage(0, "Reading adapter firmware image");
    return ReadEEPROMImage(ui, eeprom, eeprom->GetType().GetSizeInBytes(), log);
}

void CFlasherImpl::DisplaySpeedometerValue(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                           CRefPtr<IDisplayAdapter> adapter, CLog* log)
{
    LogLine(log, 3, "Action: Display speedometer value.");
    SelectAdapter(ui, bus, adapter, true);
    const uint32_t value = adapter->GetSpeedometerValue(log);
    const std::string text =
        "Mean Speedometer Value: 0x" + ToHex(value, 8) + " (" + std::to_string(value) + ")";
    ui->ShowMessage(1, text);
    LogLine(log, 3, text);
}

std::vector<uint8_t> CFlasherImpl::ReadROMImageToSave(
    CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
    CRefPtr<IDisplayAdapterDatabase> adapters, CRefPtr<IBoardDatabase> boards,
    CRefPtr<IEEPROMDatabase> database, bool keepAll, bool wholeEEPROM, bool detail, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom =
        BeginAdapterOperation("Save ROM image.", ui, bus, adapter, database, detail, true, log,
                              AdapterUse::Saves);
    // After an update that did not finish the part may be half written: the
    // session reads the firmware it held from the update record.
    CRefPtr<IROMImage> image = ReadIdentifiedAdapterImage(ui, eeprom, database, detail, log);
    if (!keepAll && !wholeEEPROM)
    {
        DropBoardBlock(*image);
    }
    const bool ifrOnly = image->GetIFRImageSize() != 0 && image->FindNthPCIBlock(0, 0) == -1;
    if (!wholeEEPROM)
    {
        std::ostringstream shown;
        PrintImageInfo(image, adapters, boards, false, false, detail, shown, log, adapter);
        ui->ShowMessage(2, shown.str());
        std::ostringstream logged;
        PrintImageInfo(image, adapters, boards, true, true, detail, logged, log, adapter);
        LogLine(log, 3, logged.str());
    }
    COffsetModeScope off(image.get(), false);
    uint32_t length = 0;
    if (wholeEEPROM)
    {
        length = eeprom->GetType().GetSizeInBytes();
    }
    else if (ifrOnly)
    {
        length = image->GetIFRImageSize();
    }
    else
    {
        length = image->GetROMSize();
    }
    // Through the image's own writer, which finishes what some image kinds
    // keep (a bridge image's CRC) before its bytes leave it.
    std::ostringstream out(std::ios::binary);
    image->WriteToStream(out, 0, length);
    const std::string bytes = std::move(out).str();
    return {bytes.begin(), bytes.end()};
}

void CFlasherImpl::SaveROMImage(CRefPtr<IUserInterface> ui, const std::string& fileName,
                                CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                CRefPtr<IDisplayAdapterDatabase> adapters,
                                CRefPtr<IBoardDatabase> boards, CRefPtr<IEEPROMDatabase> database,
                                bool keepAll, bool wholeEEPROM, bool detail, CLog* log)
{
    const std::vector<uint8_t> bytes = ReadROMImageToSave(ui, bus, adapter, adapters, boards,
                                                          database, keepAll, wholeEEPROM, detail, log);
    try
    {
        // Never through a link; a failed write keeps an old file as it was.
        WriteOutputFileOrThrow(fileName, {bytes}, "Error writing image to file");
    }
    catch (...)
    {
        LogLine(log, 4, "\nWrite of EEPROM image to file failed.");
        throw;
    }
    ui->ShowMessage(1, "Saving of image completed.");
    LogLine(log, 3, "Saving of image completed.");
}

void CFlasherImpl::CompareROMImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> fileImage,
                                   CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                   CRefPtr<IBoardDatabase> boards,
                                   CRefPtr<IEEPROMDatabase> database, bool withIds, bool verify,
                                   bool doVarnex, bool ifrOnly, bool checkCertificates, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    const char* action = ifrOnly  ? "Verify IFR image."
                         : verify ? "Verify ROM image."
                                  : "Compare ROM image.";
    CRefPtr<IEEPROM> eeprom =
        BeginAdapterOperation(action, ui, bus, adapter, database, IsVerbose(), true, log);
    CRefPtr<IROMImage> current = ReadIdentifiedAdapterImage(ui, eeprom, database, true, log);
    DropBoardBlock(*current);
    NameAfterBoard(*current, boards.get());
    std::ostringstream versions;
    versions << "Current      - Version:";
    PrintImageVersion(current, withIds, versions, IsVerbose(), false);
    versions << "\nCompare with - Version:";
    PrintImageVersion(fileImage, withIds, versions, IsVerbose(), false);
    ui->ShowMessage(1, versions.str());
    LogLine(log, 3, versions.str());

    if (verify)
    {
        PreserveBoardSettings(fileImage, current, true, log);
    }
    if (doVarnex)
    {
        MergeVarnexForCompare(fileImage, current, eeprom, log);
    }
    if (checkCertificates && VerifyImageCertificate(adapter, fileImage, eeprom, nullptr, log,
                                                    true) != kCertificateAccepted)
    {
        throw user_error("Invalid firmware image detected. \n");
    }

    COffsetModeScope fileOff(fileImage.get(), false);
    COffsetModeScope currentOff(current.get(), false);
    const uint32_t fileSize = ifrOnly ? fileImage->GetIFRImageSize() : fileImage->GetLoadedSize();
    const uint32_t adapterSize = ifrOnly ? current->GetIFRImageSize() : current->GetROMSize();
    LogLine(log, 3, "File size: " + std::to_string(fileSize));
    LogLine(log, 3, "Adapter size: " + std::to_string(adapterSize));
    const int32_t first = fileImage->CompareRange(current.get(), 0, fileSize);
    const std::string sizes = "(" + std::to_string(fileSize) + ") and adapter firmware (" +
                              std::to_string(adapterSize) + ")";
    if (first == -1 && fileSize != adapterSize)
    {
        throw std::runtime_error("Size difference between file" + sizes);
    }
    if (first != -1)
    {
        if (current->IsErased() && current->GetIFRImageSize() == 0)
        {
            ui->ShowMessage(1, "NOTE: EEPROM appears to be erased.");
            LogLine(log, 3, "Adapter EEPROM appears to be erased.");
        }
        std::string text = CompareMismatchText(*fileImage, first);
        if (fileSize != adapterSize)
        {
            text += "       Size diffs between file" + sizes;
        }
        LogLine(log, 3, text);
        throw std::runtime_error(text);
    }
    const char* const match = ifrOnly ? "File IFR image matches adapter IFR image."
                                      : "File firmware image matches adapter firmware image.";
    ui->ShowMessage(1, match);
    LogLine(log, 3, match);
}

void CFlasherImpl::PrintImageVersion(CRefPtr<IROMImage> image, bool boardName, std::ostream& out,
                                     bool detail, bool withUEFI)
{
    out << image->GetVersionString(0);
    if (!detail)
    {
        return;
    }
    out << " ID:" << ToHex(image->GetVendorID(), 4) << ":" << ToHex(image->GetDeviceID(), 4);
    if (image->GetGPUDeviceID() != 0)
    {
        out << "/" << ToHex(image->GetGPUDeviceID(), 4);
    }
    out << ":" << ToHex(image->GetSubsystemVendorID(), 4) << ":"
        << ToHex(image->GetSubsystemDeviceID(), 4) << "\n"
        << std::string(15, ' ');
    if (boardName && !image->GetBoardName().empty())
    {
        out << image->GetBoardName();
    }
    else
    {
        out << image->GetProductName();
    }
    const std::string hierarchy = image->GetHierarchyIDName();
    if (image->GetHierarchyID() != 0)
    {
        out << " (" << hierarchy << ")";
    }
    if (withUEFI)
    {
        out << "\n               UEFI Version: " << image->GetUEFIVersion();
    }
}

void CFlasherImpl::DisplayPCIBlocks(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                    CRefPtr<IDisplayAdapter> adapter,
                                    CRefPtr<IEEPROMDatabase> database, bool keepAll, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom = BeginAdapterOperation("Display version.", ui, bus, adapter, database,
                                                    IsVerbose(), true, log);
    CRefPtr<IROMImage> image = ReadIdentifiedAdapterImage(ui, eeprom, database, true, log);
    if (!keepAll)
    {
        DropBoardBlock(*image);
    }
    const std::string dump = image->DumpPCIBlocks(keepAll ? 3 : 1);
    LogLine(log, 3, dump);
    ui->ShowMessage(2, dump);
}

namespace
{
std::string OrNotAvailable(const std::string& text)
{
    return text.empty() ? "N/A" : text;
}

std::string Joined(const std::string& first, const std::string& second,
                   const std::string& third = "")
{
    if (first.empty())
    {
        return "N/A";
    }
    std::string text = first + "-" + second;
    return third.empty() ? text : text + "-" + third;
}

bool IsGpuImage(IROMImage& image)
{
    return image.GetImageType() == kROMImageGPU || image.GetImageType() == kROMImageGPUEFI;
}

// The CRC-32 of the image's first bytes (offset mode off), or "N/A" when a
// size field read from the image claims more bytes than the image holds: the
// listing of a damaged image still shows what it can.
std::string SegmentCRC32(IROMImage& image, uint32_t count)
{
    return count <= image.GetLoadedSize() ? ToHex(image.GetCRC32(count), 8) : "N/A";
}

void PrintSegment(IROMImage& image, std::ostream& out)
{
    COffsetModeScope off(&image, false);
    const uint32_t dataSize = image.GetIFRDataSize();
    if (dataSize != 0)
    {
        out << Label("IFR Data Size") << dataSize << " bytes\n"
            << Label("IFR CRC32") << SegmentCRC32(image, dataSize) << "\n";
    }
    const uint32_t segmentSize = image.GetIFRImageSize();
    if (segmentSize != 0)
    {
        const uint32_t subsystem = image.GetIFRSubsystemID();
        out << Label("IFR Image Size") << segmentSize << " bytes\n"
            << Label("IFR Image CRC32") << SegmentCRC32(image, segmentSize) << "\n"
            << Label("IFR Subsystem ID") << ToHex(subsystem & 0xFFFF, 4) << "-"
            << ToHex(subsystem >> 16, 4) << "\n";
    }
}

// The device-ID list of an image has no more entries than this; one that is
// not ended by a zero entry is read no further.
constexpr uint32_t kMaxDeviceIDList = 64;
// Further IDs on one line of the "PCI ID" entry; the rest continue below.
constexpr uint32_t kDeviceIDsPerLine = 8;

std::string AdapterName(IDisplayAdapterDatabase* adapters, uint16_t vendorId, uint16_t deviceId)
{
    CDisplayAdapterType type;
    if (adapters)
    {
        adapters->GetAdapterType(type, vendorId, deviceId);
    }
    return type.name;
}

// A text of several lines (a sign-on message ends its lines with CR LF) as
// one entry a line, without line ends and without the empty lines at its end;
// an empty text is one empty line.
std::vector<std::string> TextLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        lines.push_back(line);
    }
    while (lines.size() > 1 && lines.back().empty())
    {
        lines.pop_back();
    }
    if (lines.empty())
    {
        lines.emplace_back();
    }
    return lines;
}

// An image's date fields hold their 8 characters as stored; a field never
// filled in holds zero bytes, which end the text as they end a C string, so an
// image without a date shows no date line rather than NUL bytes.
std::string DateText(const std::string& stored)
{
    return stored.substr(0, stored.find('\0'));
}

// Lines after the first continue under the label column.
void PrintContinued(std::ostream& out, const char* label, const std::vector<std::string>& lines)
{
    for (size_t i = 0; i < lines.size(); ++i)
    {
        out << (i == 0 ? Label(label) : std::string(22, ' ') + ": ") << lines[i] << "\n";
    }
}
void PrintSizeAndVersion(IROMImage& image, bool gpu, bool detail, std::ostream& out)
{
    out << Label("Image Size") << image.GetROMSize() << " bytes\n";
    out << Label("Version") << image.GetVersionString(0);
    if (!image.IsPCIROM())
    {
        out << (image.GetIFRImageSize() != 0 ? " (IFR-only Image)" : " (Disabled Image)");
    }
    out << "\n";
    if (!detail)
    {
        return;
    }
    out << Label("~CRC32") << ToHex(image.GetCRC32(image.GetROMSize()), 8) << "\n";
    if (gpu)
    {
        out << Label("Image Hash")
            << (image.GetCertificateTableOffset() == -1 ? std::string("N/A")
                                                        : image.GetImageHashText(true))
            << "\n";
    }
}

void PrintMakerStrings(IROMImage& image, std::ostream& out)
{
    const std::pair<const char*, std::string> texts[] = {
        {"OEM String", image.GetOEMString()},
        {"Vendor Name", image.GetVendorName()},
        {"Product Name", image.GetProductName()},
        {"Product Revision", image.GetProductRevision()},
    };
    for (const auto& [label, text] : texts)
    {
        if (!text.empty())
        {
            out << Label(label) << text << "\n";
        }
    }
}

void PrintBoardId(IROMImage& image, IBoardDatabase* boards, bool boardNames, std::ostream& out)
{
    out << Label("Board ID") << ToHex(image.GetBoardID(), 4);
    if (boardNames && boards)
    {
        CBoardType board;
        boards->GetBoardType(board, image.GetBoardID());
        if (board.IsKnown())
        {
            out << " (" << board.name << ")";
        }
        else
        {
            out << "\nWARNING: Unknown Board ID " << ToHex(image.GetBoardID(), 4)
                << "\n(It is recommended you obtain a newer version of ROMVISE.)";
        }
    }
    out << "\n";
}

// The devices the image is for, by name and by PCI ID, and its board.
void PrintDevices(IROMImage& image, IDisplayAdapterDatabase* adapters, IBoardDatabase* boards,
                  bool boardNames, bool detail, std::ostream& out)
{
    const uint16_t vendorId = image.GetVendorID();
    std::vector<std::string> names{AdapterName(adapters, vendorId, image.GetDeviceID())};
    std::string pciIds = ToHex(vendorId, 4) + "-" + ToHex(image.GetDeviceID(), 4);
    for (uint32_t i = 0; i < kMaxDeviceIDList && image.GetDeviceIDListEntry(i) != 0; ++i)
    {
        const uint16_t deviceId = image.GetDeviceIDListEntry(i);
        names.push_back(AdapterName(adapters, vendorId, deviceId));
        const bool lineFull = i != 0 && i % kDeviceIDsPerLine == 0;
        pciIds += lineFull ? ",\n" + std::string(24, ' ') : std::string(", ");
        pciIds += ToHex(deviceId, 4);
    }
    PrintContinued(out, "Device Name(s)", names);
    if (detail && image.GetBoardID() != 0)
    {
        PrintBoardId(image, boards, boardNames, out);
    }
    out << Label("PCI ID") << pciIds << "\n";
    out << Label("GPU Device ID") << ToHex(image.GetGPUDeviceID(), 4) << "\n";
}

void PrintBuild(IROMImage& image, bool boardNames, std::ostream& out)
{
    out << Label("Hierarchy ID") << image.GetHierarchyIDName() << "\n"
        << Label("Chip SKU") << Joined(image.GetChipSKU(), image.GetChipSKURevision()) << "\n"
        << Label("Project")
        << Joined(image.GetProject(), image.GetProjectSKU(), image.GetProjectRevision()) << "\n"
        << Label("CDP") << OrNotAvailable(image.GetCDP()) << "\n";
    if (boardNames)
    {
        out << Label("Coproc Build") << (image.IsCoprocBuild() ? "YES" : "NO") << "\n";
    }
    const std::string built = DateText(image.GetBuildDate());
    if (!built.empty())
    {
        out << Label("Build Date") << built << "\n";
    }
}

void PrintUEFI(IROMImage& image, bool detail, std::ostream& out)
{
    if (detail)
    {
        out << Label("Build GUID") << image.GetBuildGUID() << "\n"
            << Label("UEFI Support") << image.GetUEFISupport() << "\n";
    }
    out << Label("UEFI Version") << image.GetUEFIVersion() << "\n";
    if (detail)
    {
        out << Label("UEFI Variant Id") << image.GetUEFIFeatureString() << " ("
            << image.GetUEFIVariantID() << ")\n";
        PrintContinued(out, "UEFI Signer(s)", image.GetUEFISigners());
    }
}

void PrintSignOnAndSelections(IROMImage& image, std::ostream& out)
{
    PrintContinued(out, "Sign-On Message", TextLines(image.GetSignOnMessage()));
    std::vector<std::string> records;
    for (uint32_t i = 0; i < image.GetSelectionCount(); ++i)
    {
        const VFieldSelection record = image.GetSelection(i);
        std::ostringstream line;
        line << std::hex << std::uppercase << "ID:0x" << record.vfieldId << ",min:0x"
             << record.minimum << ",max:0x" << record.maximum;
        records.push_back(line.str());
    }
    PrintContinued(out, "VField parameters", records);
}
} // namespace

void CFlasherImpl::PrintImageInfo(CRefPtr<IROMImage> image,
                                  CRefPtr<IDisplayAdapterDatabase> adapters,
                                  CRefPtr<IBoardDatabase> boards, bool full, bool boardNames,
                                  bool detail, std::ostream& out, CLog* /*log*/,
                                  CRefPtr<IDisplayAdapter> /*adapter*/)
{
    const bool gpu = IsGpuImage(*image);
    if (detail)
    {
        PrintSegment(*image, out);
    }
    PrintSizeAndVersion(*image, gpu, detail, out);
    if (full)
    {
        if (gpu)
        {
            PrintMakerStrings(*image, out);
        }
        PrintDevices(*image, adapters.get(), boards.get(), boardNames, detail, out);
    }
    out << Label("Subsystem ID") << ToHex(image->GetSubsystemVendorID(), 4) << "-"
        << ToHex(image->GetSubsystemDeviceID(), 4) << "\n";
    if (detail)
    {
        PrintBuild(*image, boardNames, out);
    }
    const std::string modified = DateText(image->GetModificationDate());
    if (!modified.empty())
    {
        out << Label(detail ? "Modification Date" : "Date") << modified << "\n";
    }
    if (!gpu)
    {
        return;
    }
    PrintUEFI(*image, detail, out);
    out << "Varnex Version       : " << image->GetVarnexVersion() << "\n"
        << "Varnex Backup Exist  : " << (image->HasVarnexBackupBlock() ? "YES" : "NO") << "\n";
    if (full)
    {
        PrintSignOnAndSelections(*image, out);
    }
}
