// The commands that read an adapter's firmware against a file without
// programming it: save it (or, to a .vnx file, the store its Varnex block
// holds) to a file, compare it with a file's image, verify it against one.
// Each checks its file before it selects and reads an adapter, so a wrong
// name never touches the hardware.

#include "app/engineering/EngineeringCommands.h"

#include "hw/adapter/IPCIBus.h"

#include <stdexcept>

namespace
{
constexpr int kVarnexFileKind = 3;

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
    SelectOneAdapter(command, false);
    return images.front();
}
} // namespace

static void SaveAdapterFirmware(EngineeringCommand& command)
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
    // Uncatalogued adapters too with --override 2.
    SelectOneAdapter(command, values.overrideAdapter);
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

static void CompareAdapterFirmware(EngineeringCommand& command)
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

static void VerifyAdapterFirmware(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    const CRefPtr<IROMImage> image = LoadImageThenSelect(command);
    values.flasher->CompareROMImage(values.ui, image, GetPCIBus(), command.adapter, values.boards,
                                    values.eeproms, values.extVersion, true, true, false, true,
                                    values.log);
}

CommandFamily SaveCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"save", 1, "<file>", "Save the adapter's firmware (.rom) or Varnex image (.vnx).", 110},
        {"compare", 0, "", "Compare the adapter's firmware with the file's image.", 350},
        {"verify", 0, "", "Verify the adapter's firmware against the file's image.", 360},
        {"entire", 0, "", "With --save: the whole EEPROM.", 830},
    };
    static const ChainRow kChain[] = {
        {{"save"}, 11, {LogCommand}, "", SaveAdapterFirmware},
        {{"compare"}, 33, {LogCommand, FileRequired}, "", CompareAdapterFirmware},
        {{"verify"}, 35, {LogCommand, FileRequired}, "", VerifyAdapterFirmware},
    };
    static const UsageRow kUsage[] = {
        {1, 30, "Save VBIOS firmware to file:", " [options] --save <filename>"},
        {1, 80, "Compare adapter firmware:", " [options] --compare <filename>"},
        {1, 90, "Verify adapter firmware:", " [options] --verify <filename>"},
        {2, 20, "Save Varnex firmware to file:", " [options] --save <filename>.vnx"},
    };
    return {kWords, kChain, kUsage};
}
