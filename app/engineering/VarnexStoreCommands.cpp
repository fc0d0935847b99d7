// The Varnex commands that change the adapter's store and write it back:
// clearing one object, the retired pages, erasing both stores, and a new
// store from a file in either form.

#include "app/engineering/VarnexSession.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "image/VarnexImageChecks.h"
#include "varnex/VarnexAdapterCheck.h"
#include "varnex/VarnexMerge.h"

#include <algorithm>
#include <filesystem>
#include <iostream>

namespace
{
bool IsClearableTag(const VarnexTag& tag)
{
    return tag == VarnexTag("BBX") || tag == VarnexTag("PBL") || tag == VarnexTag("ECC");
}

// The object the command clears: clbbx before clecc before the value.
std::string ClearedObjectName(EngineeringCommand& command)
{
    ICommandLine& line = *command.values.commandLine;
    if (line.IsSet("clbbx"))
    {
        return "BBX";
    }
    if (line.IsSet("clecc"))
    {
        return "ECC";
    }
    return OptionValue(command, "clearvarnex");
}

// The new store's identity against the adapter's (or, when a firmware file
// stands for the adapter, against that file's firmware).
bool MatchesTarget(EngineeringCommand& command, VarnexSession& session, const CVarnexImage& store)
{
    ICommandLine& line = *command.values.commandLine;
    if (line.IsSet("romin") && line.IsSet("romout"))
    {
        return CheckImgAgainstRomImage(&store, session.image.get(), command.values.log);
    }
    return CheckImgAgainstAdapter(&store, *command.adapter, command.values.log);
}

int ReportMismatch(EngineeringCommand& command, VarnexSession& session)
{
    *command.values.log << LogLevel(3) << "Error: Varnex image version mismatched." << LogEndl;
    session.message << "Varnex image update failed.";
    return kVarnexMismatch;
}

void Finish(EngineeringCommand& command, VarnexSession& session, int status)
{
    CloseVarnexSession(command, session);
    command.values.result = status;
}
} // namespace

static void ClearVarnexObject(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Clear the specific object ",
                           "Reading VBIOS image for clearing the specific object."))
    {
        return;
    }
    CLog* log = command.values.log;
    LogCommandLine(log, "Command: clearvarnex");
    std::cout << std::endl;
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, true);
        return;
    }
    const std::string name = ClearedObjectName(command);
    if (name.empty())
    {
        command.values.result = kVarnexRefused;
        return;
    }
    std::cout << "\nClean out the " << name << " data in primary Varnex image?\n"
              << "Press 'y' to confirm (any other key to abort): " << std::flush;
    ConfirmOrAbort(log);
    const VarnexTag tag(name);
    CVarnexImageObject* object = session.store->FindObject(tag);
    int result = kVarnexRefused;
    if (!session.store->IsValid())
    {
        session.message << "\nRead failed: Varnex is invalid.";
    }
    else if (!object)
    {
        session.message << "\nObject not found in Varnex!";
    }
    else if (!IsClearableTag(tag))
    {
        session.message << "\nClear not allowed on " << name << " object";
    }
    else
    {
        LogCommandLine(log, "Clearing " + name + "obj data in primary Varnex image.");
        ClearStoreObject(*object);
        result =
            WriteBack(command, session, kStoreUpdatedTexts, FileSystemForm(*session.store, log));
    }
    Finish(command, session, result);
}

static void ClearRetiredPages(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenVarnexSession(command, session,
                           "Action: Clear all retired-pages (blacklisted-pages) of PBL object.",
                           "Reading VBIOS image for clearing the PBL object."))
    {
        return;
    }
    CLog* log = command.values.log;
    LogCommandLine(log, "Command: clpbl");
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, true);
        return;
    }
    if (!command.values.autoConfirm)
    {
        std::cout << "\n\nClear all retired-pages of PBL object in the primary Varnex image?\n"
                  << "Press 'y' to confirm (any other key to abort): " << std::flush;
        ConfirmOrAbort(log);
    }
    CVarnexImageObject* pbl = session.store->FindObject(VarnexTag("PBL"));
    int result = kVarnexRefused;
    if (!session.store->IsValid())
    {
        session.message << "\nRead failed: Varnex is invalid.";
    }
    else if (!pbl)
    {
        session.message << "\nPBL Object not found in Varnex!";
    }
    else
    {
        LogCommandLine(log, "Clearing retired-pages of PBL object in the primary Varnex image.");
        pbl->Clear();
        result =
            WriteBack(command, session,
                      {"Clear all retired-pages of PBL object and updated Varnex successfully.",
                       "Failed to write Varnex image.", kVarnexRefused},
                      FileSystemForm(*session.store, log));
    }
    Finish(command, session, result);
}

static void EraseVarnex(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Erase Varnex ",
                           "Reading VBIOS image for erasing Varnex."))
    {
        return;
    }
    CLog* log = command.values.log;
    LogCommandLine(log, "Command: erasevarnex");
    std::cout << std::endl;
    if (!command.values.autoConfirm)
    {
        AskToUpdate(command, "Erase Varnex image?", false);
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, true);
        return;
    }
    session.store->ReleaseObjects();
    std::vector<uint8_t> primary = FileSystemForm(*session.store, log);
    std::vector<uint8_t> backup = session.store->GetRawBytes(log);
    const bool written = command.values.flasher->BuildAndFlashSuperImage(
        command.adapter, session.eeprom, session.image, primary, backup, true, log, nullptr);
    int result = kVarnexDone;
    if (written)
    {
        session.message << "Varnex image erased successfully.";
    }
    else
    {
        *log << LogLevel(3) << "Error: Write failed." << LogEndl;
        session.message << "Varnex image erase failed.";
        result = kVarnexFileFailed;
    }
    Finish(command, session, result);
}

static void FlashVarnexFileSystem(EngineeringCommand& command)
{
    CLog* log = command.values.log;
    const std::string name = OptionValue(command, "flashfs");
    if (name.empty())
    {
        RefuseCommand(log, "No input file system image specified.");
    }
    if (!HasFileExtension(name, ".fs"))
    {
        RefuseCommand(log, "Input file system image must have a *.fs extension");
    }
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Flash Varnex FS ",
                           "Reading VBIOS image for flashing  Varnex FS"))
    {
        return;
    }
    UserFileContents file;
    const std::vector<uint8_t>& bytes = file.bytes;
    int result = kVarnexRefused;
    if (!session.files.ReadFileBytes(name, file, kMaxFileSystemFileBytes))
    {
        session.message << "Error reading input file system image file '" << name << "'.";
        result = kVarnexFileFailed;
    }
    else if (!file.Read() || !IsFileSystemStoreFile(bytes))
    {
        // Any other bytes would become the adapter's store as they are.
        session.message << "Incorrect file system image file '" << name << "'.";
    }
    else if (!MatchesTarget(command, session, CVarnexImage(bytes)))
    {
        result = ReportMismatch(command, session);
    }
    else
    {
        result = WriteBack(command, session,
                           {"Varnex file system image flashed successfully.",
                            "Failed to flash the file system image to the Varnex.", 2},
                           bytes);
    }
    Finish(command, session, result);
}

static void FlashVarnexFile(EngineeringCommand& command)
{
    CLog* log = command.values.log;
    const std::string name = OptionValue(command, "flashvarnex");
    if (name.empty())
    {
        RefuseCommand(log, "Not all Parameters for Flash command specified.");
    }
    if (!HasFileExtension(name, ".vnx"))
    {
        RefuseCommand(log, "Configuration Setting filename must have a *.vnx extension");
    }
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Flash Varnex image ",
                           "Reading VBIOS image for flashing Varnex image."))
    {
        return;
    }
    ICommandLine& line = *command.values.commandLine;
    const bool invalidOkay = line.IsSet("invalid");
    *log << LogLevel(3) << "Using Configuration file \"" << name << "\"" << LogEndl;
    LogCommandLine(log, "Command: flashvarnex");
    if (invalidOkay)
    {
        *log << LogLevel(3) << "Option: invalid okay\n" << LogEndl;
    }
    if (!command.values.autoConfirm)
    {
        std::cout << "\nUpdate Varnex image with settings from \"" << name << "\"?\n"
                  << "Press 'y' to confirm (any other key to abort): " << std::flush;
        ConfirmOrAbort(log);
    }
    UserFileContents file;
    const std::vector<uint8_t>& bytes = file.bytes;
    int result = kVarnexRefused;
    if (!session.files.ReadFileBytes(name, file, kMaxRawStoreFileBytes))
    {
        session.message << "Incorrect Configuration Setting file '" << name << "'.";
        result = kVarnexFileFailed;
    }
    else if (!file.Read() || !IsRawStoreFile(bytes))
    {
        if (invalidOkay && file.Read())
        {
            result = kVarnexDone;
        }
        else
        {
            session.message << IncorrectFormatText(name, file);
        }
    }
    else
    {
        *log << LogLevel(3) << "Valid ROM file '" << name << "'." << LogEndl;
        CVarnexImage store(bytes);
        CRefPtr<CVarnexImage> merged;
        if (!MatchesTarget(command, session, store))
        {
            result = ReportMismatch(command, session);
        }
        else if (!(merged = MergeVarnexImages(&store, session.store.get(), &line, log)))
        {
            *log << LogLevel(3) << "Error: Varnex image merging failed." << LogEndl;
            session.message << "Varnex image update failed.";
        }
        else
        {
            merged->UpdateDirectory();
            result = WriteBack(command, session, kStoreUpdatedTexts, FileSystemForm(*merged, log));
        }
    }
    Finish(command, session, result);
}

static void BackupVarnexStore(EngineeringCommand& command)
{
    command.values.result = command.app.BackupVarnex(command.adapter, command.values.adapters,
                                                     false, command.values.log);
}

CommandFamily VarnexStoreCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"erasevarnex", 0, "", "Erase both Varnex images of the adapter.", 160},
        {"clpbl", 0, "", "Clear the retired pages of the PBL object.", 170},
        {"clearvarnex", 1, "<BBX|PBL|ECC>", "Clear one object of the Varnex image.", 180},
        {"clbbx", 0, "", "Clear the BBX object of the Varnex image.", 190},
        {"clecc", 0, "", "Clear the ECC object of the Varnex image.", 200},
        {"backupvarnex", 0, "", "Copy the Varnex image into the firmware's backup block.", 290},
        {"flashfs", 1, "<file>.fs", "Write a file-system image as the Varnex image.", 300},
        {"flashvarnex", 1, "<file>.vnx", "Update the Varnex image from a file.", 340},
        {"invalid", 0, "",
         "With --flashvarnex: set aside, unwritten, a file that is not a Varnex image.", 970},
        {"romin", 1, "", "", 1070},
        {"romout", 1, "", "", 1080},
    };
    static const ChainRow kChain[] = {
        {{"erasevarnex"}, 16, {WritableTarget, OneAdapter}, "", EraseVarnex},
        {{"clpbl"}, 17, {WritableTarget, OneAdapter}, "", ClearRetiredPages},
        {{"clearvarnex", "clbbx", "clecc"},
         18,
         {WritableTarget, OneAdapter},
         "",
         ClearVarnexObject},
        {{"backupvarnex"}, 27, {WritableTarget, OneAdapter}, "", BackupVarnexStore},
        {{"flashfs"}, 28, {WritableTarget, OneAdapter}, "", FlashVarnexFileSystem},
        {{"flashvarnex"}, 32, {WritableTarget, OneAdapter}, "", FlashVarnexFile},
    };
    static const UsageRow kUsage[] = {
        {2, 10, "Update Varnex firmware:", " [options] --flashvarnex <filename>.vnx"},
        {2, 30, "Backup Varnex to embedded IB:", " [options] --backupvarnex"},
        {2, 50, "Erase entire Varnex:", " [options] --erasevarnex"},
        {2, 100, "Skip PCI access for merger IR.",
         " [options] --romin <filenameIn> --romout <filenameOut>"},
    };
    return {kWords, kChain, kUsage};
}
