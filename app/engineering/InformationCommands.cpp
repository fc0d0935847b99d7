// The engineering commands that read and show: firmware versions of a file or
// of the adapters, applied patches, build information, the PCI functions and
// one configuration register, the adapters, PCI firmware blocks, the EEPROM
// check and dump, the speedometer, and the driver installation test.

#include "app/engineering/EngineeringCommands.h"

#include "core/CrossPlatform.h"
#include "core/TextHelpers.h"

#include <cstdio>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

#if !defined(ROMVISE_BUILD_BRANCH) || !defined(ROMVISE_BUILD_DATE) ||                              \
    !defined(ROMVISE_BUILD_TIME) || !defined(ROMVISE_BUILD_CHANGE)
#error "the build defines the build information at configure time"
#endif

namespace
{
constexpr uint32_t kDefaultDisplayBytes = 256;
constexpr uint32_t kMaxConfigDumpBytes = 4096;

// The byte count of --display: its default, or its decimal value.
uint32_t DisplayByteCount(ICommandLine& commandLine, uint32_t limit)
{
    const std::string text = commandLine.GetValue("display", 0, 0);
    if (text.empty())
    {
        return kDefaultDisplayBytes;
    }
    const std::optional<uint32_t> count = ReadWholeNumber(text, 10, limit);
    if (!count)
    {
        throw std::runtime_error("Invalid value \"" + text + "\" for --display.");
    }
    return *count;
}

// The heading lines of a listing of several images, and the pack's image
// names.
void PrintImageHeading(const ROMImageList& images, size_t i, const FileType& type, CLog* log)
{
    if (images.size() > 1)
    {
        std::cout << "Image " << i << ":" << std::endl;
        *log << LogLevel(3) << "Image " << i << ":" << LogEndl;
    }
    if (type.kind == 1)
    {
        const std::string name = images[i]->GetFileNameCStr();
        std::cout << "Image Name            : " << name << std::endl;
        *log << LogLevel(3) << "Image Name            : " << name << LogEndl;
    }
}

void PrintFieldTable(IVFieldTable& table, CLog* log)
{
    auto show = [log](const std::string& line)
    {
        std::cout << line << std::endl;
        *log << LogLevel(3) << line << LogEndl;
    };
    auto word = [](const auto& record, size_t at)
    {
        return static_cast<uint32_t>(record[at]) | static_cast<uint32_t>(record[at + 1]) << 8 |
               static_cast<uint32_t>(record[at + 2]) << 16 |
               static_cast<uint32_t>(record[at + 3]) << 24;
    };
    show("VField Register Table:");
    for (uint32_t i = 0; i < table.GetRegisterCount(); ++i)
    {
        const VFieldRegisterRecord record = table.GetRegister(i);
        const uint8_t flags = record[0];
        show("Entry[0x" + ToHex(i, 2) + "]: 0x" + ToHex(word(record, 1), 8) + ":0x" +
             ToHex(word(record, 5), 8) + ":0x" + ToHex(word(record, 9), 8) + ":0x" +
             ToHex(flags >> 5, 1) + ":0x" + ToHex((flags >> 3) & 3, 1) + ":0x" +
             ToHex((flags >> 1) & 3, 1));
    }
    show("VField Table:");
    for (uint32_t i = 0; i < table.GetFieldCount(); ++i)
    {
        const VFieldRecord record = table.GetField(i);
        const uint32_t bits = static_cast<uint32_t>(record[1]) | static_cast<uint32_t>(record[2])
                                                                     << 8;
        show("Entry[0x" + ToHex(i, 2) + "]: 0x" + ToHex(record[0], 2) + ":0x" +
             ToHex(bits & 0x1F, 2) + ":0x" + ToHex((bits >> 10) & 0xF, 1) + ":0x" +
             ToHex((bits >> 5) & 0x1F, 2));
    }
    std::cout << "\n" << std::endl;
}

// Loads the command's file with the types and shows each image it gives: the
// heading of a listing of several images, each image's number and pack name,
// then what `show` writes for it.
void ShowFileImages(EngineeringCommand& command, const FileTypeList& types,
                    SelectionCriteria& selection,
                    const std::function<void(CRefPtr<IROMImage>)>& show)
{
    EngineeringValues& values = command.values;
    CRomviseBaseApp& app = command.app;
    const FileType type = app.CheckFileExtension(types, values.fileName);
    const ROMImageList images =
        app.LoadFirmwareFile(values.ui, values.boards, values.fileName, types, values.extVersion,
                             values.fwindex, selection, values.log);
    if (images.size() > 1)
    {
        std::cout << "** Firmware Versions **\n" << std::endl;
    }
    for (size_t i = 0; i < images.size(); ++i)
    {
        PrintImageHeading(images, i, type, values.log);
        show(images[i]);
    }
}

void ShowFileVersions(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    CRomviseBaseApp& app = command.app;
    const FileTypeList types = {CRomviseBaseApp::MakeFileType(1, ".krr"),
                                CRomviseBaseApp::MakeFileType(0, ".rom")};
    SelectionCriteria selection;
    ShowFileImages(command, types, selection,
                   [&](CRefPtr<IROMImage> image)
                   {
                       std::ostringstream text;
                       values.flasher->PrintImageInfo(
                           image, values.adapters, values.boards, true, values.extVersion,
                           app.HasEngineeringFeatures(), text, values.log, nullptr);
                       std::cout << text.str() << std::endl;
                       // The full information always reaches the log.
                       values.flasher->PrintImageInfo(image, values.adapters, values.boards, true,
                                                      true, app.HasEngineeringFeatures(),
                                                      *values.log, values.log, nullptr);
                       values.log->flush();
                       std::cout << "\n" << std::endl;
                   });
    if (selection.kind == SelectionCriteria::FieldRanges && selection.fields)
    {
        PrintFieldTable(*selection.fields, values.log);
    }
}

void ShowAdapterVersions(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    CRomviseBaseApp& app = command.app;
    CRefPtr<IPCIBus> bus = GetPCIBus();
    const DisplayAdapterList adapters =
        app.SelectAdapters(values.ui, values.adapters, values.boards, values.filters,
                           values.overrideAdapter, bus, values.index, values.log);
    if (adapters.size() == 1)
    {
        values.flasher->DisplayVersion(values.ui, bus, adapters.front(), values.adapters,
                                       values.boards, values.eeproms, values.extVersion,
                                       app.HasEngineeringFeatures(), values.log);
        return;
    }
    std::cout << "BIOS Versions of Korvan display adapters present in system:\n" << std::endl;
    for (size_t i = 0; i < adapters.size(); ++i)
    {
        values.flasher->DisableDisplayDriver(adapters[i], values.log, true);
        std::ostringstream text;
        text << '<' << i << "> ";
        values.flasher->PrintVersionQuick(values.ui, bus, adapters[i], values.adapters,
                                          values.boards, values.eeproms, text,
                                          app.HasEngineeringFeatures(), values.log, false);
        std::cout << text.str() << std::flush;
        *values.log << LogLevel(3) << text.str() << std::flush;
        values.flasher->RestoreDisplayDriver(i + 1 == adapters.size());
    }
}

// The register at its width. A double word only shown is read through the
// classic configuration access, one about to be written through the
// extended one, which reaches every offset.
uint32_t ReadRegister(IPCIDeviceAccessor& function, const RegisterSpec& spec, bool beforeWrite)
{
    switch (spec.width)
    {
    case 1:
        return function.ReadExtConfig8(spec.offset);
    case 2:
        return function.ReadExtConfig16(spec.offset);
    default:
        return beforeWrite ? function.ReadExtConfig32(spec.offset)
                           : function.ReadConfig32(spec.offset);
    }
}

void PrintRegisterAccess(const char* verb, const RegisterSpec& spec)
{
    const char* width = spec.width == 1 ? "BYTE" : (spec.width == 2 ? "WORD" : "DWORD");
    std::cout << verb << ' ' << width << ": "
              << " offset " << ToHex(spec.offset, 4);
}
} // namespace

static void ShowVersions(EngineeringCommand& command)
{
    if (command.values.fileName.empty())
    {
        ShowAdapterVersions(command);
    }
    else
    {
        ShowFileVersions(command);
    }
}

static void ListAppliedPatches(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    CRefPtr<IPCIBus> bus = GetPCIBus();
    const DisplayAdapterList adapters =
        command.app.SelectAdapters(values.ui, values.adapters, values.boards, values.filters,
                                   values.overrideAdapter, bus, values.index, values.log);
    if (adapters.size() != 1)
    {
        throw std::runtime_error("Must specify a specific display adapter.");
    }
    values.flasher->DisplayAppliedRuntimePatches(values.ui, bus, adapters.front(), values.adapters,
                                                 values.boards, values.eeproms, values.log);
}

static void ShowBuildInformation(EngineeringCommand& command)
{
    CLog& log = *command.values.log;
    std::ostringstream lines;
    lines << "  - Build Date: " << ROMVISE_BUILD_DATE << '\n'
          << "  - Build Time: " << ROMVISE_BUILD_TIME << '\n'
          << "  - Build CL: " << ROMVISE_BUILD_CHANGE << '\n';
    log << LogLevel(3) << "Build Information\n"
        << "  - Build Branch: " << ROMVISE_BUILD_BRANCH << '\n'
        << lines.str() << LogEndl;
    std::cout << "Build Information\n" << lines.str() << std::endl;
}

static void ListPciFunctions(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    std::cout << "List all the PCI devices in the system:" << std::endl;
    const uint32_t dumpLength = values.commandLine->IsSet("display")
                                    ? DisplayByteCount(*values.commandLine, kMaxConfigDumpBytes)
                                    : 0;
    PCIFilter filter;
    const PCIFilter* filterUsed = nullptr;
    if (values.commandLine->IsSet("pcisegbus"))
    {
        filter.segment = static_cast<uint32_t>(values.address.segment);
        filter.bus = static_cast<uint32_t>(values.address.bus);
        filter.device = values.address.device;
        filter.function = values.address.function;
        filterUsed = &filter;
    }
    PCIDeviceAccessorList functions;
    GetPCIBus()->FindPCIDevices(functions, dumpLength, filterUsed, true, values.log);
    if (functions.empty())
    {
        std::cout << "This flasher version does not support \"lspci/setpci\" yet." << std::endl;
    }
}

static void AccessPciRegister(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    std::cout << "Configure PCI device in the system:" << std::endl;
    RegisterSpec spec{};
    if (!values.commandLine->GetRegisterSpec("setpci", 0, 0, &spec) || spec.access == 0)
    {
        throw std::runtime_error("Invalid input, the argument must comply with the <REG>.<WIDTH> \n"
                                 "\tor <REG>.<WIDTH>=<VALUE:<MASK> format.");
    }
    const PCIDeviceAccessorList functions =
        command.app.SelectPciDevice(GetPCIBus(), values.index, values.log);
    IPCIDeviceAccessor& function = *functions.front();
    const int digits = spec.width * 2;
    if (spec.access < 0)
    {
        const uint32_t value = ReadRegister(function, spec, false);
        PrintRegisterAccess("Read", spec);
        std::cout << '\n'
                  << "  [0x" << ToHex(spec.offset, 4) << "] -> 0x" << ToHex(value, digits)
                  << std::endl;
        return;
    }
    const uint32_t old = ReadRegister(function, spec, true);
    PrintRegisterAccess("Write", spec);
    std::cout << " value " << ToHex(spec.value, digits) << " mask " << ToHex(spec.mask, digits)
              << '\n'
              << "  [0x" << ToHex(spec.offset, 4) << "] -> 0x" << ToHex(old, digits) << std::endl;
    const uint32_t updated = (old & ~spec.mask) | (spec.value & spec.mask);
    std::cout << "  [0x" << ToHex(spec.offset, 4) << "] <- 0x" << ToHex(updated, digits)
              << std::endl;
    switch (spec.width)
    {
    case 1:
        function.WriteExtConfig8(spec.offset, static_cast<uint8_t>(updated));
        break;
    case 2:
        function.WriteExtConfig16(spec.offset, static_cast<uint16_t>(updated));
        break;
    default:
        function.WriteExtConfig32(spec.offset, updated);
        break;
    }
}

static void ListAdapters(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    CRomviseBaseApp& app = command.app;
    std::cout << "Korvan display adapters present in system:" << std::endl;
    DisplayAdapterList adapters;
    app.EnumerateAdapters(adapters, GetPCIBus(), values.adapters, values.filters,
                          values.overrideAdapter, true, values.log, false);
    if (adapters.empty())
    {
        std::cout << "No Korvan display adapters found." << std::endl;
        *values.log << LogLevel(3) << "No Korvan display adapters found." << LogEndl;
        return;
    }
    for (size_t i = 0; i < adapters.size(); ++i)
    {
        std::ostringstream line;
        line << '<' << i << "> ";
        adapters[i]->PrintDescription(line, false, app.HasEngineeringFeatures());
        std::cout << line.str() << std::endl;
        *values.log << LogLevel(3) << line.str() << LogEndl;
    }
}

static void ListPciBlocks(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    CRomviseBaseApp& app = command.app;
    const bool full = values.commandLine->IsSet("full");
    if (values.fileName.empty())
    {
        CRefPtr<IPCIBus> bus = GetPCIBus();
        const DisplayAdapterList adapters =
            app.SelectAdapters(values.ui, values.adapters, values.boards, values.filters,
                               values.overrideAdapter, bus, values.index, values.log);
        values.flasher->DisplayPCIBlocks(values.ui, bus, adapters.front(), values.eeproms, full,
                                         values.log);
        return;
    }
    const FileTypeList types = {
        CRomviseBaseApp::MakeFileType(1, ".krr"), CRomviseBaseApp::MakeFileType(0, ".rom"),
        CRomviseBaseApp::MakeFileType(2, ".efirom"), CRomviseBaseApp::MakeFileType(2, ".efr")};
    SelectionCriteria selection;
    ShowFileImages(command, types, selection,
                   [&](CRefPtr<IROMImage> image)
                   {
                       const std::string blocks = image->DumpPCIBlocks(full ? 1 : 0);
                       std::cout << blocks << std::flush;
                       *values.log << LogLevel(3) << blocks << std::flush;
                   });
    std::cout << "\n" << std::endl;
}

static void CheckAdapterEEPROM(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    values.flasher->CheckEEPROM(values.ui, GetPCIBus(), command.adapter, values.eeproms,
                                values.log);
}

static void DisplayAdapterEEPROM(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    const uint32_t count = DisplayByteCount(*values.commandLine, 0xFFFFFFFF);
    values.flasher->DisplayEEPROM(values.ui, GetPCIBus(), command.adapter, values.eeproms, count,
                                  values.log);
}

static void ShowSpeedometer(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    values.flasher->DisplaySpeedometerValue(values.ui, GetPCIBus(), command.adapter, values.log);
}

static void InstallDriver(EngineeringCommand& /*command*/)
{
    // Taking the bus opens the driver transport; it closes when the
    // process's objects are released at exit.
    GetPCIBus()->Reset();
    std::cout << "ROMVISE driver installed." << std::endl
              << "Press any key to uninstall and terminate." << std::endl;
    GetCrossPlatform()->GetKey();
}

CommandFamily InformationCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"version", 0, "", "Display the firmware version of the adapters or of a file.", 10},
        {"listpatches", 0, "", "List the run-time patches the adapter's firmware applied.", 50},
        {"buildinfo", 0, "", "Display the build information.", 60},
        {"lspci", 0, "", "List all the PCI functions (with --display, their configuration).", 70},
        {"setpci", 1, "<REG>.<W>[=<VAL>[:<MASK>]]", "Read or write a PCI configuration register.",
         80},
        {"list", 0, "", "List the adapters.", 90},
        {"pciblocks", 0, "", "List the PCI firmware blocks of the adapter or of a file.", 440},
        {"check", 0, "", "Check for a supported EEPROM.", 470},
        {"display", 1, "[bytes]", "Display the first bytes of the firmware (256 by default).", 480},
        {"speed", 0, "", "Display the speedometer value.", 520},
        {"install", 0, "", "Install the driver and wait for a key.", 530},
        {"full", 0, "", "With --pciblocks: every field.", 820},
    };
    static const ChainRow kChain[] = {
        {{"version"}, 1, {LogCommand}, "", ShowVersions},
        {{"listpatches"}, 5, {LogCommand}, "", ListAppliedPatches},
        {{"buildinfo"}, 6, {LogCommand}, "", ShowBuildInformation},
        {{"lspci"}, 7, {LogCommand}, "", ListPciFunctions},
        {{"setpci"}, 8, {LogCommand, IndexOnly}, "", AccessPciRegister},
        {{"list"}, 9, {LogCommand}, "", ListAdapters},
        {{"pciblocks"}, 42, {LogCommand, IndexOnly}, "list PCI blocks", ListPciBlocks},
        {{"check"}, 44, {LogCommand, OneAdapter}, "", CheckAdapterEEPROM},
        {{"display"}, 45, {LogCommand, OneAdapter}, "", DisplayAdapterEEPROM},
        {{"speed"}, 49, {LogCommand, OneAdapter}, "", ShowSpeedometer},
        {{"install"}, 50, {LogCommand}, "", InstallDriver},
    };
    static const UsageRow kUsage[] = {
        {1, 40, "Display firmware bytes:", " [options] --display [bytes]"},
        {1, 50, "Check for supported EEPROM:", " [options] --check"},
        {1, 60, "Display VBIOS version:", " [options] --version [<filename>]"},
        {1, 70, "List adapters:", " [options] --list"},
        {1, 120, "List out all the PCI devices:", " [options] --lspci"},
        {1, 130, "Access PCI Configure register:", " [options] --setpci"},
        {1, 140, "Display Build information:", " [options] --buildinfo"},
        {1, 290, "List PCI firmware blocks:", " [options] --pciblocks"},
        {1, 300, "List applied patches:", " [options] --listpatches"},
    };
    return {kWords, kChain, kUsage};
}
