// The product number and power-policy commands: the board's product number
// in the OBD object (wrkrpn), and the entries of the PPO object (addpp,
// delpp, listpp).

#include "app/engineering/VarnexSession.h"

#include "varnex/VarnexTypedObjects.h"

#include <iostream>
#include <string>

namespace
{
void AskToContinue(EngineeringCommand& command)
{
    if (!command.values.autoConfirm)
    {
        std::cout << kContinueQuestion << std::flush;
        ConfirmOrAbort(command.values.log);
    }
}

void ShowProductNumberWarning(const std::string& text)
{
    const std::string rule(78, '*');
    const std::string blank = "**" + std::string(74, ' ') + "**";
    std::cout << rule << '\n'
              << blank << '\n'
              << "**       WARNING : Setting Product KRPN to " << text << "               **\n"
              << blank << '\n'
              << rule << std::endl;
}

// The store's PPO object, or a message and null.
CVarnexImagePpoObject* FindPolicyTable(VarnexSession& session, const char* invalidText,
                                       const char* missingText)
{
    if (!session.store->IsValid())
    {
        session.message << invalidText;
        return nullptr;
    }
    auto* table = dynamic_cast<CVarnexImagePpoObject*>(session.store->FindObject(VarnexTag("PPO")));
    if (!table)
    {
        session.message << missingText;
    }
    return table;
}

// The message so far and a status, without the closing signal.
void EndWithout(EngineeringCommand& command, VarnexSession& session, int status)
{
    FlushMessageBuffer(session.message, command.values.log, 3);
    command.values.result = status;
}

void WriteTail(EngineeringCommand& command, VarnexSession& session, bool blankLine)
{
    if (blankLine)
    {
        session.message << '\n';
    }
    const int result = WriteBack(command, session, kStoreUpdatedTexts,
                                 FileSystemForm(*session.store, command.values.log));
    CloseVarnexSession(command, session);
    command.values.result = result;
}

// Opens the session; false when the command ends here (its status set).
bool OpenPolicySession(EngineeringCommand& command, VarnexSession& session, const char* action,
                       const char* reading, const char* commandLine)
{
    if (!OpenVarnexSession(command, session, action, reading))
    {
        return false;
    }
    if (commandLine)
    {
        LogCommandLine(command.values.log, commandLine);
    }
    return true;
}

bool AnyEmpty(EngineeringCommand& command, const char* word, int count)
{
    for (int i = 0; i < count; ++i)
    {
        if (OptionValue(command, word, i).empty())
        {
            return true;
        }
    }
    return false;
}
} // namespace

static void WriteProductNumber(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenPolicySession(command, session, "Action: Update Varnex KRPN information ",
                           "Reading VBIOS image for updating KRPN information.", nullptr))
    {
        return;
    }
    const std::string text = OptionValue(command, "wrkrpn");
    if (text.empty())
    {
        RefuseCommand(command.values.log, "Not all parameters for wrkrpn command specified.");
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, false);
        return;
    }
    ShowProductNumberWarning(text);
    AskToContinue(command);
    LogCommandLine(command.values.log, "Updating OBD data in primary Varnex image.");
    int status = kVarnexRefused;
    auto* obd = dynamic_cast<CVarnexImageObdObject*>(session.store->FindObject(VarnexTag("OBD")));
    if (!session.store->IsValid())
    {
        session.message << "\nUpdate failed: Varnex is invalid.\n";
    }
    else if (!obd)
    {
        session.message << "\nOEM Board object is not present.\n";
    }
    else if (obd->SetBoardProductNumber(
                 std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())))
    {
        status = kVarnexDone;
    }
    if (status != kVarnexDone)
    {
        session.message << "Failed to update primary Varnex image.";
        EndWithout(command, session, status);
        return;
    }
    WriteTail(command, session, false);
}

namespace
{
struct PolicyEdit
{
    const char* word;
    int valueCount;
    const char* actionText;
    const char* readingText;
    const char* commandText;
    const char* editLogText;
    const char* invalidText;
    const char* missingText;
    const char* failedText;
    // The table's edit with the option's values; false refused.
    bool (*apply)(CVarnexImagePpoObject& table, EngineeringCommand& command);
};

// The policy commands' one path: checks, question, the table's edit and the
// write-back.
void RunPolicyEdit(EngineeringCommand& command, const PolicyEdit& edit)
{
    VarnexSession session;
    if (!OpenPolicySession(command, session, edit.actionText, edit.readingText, edit.commandText))
    {
        return;
    }
    if (AnyEmpty(command, edit.word, edit.valueCount))
    {
        RefuseCommand(command.values.log,
                      std::string("Not all parameters for ") + edit.word + " command specified.");
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, false);
        return;
    }
    AskToContinue(command);
    *command.values.log << LogLevel(3) << edit.editLogText << OptionValue(command, edit.word)
                        << LogEndl;
    CVarnexImagePpoObject* table = FindPolicyTable(session, edit.invalidText, edit.missingText);
    if (!table || !edit.apply(*table, command))
    {
        if (table)
        {
            session.message << edit.failedText;
        }
        EndWithout(command, session, kVarnexRefused);
        return;
    }
    WriteTail(command, session, true);
}
} // namespace

namespace
{
bool AddFromOptions(CVarnexImagePpoObject& table, EngineeringCommand& command)
{
    return table.AddPolicy(OptionValue(command, "addpp"), OptionValue(command, "addpp", 1),
                           OptionValue(command, "addpp", 2), command.values.log);
}

bool DeleteFromOptions(CVarnexImagePpoObject& table, EngineeringCommand& command)
{
    return table.DeletePolicy(OptionValue(command, "delpp"), OptionValue(command, "delpp", 1),
                              command.values.log);
}

const PolicyEdit kAddPolicy{"addpp",
                            3,
                            "Action: Add Power Policy ",
                            "Reading VBIOS image for adding Power Policy.",
                            "Command: addpp",
                            "\nAdding new power policy: ",
                            "\nUpdate failed: Varnex is invalid.\n",
                            "PPO object is not present.\n",
                            "Failed to add power policy.\n",
                            AddFromOptions};
const PolicyEdit kDeletePolicy{"delpp",
                               2,
                               "Action: Delete Power Policy ",
                               "Reading VBIOS image for deleting Power Policy.",
                               "Command: delpp",
                               "Deleting power policy: ",
                               "\nUpdate failed: Varnex is invalid.",
                               "\nPPO object is not present.",
                               "\nFailed to delete power policy.",
                               DeleteFromOptions};
} // namespace

static void AddPowerPolicy(EngineeringCommand& command)
{
    RunPolicyEdit(command, kAddPolicy);
}

static void DeletePowerPolicy(EngineeringCommand& command)
{
    RunPolicyEdit(command, kDeletePolicy);
}

static void ListPowerPolicies(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenPolicySession(command, session, "Action: List power policies ",
                           "Reading VBIOS image for listing power policies.", "Command: listpp"))
    {
        return;
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexDone, false);
        return;
    }
    int status = kVarnexRefused;
    if (const CVarnexImagePpoObject* table =
            FindPolicyTable(session, "\nRead failed: Varnex is invalid.",
                            "Read failed: Varnex does not have PPO Object."))
    {
        table->PrintPolicies(command.values.log);
        status = kVarnexDone;
    }
    CloseVarnexSession(command, session);
    command.values.result = status;
}

CommandFamily PowerPolicyCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"wrkrpn", 1, "<number>", "Write the board's product number into the Varnex image.", 250},
        {"addpp", 3, "<policy>,<attribute>,<value>", "Add or update a power policy.", 260},
        {"delpp", 2, "<policy>,<attribute>", "Delete a power policy.", 270},
        {"listpp", 0, "", "List the power policies of the Varnex image.", 280},
    };
    static const ChainRow kChain[] = {
        {{"wrkrpn"}, 23, {WritableTarget, OneAdapter}, "", WriteProductNumber},
        {{"addpp"}, 24, {WritableTarget, OneAdapter}, "", AddPowerPolicy},
        {{"delpp"}, 25, {WritableTarget, OneAdapter}, "", DeletePowerPolicy},
        {{"listpp"}, 26, {OneAdapter}, "", ListPowerPolicies},
    };
    return {kWords, kChain, {}};
}
