// The engineering command chain: the first row whose word is set runs, after
// its guards in the row's order; the words further down are not looked at.

#include "app/engineering/EngineeringRun.h"
#include "app/engineering/VarnexSession.h"

#include "core/CrossPlatform.h"

#include <stdexcept>

void SelectOneAdapter(EngineeringCommand& command, bool includeUncatalogued)
{
    EngineeringValues& values = command.values;
    // Several adapters lead to the menu rather than to all of them.
    if (values.index == -1)
    {
        values.index = -2;
    }
    const DisplayAdapterList adapters =
        command.app.SelectAdapters(values.ui, values.adapters, values.boards, values.filters,
                                   includeUncatalogued, GetPCIBus(), values.index, values.log);
    command.adapter = adapters.front();
}

void RefuseWriteOverride(const EngineeringValues& values)
{
    if (values.overrideEEPROM)
    {
        throw std::runtime_error("EEPROM override not allowed for write operations");
    }
    if (values.overrideAdapter)
    {
        throw std::runtime_error("Display adapter override not allowed for write operations");
    }
}

namespace
{
using enum ChainGuard;

// The row's first word given on the command line (a row of several words
// logs the one that chose it).
const std::string& WordGiven(const ChainRow& row, ICommandLine& commandLine)
{
    for (const std::string& word : row.words)
    {
        if (commandLine.IsSet(word))
        {
            return word;
        }
    }
    return row.words.front();
}

void ApplyGuard(ChainGuard guard, const ChainRow& row, EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    switch (guard)
    {
    case LogCommand:
        *values.log << LogLevel(3)
                    << "Command: " << (row.logText.empty() ? WordGiven(row, *values.commandLine) : row.logText)
                    << LogEndl;
        break;
    case PowerCheck:
        if (!GetCrossPlatform()->IsPowerSufficient() && !values.commandLine->IsSet("nopowerchk"))
        {
            throw std::runtime_error(ICrossPlatform::GetLowPowerMessage());
        }
        break;
    case RefuseOverride:
        RefuseWriteOverride(values);
        break;
    case WritableTarget:
        RequireWritableTarget(command);
        break;
    case OneAdapter:
        SelectOneAdapter(command, false);
        break;
    case OneAdapterAsked:
        SelectOneAdapter(command, values.overrideAdapter);
        break;
    case FileRequired:
        if (values.fileName.empty())
        {
            throw std::runtime_error("No filename specified.");
        }
        break;
    case IndexOnly:
        if (values.index == -1)
        {
            values.index = -2;
        }
        break;
    }
}
} // namespace

const std::vector<ChainRow>& EngineeringChain()
{
    static const std::vector<ChainRow> chain = {
        {{"version"}, {LogCommand}, "", ShowVersions},
        {{"proggmac"}, {LogCommand, PowerCheck, RefuseOverride}, "", ProgramGmac},
        {{"savegmac"}, {LogCommand}, "", SaveGmac},
        {{"querygmac"}, {LogCommand}, "", QueryGmac},
        {{"listpatches"}, {LogCommand}, "", ListAppliedPatches},
        {{"buildinfo"}, {LogCommand}, "", ShowBuildInformation},
        {{"lspci"}, {LogCommand}, "", ListPciFunctions},
        {{"setpci"}, {LogCommand}, "", AccessPciRegister},
        {{"list"}, {LogCommand}, "", ListAdapters},
        {{"listgmac"}, {LogCommand}, "", ListGmac},
        {{"save"}, {LogCommand}, "", SaveAdapterFirmware},
        {{"wroem"}, {WritableTarget, OneAdapter}, "", WriteOemObject},
        {{"rdoem"}, {OneAdapter}, "", ReadOemObject},
        {{"wrobd"}, {WritableTarget, OneAdapter}, "", WriteObdFields},
        {{"rdobd"}, {OneAdapter}, "", ReadObdObject},
        {{"erasevarnex"}, {WritableTarget, OneAdapter}, "", EraseVarnex},
        {{"clpbl"}, {WritableTarget, OneAdapter}, "", ClearRetiredPages},
        {{"clearvarnex", "clbbx", "clecc"}, {WritableTarget, OneAdapter}, "", ClearVarnexObject},
        {{"repairvarnex"}, {WritableTarget, OneAdapter}, "", RepairVarnex},
        {{"wrbbo"}, {WritableTarget, OneAdapter}, "", WriteBboObject},
        {{"rdbbo"}, {OneAdapter}, "", ReadBboObject},
        {{"recovervarnex"}, {WritableTarget, OneAdapter}, "", RecoverVarnex},
        {{"wrkrpn"}, {WritableTarget, OneAdapter}, "", WriteProductNumber},
        {{"addpp"}, {WritableTarget, OneAdapter}, "", AddPowerPolicy},
        {{"delpp"}, {WritableTarget, OneAdapter}, "", DeletePowerPolicy},
        {{"listpp"}, {OneAdapter}, "", ListPowerPolicies},
        {{"backupvarnex"}, {WritableTarget, OneAdapter}, "", BackupVarnexStore},
        {{"flashfs"}, {WritableTarget, OneAdapter}, "", FlashVarnexFileSystem},
        {{"savefs"}, {OneAdapter}, "", SaveVarnexFileSystem},
        {{"rdobj"}, {OneAdapter}, "", ReadVarnexObjectToFile},
        {{"createfs"}, {OneAdapter}, "", CreateVarnexFileSystem},
        {{"flashvarnex"}, {WritableTarget, OneAdapter}, "", FlashVarnexFile},
        {{"compare"}, {LogCommand, FileRequired}, "", CompareAdapterFirmware},
        {{"ifronly"}, {LogCommand}, "", FlashSegmentOnly},
        {{"verify"}, {LogCommand, FileRequired}, "", VerifyAdapterFirmware},
        {{"erasefull"}, {LogCommand, PowerCheck, RefuseOverride, OneAdapter}, "", EraseAdapterEEPROM},
        {{"delete"}, {LogCommand, PowerCheck, RefuseOverride, OneAdapter}, "", DeleteAdapterFirmware},
        {{"straps"}, {LogCommand, PowerCheck, RefuseOverride}, "", UpdateAdapterStraps},
        {{"guid"}, {LogCommand, PowerCheck, RefuseOverride}, "", UpdateAdapterGuid},
        {{"guidsource"}, {LogCommand, PowerCheck, RefuseOverride}, "", UpdateAdapterGuidSource},
        {{"tv"},
         {LogCommand, PowerCheck, RefuseOverride, FileRequired, OneAdapter},
         "",
         UpdateAdapterTVData},
        {{"pciblocks"}, {LogCommand}, "list PCI blocks", ListPciBlocks},
        {{"protecton", "protectoff"},
         {LogCommand, PowerCheck, RefuseOverride, OneAdapter},
         "",
         SetAdapterProtection},
        {{"check"}, {LogCommand, OneAdapter}, "", CheckAdapterEEPROM},
        {{"display"}, {LogCommand, OneAdapter}, "", DisplayAdapterEEPROM},
        {{"test"}, {LogCommand, PowerCheck, RefuseOverride}, "", TestAdapterEEPROMWriting},
        {{"stress"},
         {LogCommand, PowerCheck, RefuseOverride, OneAdapter},
         "EEPROM Stress-testing ",
         StressAdapterEEPROM},
        {{"readtest"}, {LogCommand, PowerCheck, RefuseOverride}, "", TestAdapterEEPROMReading},
        {{"speed"}, {LogCommand, OneAdapter}, "", ShowSpeedometer},
        {{"install"}, {LogCommand}, "", InstallDriver},
        {{"updateuefi"}, {LogCommand}, "", UpdateAdapterUEFI},
        {{"loadkestrix"}, {LogCommand, IndexOnly}, "", LoadKestrixEngines},
        {{"attachkestrix"}, {LogCommand, IndexOnly}, "", AttachKestrixEngine},
        {{"ecid"},
         {LogCommand, IndexOnly},
         "Display the SHA2 hash of the RAW ECID of the GPU.",
         ShowChipEcid},
        // The tuning values are read before the override is refused.
        {{"presregtune", "presdatatune"},
         {LogCommand, PowerCheck},
         "presregtune",
         TuneAdapterPreservedData},
    };
    return chain;
}

const ChainRow* FindChainRow(const std::vector<ChainRow>& chain, ICommandLine& commandLine)
{
    for (const ChainRow& row : chain)
    {
        for (const std::string& word : row.words)
        {
            if (commandLine.IsSet(word))
            {
                return &row;
            }
        }
    }
    return nullptr;
}

void RunChainRow(const ChainRow& row, EngineeringCommand& command)
{
    for (const ChainGuard guard : row.guards)
    {
        ApplyGuard(guard, row, command);
    }
    row.handler(command);
}
