// The board-data commands: the BBO, OEM and OBD objects of the adapter's
// primary store read into files.

#include "app/engineering/VarnexSession.h"

#include "core/CsvSettings.h"
#include "core/Exceptions.h"
#include "varnex/VarnexTypedObjects.h"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace
{
// The object of the tag, or a message and null when the store is invalid or
// lacks it.
CVarnexImageObject* FindStoreObject(VarnexSession& session, const std::string& tag,
                                    const std::string& invalidText, const std::string& missingText)
{
    if (!session.store->IsValid())
    {
        session.message << '\n' << invalidText;
        return nullptr;
    }
    CVarnexImageObject* object = session.store->FindObject(VarnexTag(tag));
    if (!object)
    {
        session.message << missingText;
    }
    return object;
}
} // namespace

static void ReadBboObject(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Read Varnex BBO information ",
                           "Reading VBIOS image for reading BBO information."))
    {
        return;
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexRefused, true);
        return;
    }
    std::string file = OptionValue(command, "rdbbo");
    if (file.empty())
    {
        file = "bbo.txt";
        std::cout << "Output file not specified, creating \"bbo.txt\" in current directory."
                  << std::endl;
    }
    LogCommandLine(command.values.log, "Command: read bbo");
    int result = kVarnexRefused;
    const auto* bbo = dynamic_cast<CVarnexImageBboObject*>(
        FindStoreObject(session, "BBO", "Update failed: Varnex is invalid.",
                        "Update failed: Varnex does not have BBO Object."));
    if (bbo)
    {
        LogCommandLine(command.values.log, "Reading BBO data from primary Varnex image.");
        uint32_t id = 0;
        uint32_t revision = 0;
        uint32_t value = 0;
        bbo->GetValue(id, revision, value);
        if (session.files.WriteBboFile(file, id, revision, value))
        {
            session.message << "BBO data saved successfully!";
            result = kVarnexDone;
        }
        else
        {
            session.message << "Unable to save BBO Data to file!";
            result = kVarnexFileFailed;
        }
    }
    CloseVarnexSession(command, session);
    command.values.result = result;
}

static void ReadOemObject(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Read Varnex OEM information ",
                           "Reading VBIOS image for displaying OEM information."))
    {
        return;
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, false);
        return;
    }
    const std::string file = OptionValue(command, "rdoem");
    if (file.empty())
    {
        RefuseCommand(command.values.log, "Not all parameters for rdoem command specified.");
    }
    LogCommandLine(command.values.log, "Command: read oem");
    int result = kVarnexRefused;
    const CVarnexImageObject* oem = FindStoreObject(
        session, "OEM", "Read failed: Varnex is invalid.", "Varnex does not have OEM Object.");
    if (oem)
    {
        if (session.files.WriteFileBytes(file, oem->GetData()))
        {
            session.message << "OEM Configuration Data saved successfully!";
            result = kVarnexDone;
        }
        else
        {
            session.message << "OEM Configuration Data cannot be saved successfully!";
            result = kVarnexFileFailed;
        }
    }
    CloseVarnexSession(command, session);
    command.values.result = result;
}

static void ReadObdObject(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Read Varnex OBD information ",
                           "Reading VBIOS image for reading OBD information."))
    {
        return;
    }
    const std::string path = OptionValue(command, "rdobd");
    std::string form = OptionValue(command, "rdobd", 1);
    std::transform(form.begin(), form.end(), form.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    LogCommandLine(command.values.log, "Command: obd read");
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, false);
        return;
    }
    int result = kVarnexRefused;
    const CVarnexImageObject* obd =
        FindStoreObject(session, "OBD", "Read failed: Varnex is invalid.",
                        "Read failed: Varnex does not have OBD Object.");
    if (obd)
    {
        std::vector<uint8_t> packed;
        obd->Serialize(packed, 0);
        if (session.files.WriteObdFile(path, packed, form == "csv"))
        {
            if (!path.empty())
            {
                session.message << "OBD Configuration Data saved successfully";
            }
            result = kVarnexDone;
        }
        else
        {
            session.message << "OBD Configuration Data cannot be saved successfully.";
            result = kVarnexFileFailed;
        }
        std::ostringstream fields;
        command.values.flasher->PrintOutOBDFields(session.image, false, fields);
        *command.values.log << LogLevel(3) << fields.str() << LogEndl;
    }
    CloseVarnexSession(command, session);
    command.values.result = result;
}

namespace
{
struct BboSetting
{
    uint32_t id = 0;
    uint32_t revision = 0;
    uint32_t value = 0;
};

uint32_t BboNumber(const std::string& text, uint32_t limit)
{
    const std::optional<uint32_t> number = ReadNumberOfAnyBase(text, limit);
    if (!number)
    {
        throw user_error("Invalid value \"" + text + "\" for --wrbbo.");
    }
    return *number;
}

// One "id=<X.Y>" or "value=<Z>" piece into the setting.
void ReadBboPiece(const std::string& piece, BboSetting& setting)
{
    const size_t equals = piece.find('=');
    if (equals == std::string::npos)
    {
        throw user_error("Unrecognized argument");
    }
    const std::string name = piece.substr(0, equals);
    const std::string text = piece.substr(equals + 1);
    if (name == "id")
    {
        const size_t dot = text.find('.');
        if (dot == std::string::npos)
        {
            throw user_error("Unrecognized format for \"id\" argument.");
        }
        setting.id = BboNumber(text.substr(0, dot), 0xFF);
        setting.revision = BboNumber(text.substr(dot + 1), 0xFF);
    }
    else if (name == "value")
    {
        setting.value = BboNumber(text, 0xFFFF);
    }
    else
    {
        throw user_error("Unrecognized argument");
    }
}

// Both pieces read whole before anything is opened.
BboSetting ReadBboSetting(EngineeringCommand& command)
{
    const std::string first = OptionValue(command, "wrbbo");
    const std::string second = OptionValue(command, "wrbbo", 1);
    if (first.size() < 2 || second.empty())
    {
        RefuseCommand(command.values.log,
                      "Missing arguments for wrbbo command.\nExample Usage: romvise_eng --wrbbo "
                      "id=<X.Y> value=<Z>");
    }
    BboSetting setting;
    ReadBboPiece(first, setting);
    ReadBboPiece(second, setting);
    return setting;
}

// The engine's status for a refused update, after the message.
int ReportFailedUpdate(EngineeringCommand& command, VarnexSession& session, int status)
{
    session.message << "Failed to update primary Varnex image.";
    FlushMessageBuffer(session.message, command.values.log, 3);
    return status;
}
} // namespace

static void WriteBboObject(EngineeringCommand& command)
{
    const BboSetting setting = ReadBboSetting(command);
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Update Varnex BBO data",
                           "Reading VBIOS image for writing BBO object"))
    {
        return;
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexRefused, true);
        return;
    }
    CLog* log = command.values.log;
    LogCommandLine(log, "Command: wrbbo");
    AskToUpdate(command, "Update BBO data?", command.values.commandLine->IsSet("force"));
    std::cout << std::endl;
    LogCommandLine(log, "Updating BBO data in primary Varnex image.");
    const int updated = command.values.flasher->UpdateBBOObject(
        session.store, static_cast<uint8_t>(setting.id), static_cast<uint8_t>(setting.revision),
        static_cast<uint16_t>(setting.value), log);
    if (updated != 0)
    {
        command.values.result = ReportFailedUpdate(command, session, updated);
        return;
    }
    const int result =
        WriteBack(command, session, kStoreUpdatedTexts, FileSystemForm(*session.store, log));
    CloseVarnexSession(command, session);
    command.values.result = result;
}

static void WriteOemObject(EngineeringCommand& command)
{
    const std::string file = OptionValue(command, "wroem");
    if (file.empty())
    {
        EndWithFileNameUsage(command, " --wroem <FILE_NAME>");
        return;
    }
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Update Varnex OEM information ",
                           "Reading VBIOS image for updating OEM information."))
    {
        return;
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexRefused, true);
        return;
    }
    CLog* log = command.values.log;
    LogCommandLine(log, "Command: wroem");
    AskToUpdate(command, "Update OEM data?", command.values.autoConfirm);
    *log << LogLevel(3) << "\nReading Configuration settings from file '" << file << "'."
         << LogEndl;
    const CVarnexImageObject* oem = session.store->FindObject(VarnexTag("OEM"));
    const size_t bodyLength = oem ? oem->GetData().size() : 0;
    UserFileContents contents;
    std::vector<uint8_t>& data = contents.bytes;
    int result = kVarnexRefused;
    // A file larger than the object's body is refused before its body is read.
    if (!session.files.ReadFileBytes(file, contents, bodyLength) || !contents.Read())
    {
        session.message << "Incorrect Configuration Setting file '" << file << "'.";
    }
    else
    {
        LogCommandLine(log, "Valid input OEM file '" + file + "'.");
        LogCommandLine(log, "Updating OEM data in primary Varnex image.");
        const int updated = command.values.flasher->UpdateOEMObject(session.store, data, log);
        if (updated != 0)
        {
            command.values.result = ReportFailedUpdate(command, session, updated);
            return;
        }
        std::vector<uint8_t> backupBytes;
        bool hasBackup = false;
        CRefPtr<CVarnexImage> backup =
            command.values.flasher->ReadVarnexObject(session.image, true);
        if (backup)
        {
            LogCommandLine(log, "Updating OEM data in backup Varnex image.");
            if (command.values.flasher->BackupOEMObject(backup, session.store, data, log) == 0)
            {
                backupBytes = backup->GetRawBytes(log);
                hasBackup = true;
            }
            else
            {
                *log << LogLevel(3) << "WARNING: Failed to backup changes to OEM data." << LogEndl;
            }
        }
        result = WriteBack(command, session, kStoreUpdatedTexts,
                           FileSystemForm(*session.store, log), backupBytes, hasBackup);
    }
    CloseVarnexSession(command, session);
    command.values.result = result;
}

static void WriteObdFields(EngineeringCommand& command)
{
    const std::string file = OptionValue(command, "wrobd");
    if (file.empty())
    {
        EndWithFileNameUsage(command, " --wrobd <FILE_NAME>.csv");
        return;
    }
    command.app.CheckFileExtension({CRomviseBaseApp::MakeFileType(5, ".csv")}, file);
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Update Varnex OBD information ",
                           "Reading VBIOS image for Updating OBD information."))
    {
        return;
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexRefused, true);
        return;
    }
    CLog* log = command.values.log;
    LogCommandLine(log, "Command: wrobd");
    AskToUpdate(command, "Update OBD data?", command.values.autoConfirm);
    *log << LogLevel(3) << "\nReading OEM Board Data settings from file '" << file << "'."
         << LogEndl;
    CsvSettings settings;
    int result = kVarnexRefused;
    if (!settings.PrintCsvTable(file.c_str(), log))
    {
        session.message << "Failed to parse Configuration Setting file '" << file << "'.";
    }
    else
    {
        LogCommandLine(log, "Valid OBD file '" + file + "'.");
        LogCommandLine(log, "Updating OBD data in primary Varnex image.");
        const int updated = command.values.flasher->UpdateOBDFields(session.store, settings, log);
        if (updated != 0)
        {
            command.values.result = ReportFailedUpdate(command, session, updated);
            return;
        }
        result =
            WriteBack(command, session, kStoreUpdatedTexts, FileSystemForm(*session.store, log));
    }
    CloseVarnexSession(command, session);
    command.values.result = result;
}

CommandFamily BoardDataCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"wroem", 1, "<file>", "Write the OEM data of the adapter's Varnex image from a file.",
         120},
        {"rdoem", 1, "<file>", "Save the OEM data of the adapter's Varnex image to a file.", 130},
        {"wrobd", 1, "<file>.csv", "Write board data fields of the Varnex image from a file.", 140},
        {"rdobd", 2, "[<file>[,csv]]", "Save (or show) the board data of the Varnex image.", 150},
        {"wrbbo", 2, "id=<X.Y> value=<Z>", "Write the BBO data of the Varnex image.", 220},
        {"rdbbo", 1, "[<file>]", "Save the BBO data of the Varnex image (bbo.txt by default).",
         230},
        {"force", 0, "", "With --wrbbo: skip the question.", 960},
    };
    static const ChainRow kChain[] = {
        {{"wroem"}, 12, {WritableTarget, OneAdapter}, "", WriteOemObject},
        {{"rdoem"}, 13, {OneAdapter}, "", ReadOemObject},
        {{"wrobd"}, 14, {WritableTarget, OneAdapter}, "", WriteObdFields},
        {{"rdobd"}, 15, {OneAdapter}, "", ReadObdObject},
        {{"wrbbo"}, 20, {WritableTarget, OneAdapter}, "", WriteBboObject},
        {{"rdbbo"}, 21, {OneAdapter}, "", ReadBboObject},
    };
    static const UsageRow kUsage[] = {
        {1, 150, "Display OBD information:", " [options] --rdobd"},
        {2, 60, "Read Varnex OBD info to file:", " [options] --rdobd <filename>"},
        {2, 70, "Update Varnex OBD info:", " [options] --wrobd <filename>.csv"},
        {2, 80, "Read Varnex OEM info to file:", " [options] --rdoem <filename>"},
        {2, 90, "Update Varnex OEM info:", " [options] --wroem <filename>"},
    };
    return {kWords, kChain, kUsage};
}
