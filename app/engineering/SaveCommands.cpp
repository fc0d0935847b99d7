// The commands that read an adapter's firmware against a file without
// programming it: save it (or, to a .vnx file, the store its Varnex block
// holds) to a file, compare it with a file's image, verify it against one. Each checks its file before it selects and reads an adapter,
// so a wrong name never touches the hardware.

#include "app/engineering/EngineeringRun.h"

#include "hw/adapter/IPCIBus.h"

#include <stdexcept>

namespace
{
constexpr int kVarnexFileKind = 3;

// Selects the command's one adapter (into `command.adapter`) through the
// chain's own selection guard, after the handler's checks of its file.
void SelectAdapterAfterChecks(EngineeringCommand& command, ChainGuard selection)
{
    const ChainRow row{{}, {selection}, "", [](EngineeringCommand&) {}};
    RunChainRow(row, command);
}

// The save word's value, else the first plain argument.
std::string SaveFileName(const EngineeringValues& values)
{
    const std::string own = values.commandLine->GetValue("save", 0, 0);
    return own.empty() ? values.fileName : own;
}

// The file's first image, loaded before the adapter is selected so that a
// missing or malformed file is reported before any hardware is read.
CRefPtr<IROMImage> LoadImageThenSelect(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    if (values.index == -1)
    {
        values.index = -2;
    }
    if (values.fwindex == -1)
    {
        values.fwindex = -2;
    }
    const FileTypeList types = {CRomviseBaseApp::MakeFileType(1, ".krr"),
                                CRomviseBaseApp::MakeFileType(0, ".rom")};
    SelectionCriteria selection;
    const ROMImageList images =
        command.app.LoadFirmwareFile(values.ui, values.boards, values.fileName, types,
                                     values.extVersion, values.fwindex, selection, values.log);
    SelectAdapterAfterChecks(command, ChainGuard::OneAdapter);
    return images.front();
}
} // namespace

void SaveAdapterFirmware(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    const std::string name = SaveFileName(values);
    if (name.empty())
    {
        EndWithFileNameUsage(command,
                             std::string(values.commandLine->IsSet("entire") ? " --entire" : "") +
                                 " --save=firmware.rom");
        return;
    }
    FileTypeList types = {CRomviseBaseApp::MakeFileType(0, ".rom")};
    if (command.app.HasEngineeringFeatures())
    {
        types.push_back(CRomviseBaseApp::MakeFileType(kVarnexFileKind, ".vnx"));
    }
    const FileType type = command.app.CheckFileExtension(types, name);
    SelectAdapterAfterChecks(command, ChainGuard::OneAdapterAsked);
    if (type.kind == kVarnexFileKind)
    {
        SaveVarnexToFile(command, name);
        return;
    }
    values.flasher->SaveROMImage(values.ui, name, GetPCIBus(), command.adapter, values.adapters,
                                 values.boards, values.eeproms, values.commandLine->IsSet("full"),
                                 values.commandLine->IsSet("entire"),
                                 command.app.HasEngineeringFeatures(), values.log);
}

void CompareAdapterFirmware(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    const CRefPtr<IROMImage> image = LoadImageThenSelect(command);
    // A file holding only the init-from-ROM segment is compared with that
    // segment alone.
    const bool segmentOnly = image->GetIFRImageSize() == image->GetLoadedSize();
    values.flasher->CompareROMImage(values.ui, image, GetPCIBus(), command.adapter, values.boards,
                                    values.eeproms, values.extVersion, false, false, segmentOnly,
                                    false, values.log);
}

void VerifyAdapterFirmware(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    const CRefPtr<IROMImage> image = LoadImageThenSelect(command);
    values.flasher->CompareROMImage(values.ui, image, GetPCIBus(), command.adapter, values.boards,
                                    values.eeproms, values.extVersion, true, true, false, true,
                                    values.log);
}
