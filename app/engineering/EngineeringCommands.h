#pragma once
// The engineering commands as rows. Each family file holds, beside its
// handlers, the rows that make its commands known: a word row per option
// word, a chain row per command of the chain, and the usage-screen lines of
// its commands. The option table, the help screen, the usage pages and the
// chain are derived from the explicit list of families in
// CommandFamilies.cpp; adding a command is rows and one function in one file.

#include "app/EngineeringRun.h"

#include <span>
#include <string>
#include <vector>

// One option word: the values one occurrence takes, the help screen's value
// column and text, and the word's place on the help screen. A word without
// help text is read by name (by a lower layer or a command) and not listed.
struct WordRow
{
    const char* word;
    int arity;
    const char* valueHelp;
    const char* help;
    int position;
};

enum class ChainGuard
{
    LogCommand,     // "Command: " and the row's text, log file only
    PowerCheck,     // refuse on low power unless --nopowerchk
    RefuseOverride, // refuse --override for a writing command
    WritableTarget, // a store writer: --romin only with --romout, and unless
                    // only that file is written, power and no --override
    OneAdapter,     // select one adapter, catalogued only
    FileRequired,   // a firmware file name must be given
    IndexOnly,      // the handler selects its own adapter (index -1 asks)
};

using CommandHandler = void (*)(EngineeringCommand& command);

// One command of the chain: the first row (lowest rank) one of whose words is
// set runs, after its guards in the row's order. The row without words is the
// flash of the file named when no command word is set; it comes last.
struct ChainRow
{
    std::vector<std::string> words; // any of them selects the row
    int rank;                       // the row's place in the chain
    std::vector<ChainGuard> guards;
    std::string logText; // empty: the word given
    CommandHandler handler;
};

struct CommandFamily
{
    std::span<const WordRow> words;
    std::span<const ChainRow> chain;
    std::span<const UsageRow> usage;
};

// ---- the families, one a file ------------------------------------------------
CommandFamily RunWordFamily();             // EngineeringWords.cpp
CommandFamily InformationCommandFamily();  // InformationCommands.cpp
CommandFamily GmacCommandFamily();         // GmacCommands.cpp
CommandFamily SaveCommandFamily();         // SaveCommands.cpp
CommandFamily BoardDataCommandFamily();    // BoardDataCommands.cpp
CommandFamily VarnexStoreCommandFamily();  // VarnexStoreCommands.cpp
CommandFamily VarnexRepairCommandFamily(); // VarnexRepairCommands.cpp
CommandFamily PowerPolicyCommandFamily();  // PowerPolicyCommands.cpp
CommandFamily VarnexCommandFamily();       // VarnexCommands.cpp
CommandFamily FlashCommandFamily();        // FlashCommands.cpp
CommandFamily EEPROMCommandFamily();       // EEPROMCommands.cpp
CommandFamily UefiCommandFamily();         // UefiCommands.cpp
CommandFamily MicrocodeCommandFamily();    // MicrocodeCommands.cpp

// ---- derived from the families -----------------------------------------------
std::span<const CommandFamily> EngineeringFamilies();
// Every word row, in the help screen's order, as the command line takes them.
std::span<const OptionDescriptor> EngineeringOptions();
// The chain rows with words, by rank.
std::span<const ChainRow> EngineeringChain();
// The row without words: the flash of the file named.
const ChainRow& DefaultFlashRow();
// The usage screen's lines, page by page in their places.
std::span<const UsageRow> EngineeringUsage();
// All of it, for InstallEngineeringCommands.
const EngineeringCommandSet& EngineeringCommands();

// ---- the chain (CommandChain.cpp) ----------------------------------------------
// The first row one of whose words is set; null when none is.
const ChainRow* FindChainRow(std::span<const ChainRow> chain, ICommandLine& commandLine);
// Applies the row's guards in order, then runs its handler.
void RunChainRow(const ChainRow& row, EngineeringCommand& command);
// The command the command line names, or the flash of the file; false when
// it names neither.
bool RunNamedCommand(EngineeringCommand& command);
// Selects one adapter into the command (index -1 asks when there are several).
void SelectOneAdapter(EngineeringCommand& command, bool includeUncatalogued);
// Refuses --override for a command that writes to an adapter.
void RefuseWriteOverride(const EngineeringValues& values);
// Refuses a write to an adapter as the PowerCheck and RefuseOverride guards
// do in turn: on low power unless --nopowerchk is given, then --override.
void RefuseAdapterWrite(const EngineeringValues& values);

// ---- helpers one family lends another ------------------------------------------
// The store of the adapter's firmware, in raw form, into the new file.
void SaveVarnexToFile(EngineeringCommand& command, const std::string& name);
