#pragma once
// The application frame both programs share: the process command line, the
// adapter enumeration with its filters, and the operations that every
// application class may replace. The engineering command mode fills in the
// operations the packaged updater does not call.

#include "core/CommandLine.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "core/UserInterface.h"
#include "eeprom/IEEPROMDatabase.h"
#include "hw/adapter/EnumerateAdapters.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/adapter/IPCIBus.h"
#include "hw/catalogue/BoardCatalogue.h"
#include "image/IROMImage.h"
#include "image/IROMMeld.h"

#include <cstdint>
#include <string>
#include <vector>

// A kind of input file and its extension (with the dot, lower case). Kinds:
// -1 none, 0 firmware image, 1 ROM pack, 2 UEFI image, 3 Varnex image,
// 5 settings file.
struct FileType
{
    int kind = -1;
    std::string extension;
};
using FileTypeList = std::vector<FileType>;
using ROMImageList = std::vector<CRefPtr<IROMImage>>;

struct EngineeringValues;

class CRomviseBaseApp
{
public:
    // An application class installs its own option table.
    CRomviseBaseApp() = default;
    // The engineering flasher: its option table over the process's arguments.
    CRomviseBaseApp(int argc, char** argv);
    virtual ~CRomviseBaseApp();
    CRomviseBaseApp(const CRomviseBaseApp&) = delete;
    CRomviseBaseApp& operator=(const CRomviseBaseApp&) = delete;

    virtual std::string GetProgramName();
    // Bit 0 of the feature flags: the detail flag every engine operation gets.
    virtual bool HasEngineeringFeatures();
    virtual int32_t GetFeatureFlags();
    // The engineering run: set-up, one command of the chain, the common tail;
    // returns the exit code. Nothing it raises leaves it.
    virtual int Run();

    // ---- banner, usage screen and part list ---------------------------------
    virtual void PrintBanner();
    virtual void PrintUsage(CRefPtr<ICommandLine> commandLine, CRefPtr<IEEPROMDatabase> database);
    virtual void ListSupportedEEPROMs(CRefPtr<IEEPROMDatabase> database);
    virtual void PrintPowerPolicyHelp();

    // ---- adapter and PCI-function selection ---------------------------------
    // Index -1: all (or the only one); -2 (or any other negative): a menu;
    // n: the n-th. A location given with --pcisegbus wins over the index.
    virtual DisplayAdapterList
    SelectAdapters(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapterDatabase> database,
                   CRefPtr<IBoardDatabase> boards, const std::vector<DeviceIdFilter>& filters,
                   bool includeUncatalogued, CRefPtr<IPCIBus> bus, int index, CLog* log);
    virtual PCIDeviceAccessorList SelectPciDevice(CRefPtr<IPCIBus> bus, int index, CLog* log);
    // The same rule over the adapters that carry a GMAC microcontroller, whose
    // menu shows each microcontroller with the adapters it belongs to.
    virtual DisplayAdapterList SelectGmacAdapters(CRefPtr<IDisplayAdapterDatabase> database,
                                                  const std::vector<DeviceIdFilter>& filters,
                                                  bool includeUncatalogued, CRefPtr<IPCIBus> bus,
                                                  int index, CLog* log);
    // The adapters whose firmware lists a GMAC microcontroller, each with its
    // accessor's slave address and port set.
    virtual DisplayAdapterList FindGmacDevices(CRefPtr<IDisplayAdapterDatabase> database,
                                               bool includeUncatalogued, CLog* log);
    // The adapters of the list that own a microcontroller.
    virtual DisplayAdapterList FindMcuAdapters(const DisplayAdapterList& adapters, CLog* log);
    // "<k> " and each microcontroller's name, then "    |__ " and each
    // adapter of `owners` that belongs to it, one a line.
    std::string ListGmacDevices(const DisplayAdapterList& devices,
                                const DisplayAdapterList& owners);

    // ---- firmware files -------------------------------------------------------
    static FileType MakeFileType(int kind, std::string extension);
    // The type of the name's extension among the types; std::runtime_error
    // for a name without extension or an extension outside the list.
    virtual FileType CheckFileExtension(const FileTypeList& types, const std::string& name);
    virtual ROMImageList LoadFirmwareFile(CRefPtr<IUserInterface> ui,
                                          CRefPtr<IBoardDatabase> boards, const std::string& name,
                                          const FileTypeList& types, bool extended, int imageIndex,
                                          SelectionCriteria& selection, CLog* log);
    // Index -1: every image; another negative index: a menu (images 0-9).
    virtual ROMImageList SelectFirmwareImage(CRefPtr<IROMMeld> meld, int imageIndex, bool extended,
                                             CLog* log);

    // The adapters to work on: the bus scan without the motherboard's PLX
    // switch functions and the unconfigured adapters, filtered by device ID.
    virtual DisplayAdapterList& EnumerateAdapters(DisplayAdapterList& result, CRefPtr<IPCIBus> bus,
                                                  CRefPtr<IDisplayAdapterDatabase> database,
                                                  const std::vector<DeviceIdFilter>& filters,
                                                  bool keepUnknown, bool reportUnconfigured,
                                                  CLog* log, bool reverse);
    virtual DisplayAdapterList& FilterOnboardBridges(DisplayAdapterList& result,
                                                     const DisplayAdapterList& adapters, CLog* log);

    // Writes the Varnex backup block into the adapter's firmware: 0 done, 16
    // no Varnex image or the adapter's images unreadable, 3 the write failed.
    virtual int BackupVarnex(CRefPtr<IDisplayAdapter> adapter,
                             CRefPtr<IDisplayAdapterDatabase> adapters, bool skipConfirm,
                             CLog* log);

protected:
    // Runs the one command of the chain the command line names.
    virtual void RunCommand(EngineeringValues& values);
    // The engine's objects, the banner, and the command the command line
    // names or the usage screen; returns the exit code.
    int RunCommandOrUsage(EngineeringValues& values);

    CRefPtr<ICommandLine> commandLine;
    // The location given with --pcisegbus; -1 where none was given.
    int32_t selectedSegment = -1;
    int32_t selectedBus = -1;
    int32_t selectedDevice = -1;
    int32_t selectedFunction = -1;
};

// The version text of the programs, fixed when they are built.
const char* GetProgramVersionText();
