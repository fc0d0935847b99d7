#pragma once
// The engineering run's shared pieces: the values set-up prepares for every
// command, the option table, the failure report, and the command chain (one
// row per command: its words, the guards applied in order, its handler).

#include "app/RomviseBaseApp.h"
#include "app/engineering/ExitCodes.h"
#include "core/CommandLine.h"
#include "core/Log.h"
#include "core/UserInterface.h"
#include "eeprom/IEEPROMDatabase.h"
#include "flasher/IFlasher.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"

#include <exception>
#include <span>
#include <string>
#include <vector>

struct EngineeringValues
{
    CLog* log = nullptr;
    CRefPtr<ICommandLine> commandLine;
    CRefPtr<IUserInterface> ui;
    CRefPtr<IEEPROMDatabase> eeproms;
    CRefPtr<IDisplayAdapterDatabase> adapters;
    CRefPtr<IBoardDatabase> boards;
    CRefPtr<IFlasher> flasher;

    int index = -1;   // -1 none given, -2 ask, else the adapter's number
    int fwindex = -1; // -1 none given, -2 ask, -3 match, else the image's number
    bool overrideEEPROM = false;
    bool overrideAdapter = false;
    int retryMode = 3;
    bool autoConfirm = false;
    bool autoNoConfirm = false;
    bool extVersion = false;
    int compareMode = 0;
    std::vector<DeviceIdFilter> filters;
    PciAddress address{-1, -1, -1, -1}; // from --pcisegbus
    std::string fileName;               // the first plain argument
    FileType fileType;
    bool usageFlag = false;
    // A command's usage lines were shown: the run ends at once, without the
    // tail's reboot.
    bool endsAtOnce = false;
    int result = engineering_exit::kDone;
};

// The engineering option table.
std::span<const OptionDescriptor> EngineeringOptions();

// Reports a failure of the run at level 4 (standard error and the log) with
// the prefix of its type, beeps through the user interface when there is one,
// and returns the exit code: io_error 3, domain_error and out_of_range 4,
// environment_error 6, every other failure 2.
int ReportRunFailure(std::exception_ptr failure, CLog* log, IUserInterface* ui);

// Shows "<headline>", an empty line, "Example:" and "  > <program><example>"
// as one message.
void ShowUsageHint(IUserInterface* ui, const std::string& headline, const std::string& program,
                   const std::string& example);

struct EngineeringCommand;
// A command's usage lines for a missing file name ("No filename specified."
// and the example): result 5, and the run ends at once.
void EndWithFileNameUsage(EngineeringCommand& command, const std::string& example);

// ---- the command chain -----------------------------------------------------

enum class ChainGuard
{
    LogCommand,      // "Command: " and the row's text, log file only
    PowerCheck,      // refuse on low power unless --nopowerchk
    RefuseOverride,  // refuse --override for a writing command
    WritableTarget,  // a store writer: --romin only with --romout, and unless
                     // only that file is written, power and no --override
    OneAdapter,      // select one adapter, catalogued only
    OneAdapterAsked, // select one adapter, uncatalogued too with --override 2
    FileRequired,    // a firmware file name must be given
    IndexOnly,       // the handler selects its own adapter (index -1 asks)
};

struct EngineeringCommand
{
    CRomviseBaseApp& app;
    EngineeringValues& values;
    CRefPtr<IDisplayAdapter> adapter; // the adapter the guards selected
};

using CommandHandler = void (*)(EngineeringCommand& command);

struct ChainRow
{
    std::vector<std::string> words; // any of them selects the row
    std::vector<ChainGuard> guards;
    std::string logText; // empty: the first word
    CommandHandler handler;
};

const std::vector<ChainRow>& EngineeringChain();
// The first row one of whose words is set; null when none is.
const ChainRow* FindChainRow(const std::vector<ChainRow>& chain, ICommandLine& commandLine);
// Applies the row's guards in order, then runs its handler.
void RunChainRow(const ChainRow& row, EngineeringCommand& command);
// Selects one adapter into the command (index -1 asks when there are several).
void SelectOneAdapter(EngineeringCommand& command, bool includeUncatalogued);
// Refuses --override for a command that writes to an adapter.
void RefuseWriteOverride(const EngineeringValues& values);

// ---- the commands (one handler per row) -------------------------------------
void ShowVersions(EngineeringCommand& command);
void ProgramGmac(EngineeringCommand& command);
void SaveGmac(EngineeringCommand& command);
void QueryGmac(EngineeringCommand& command);
void ListAppliedPatches(EngineeringCommand& command);
void ShowBuildInformation(EngineeringCommand& command);
void ListPciFunctions(EngineeringCommand& command);
void AccessPciRegister(EngineeringCommand& command);
void ListAdapters(EngineeringCommand& command);
void ListGmac(EngineeringCommand& command);
void SaveAdapterFirmware(EngineeringCommand& command);
void CompareAdapterFirmware(EngineeringCommand& command);
void FlashSegmentOnly(EngineeringCommand& command);
void VerifyAdapterFirmware(EngineeringCommand& command);
void ListPciBlocks(EngineeringCommand& command);
void CheckAdapterEEPROM(EngineeringCommand& command);
void DisplayAdapterEEPROM(EngineeringCommand& command);
void ShowSpeedometer(EngineeringCommand& command);
void InstallDriver(EngineeringCommand& command);
// The file's UEFI driver into the firmware of every selected adapter.
void UpdateAdapterUEFI(EngineeringCommand& command);
void EraseAdapterEEPROM(EngineeringCommand& command);
void DeleteAdapterFirmware(EngineeringCommand& command);
void UpdateAdapterStraps(EngineeringCommand& command);
void UpdateAdapterGuid(EngineeringCommand& command);
void UpdateAdapterGuidSource(EngineeringCommand& command);
void UpdateAdapterTVData(EngineeringCommand& command);
void SetAdapterProtection(EngineeringCommand& command);
void TestAdapterEEPROMWriting(EngineeringCommand& command);
void StressAdapterEEPROM(EngineeringCommand& command);
void TestAdapterEEPROMReading(EngineeringCommand& command);
void LoadKestrixEngines(EngineeringCommand& command);
void AttachKestrixEngine(EngineeringCommand& command);
void ShowChipEcid(EngineeringCommand& command);
void TuneAdapterPreservedData(EngineeringCommand& command);
// With no command word and a file name: the file into the adapters it fits.
void FlashFirmwareFile(EngineeringCommand& command);
const ChainRow& DefaultFlashRow();

// Adds the EEPROM part the --partopts file describes to the catalogue: 0
// added or already known, 5 a file that cannot be read or an invalid part.
int SetPartOptions(EngineeringValues& values);

// The Varnex and board-data commands: each sets the run's result to its status.
void ReadOemObject(EngineeringCommand& command);
void ReadObdObject(EngineeringCommand& command);
void ReadBboObject(EngineeringCommand& command);
// The store of the adapter's firmware, in raw form, into the new file.
void SaveVarnexToFile(EngineeringCommand& command, const std::string& name);
void SaveVarnexFileSystem(EngineeringCommand& command);
void ReadVarnexObjectToFile(EngineeringCommand& command);
void CreateVarnexFileSystem(EngineeringCommand& command);
void WriteOemObject(EngineeringCommand& command);
void WriteObdFields(EngineeringCommand& command);
void WriteBboObject(EngineeringCommand& command);
void EraseVarnex(EngineeringCommand& command);
void ClearRetiredPages(EngineeringCommand& command);
void ClearVarnexObject(EngineeringCommand& command);
void FlashVarnexFileSystem(EngineeringCommand& command);
void FlashVarnexFile(EngineeringCommand& command);
void BackupVarnexStore(EngineeringCommand& command);
void WriteProductNumber(EngineeringCommand& command);
void AddPowerPolicy(EngineeringCommand& command);
void DeletePowerPolicy(EngineeringCommand& command);
void ListPowerPolicies(EngineeringCommand& command);
void RepairVarnex(EngineeringCommand& command);
void RecoverVarnex(EngineeringCommand& command);
