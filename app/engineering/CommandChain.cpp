// The engineering command chain: the first row whose word is set runs, after
// its guards in the row's order; the words further down are not looked at.

#include "app/engineering/EngineeringRun.h"

#include "core/CrossPlatform.h"

#include <stdexcept>

namespace
{
using enum ChainGuard;

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

void ApplyGuard(ChainGuard guard, const ChainRow& row, EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    switch (guard)
    {
    case LogCommand:
        *values.log << LogLevel(3)
                    << "Command: " << (row.logText.empty() ? row.words.front() : row.logText)
                    << LogEndl;
        break;
    case PowerCheck:
        if (!GetCrossPlatform()->IsPowerSufficient() && !values.commandLine->IsSet("nopowerchk"))
        {
            throw std::runtime_error(ICrossPlatform::GetLowPowerMessage());
        }
        break;
    case RefuseOverride:
        if (values.overrideEEPROM)
        {
            throw std::runtime_error("EEPROM override not allowed for write operations");
        }
        if (values.overrideAdapter)
        {
            throw std::runtime_error("Display adapter override not allowed for write operations");
        }
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
        {{"listpatches"}, {LogCommand}, "", ListAppliedPatches},
        {{"buildinfo"}, {LogCommand}, "", ShowBuildInformation},
        {{"lspci"}, {LogCommand}, "", ListPciFunctions},
        {{"setpci"}, {LogCommand}, "", AccessPciRegister},
        {{"list"}, {LogCommand}, "", ListAdapters},
        {{"wroem"}, {OneAdapter}, "", WriteOemObject},
        {{"rdoem"}, {OneAdapter}, "", ReadOemObject},
        {{"wrobd"}, {OneAdapter}, "", WriteObdFields},
        {{"rdobd"}, {OneAdapter}, "", ReadObdObject},
        {{"erasevarnex"}, {OneAdapter}, "", EraseVarnex},
        {{"clpbl"}, {OneAdapter}, "", ClearRetiredPages},
        {{"clearvarnex", "clbbx", "clecc"}, {OneAdapter}, "", ClearVarnexObject},
        {{"repairvarnex"}, {OneAdapter}, "", RepairVarnex},
        {{"wrbbo"}, {OneAdapter}, "", WriteBboObject},
        {{"rdbbo"}, {OneAdapter}, "", ReadBboObject},
        {{"recovervarnex"}, {OneAdapter}, "", RecoverVarnex},
        {{"wrkrpn"}, {OneAdapter}, "", WriteProductNumber},
        {{"addpp"}, {OneAdapter}, "", AddPowerPolicy},
        {{"delpp"}, {OneAdapter}, "", DeletePowerPolicy},
        {{"listpp"}, {OneAdapter}, "", ListPowerPolicies},
        {{"backupvarnex"}, {OneAdapter}, "", BackupVarnexStore},
        {{"flashfs"}, {OneAdapter}, "", FlashVarnexFileSystem},
        {{"savefs"}, {OneAdapter}, "", SaveVarnexFileSystem},
        {{"rdobj"}, {OneAdapter}, "", ReadVarnexObjectToFile},
        {{"createfs"}, {OneAdapter}, "", CreateVarnexFileSystem},
        {{"flashvarnex"}, {OneAdapter}, "", FlashVarnexFile},
        {{"pciblocks"}, {LogCommand}, "list PCI blocks", ListPciBlocks},
        {{"check"}, {LogCommand, OneAdapter}, "", CheckAdapterEEPROM},
        {{"display"}, {LogCommand, OneAdapter}, "", DisplayAdapterEEPROM},
        {{"speed"}, {LogCommand, OneAdapter}, "", ShowSpeedometer},
        {{"install"}, {LogCommand}, "", InstallDriver},
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
