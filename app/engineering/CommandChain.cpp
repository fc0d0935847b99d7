// The engineering command chain: the first row whose word is set runs, after
// its guards in the row's order; the words further down are not looked at.
// With no command word set, a file named on the command line is flashed.

#include "app/engineering/EngineeringCommands.h"

#include "core/CrossPlatform.h"

#include <stdexcept>

namespace
{
// With no --index, several adapters lead to the menu rather than to all of
// them.
void AskWhenNoIndex(EngineeringValues& values)
{
    if (values.index == -1)
    {
        values.index = -2;
    }
}
} // namespace

void SelectOneAdapter(EngineeringCommand& command, bool includeUncatalogued)
{
    EngineeringValues& values = command.values;
    AskWhenNoIndex(values);
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

void RefuseOnLowPower(const EngineeringValues& values)
{
    if (!GetCrossPlatform()->IsPowerSufficient() && !values.commandLine->IsSet("nopowerchk"))
    {
        throw std::runtime_error(ICrossPlatform::GetLowPowerMessage());
    }
}

// A store writer's target: the firmware read from a --romin file would
// otherwise be programmed into the adapter in place of the adapter's own.
// When only the --romout file is written, the adapter is not, and neither
// the power check nor the override refusal applies.
void RequireWritableTarget(const EngineeringValues& values)
{
    ICommandLine& line = *values.commandLine;
    const bool toFile = line.IsSet("romout");
    if (line.IsSet("romin") && !toFile)
    {
        throw std::runtime_error("Option --romin needs --romout.");
    }
    if (!toFile)
    {
        RefuseAdapterWrite(values);
    }
}

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
        *values.log << LogLevel(3) << "Command: "
                    << (row.logText.empty() ? WordGiven(row, *values.commandLine) : row.logText)
                    << LogEndl;
        break;
    case PowerCheck:
        RefuseOnLowPower(values);
        break;
    case RefuseOverride:
        RefuseWriteOverride(values);
        break;
    case WritableTarget:
        RequireWritableTarget(values);
        break;
    case OneAdapter:
        SelectOneAdapter(command, false);
        break;
    case FileRequired:
        if (values.fileName.empty())
        {
            throw std::runtime_error("No filename specified.");
        }
        break;
    case IndexOnly:
        AskWhenNoIndex(values);
        break;
    }
}
} // namespace

void RefuseAdapterWrite(const EngineeringValues& values)
{
    RefuseOnLowPower(values);
    RefuseWriteOverride(values);
}

const ChainRow* FindChainRow(std::span<const ChainRow> chain, ICommandLine& commandLine)
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

bool RunNamedCommand(EngineeringCommand& command)
{
    if (const ChainRow* row = FindChainRow(EngineeringChain(), *command.values.commandLine))
    {
        RunChainRow(*row, command);
        return true;
    }
    if (command.values.fileName.empty())
    {
        return false;
    }
    RunChainRow(DefaultFlashRow(), command);
    return true;
}
