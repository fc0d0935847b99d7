// The Varnex commands that move a store between an adapter and files: the
// store in raw form (save to a .vnx name), the file-system dump of the firmware's Varnex block
// (savefs), one object of the store (rdobj) and the conversion of a raw-form file into the
// file-system form (createfs).

#include "app/engineering/VarnexSession.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace
{
constexpr uint16_t kVarnexBlockType = 0x4952; // "IR"

std::string UpperCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

} // namespace

void SaveVarnexToFile(EngineeringCommand& command, const std::string& name)
{
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Update Varnex OBD information ",
                           "Reading VBIOS image for displaying OBD information."))
    {
        return;
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, false);
        return;
    }
    LogCommandLine(command.values.log, "Command: save VNX");
    int result = kVarnexDone;
    const std::vector<uint8_t> raw = session.store->SerializeRaw();
    if (raw.empty())
    {
        // An invalid store, or one whose directory leaves gaps between its
        // objects, has no raw form: an empty file would pass for a store.
        session.message << "Configuration Data cannot be saved successfully!";
        result = kVarnexRefused;
    }
    else if (session.files.WriteFileBytes(name, raw))
    {
        session.message << "Configuration Data saved successfully!";
    }
    else
    {
        session.message << "Configuration Data cannot be saved successfully!";
        result = kVarnexFileFailed;
    }
    CloseVarnexSession(command, session);
    command.values.result = result;
}

static void SaveVarnexFileSystem(EngineeringCommand& command)
{
    CLog* log = command.values.log;
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Dump Varnex FS information ",
                           "Reading VBIOS image for dumping FS information."))
    {
        return;
    }
    const std::string name = OptionValue(command, "savefs");
    if (name.empty())
    {
        RefuseCommand(log, "No output file specified.");
    }
    LogCommandLine(log, "Command: savefs");
    int result = kVarnexDone;
    const int offset = session.image->FindNBSIObject(kVarnexBlockType);
    if (offset == -1)
    {
        session.message << "No Varnex image found.";
        result = kVarnexRefused;
    }
    else
    {
        std::vector<uint8_t> block(session.image->GetNBSIObjectLength(kVarnexBlockType));
        session.image->ReadBlock(block.data(), offset, static_cast<uint32_t>(block.size()));
        if (session.files.WriteFileBytes(name, block))
        {
            session.message << "File system image dumped successfully!";
        }
        else
        {
            session.message << "File system image could not saved to the file!";
            result = kVarnexFileFailed;
        }
    }
    CloseVarnexSession(command, session);
    command.values.result = result;
}

static void ReadVarnexObjectToFile(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Display Varnex OBJ information ",
                           "Reading VBIOS image for displaying OBJ information."))
    {
        return;
    }
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, false);
        return;
    }
    std::string name = OptionValue(command, "rdobj");
    if (name.empty())
    {
        std::cout << "Object name is missing." << std::endl;
        command.values.result = kVarnexRefused;
        return;
    }
    const std::string file = OptionValue(command, "rdobj", 1);
    if (file.empty())
    {
        std::cout << "Object file is missing." << std::endl;
        command.values.result = kVarnexRefused;
        return;
    }
    name = UpperCase(name);
    LogCommandLine(command.values.log, "Command: obj read " + name);
    int result = kVarnexDone;
    CVarnexImageObject* object = session.store->FindObject(VarnexTag(name));
    if (!session.store->IsValid())
    {
        session.message << "\nRead failed: Varnex is invalid.";
        result = kVarnexRefused;
    }
    else if (!object)
    {
        session.message << "Read failed: Varnex does not have " << name << " Object.";
        result = kVarnexRefused;
    }
    else
    {
        std::vector<uint8_t> packed;
        object->Serialize(packed, 0);
        if (session.files.WriteFileBytes(file, packed))
        {
            session.message << name << " data saved successfully.";
        }
        else
        {
            session.message << name << " data cannot be saved successfully.";
            result = kVarnexFileFailed;
        }
    }
    CloseVarnexSession(command, session);
    command.values.result = result;
}

static void CreateVarnexFileSystem(EngineeringCommand& command)
{
    CLog* log = command.values.log;
    const std::string name = OptionValue(command, "createfs");
    if (name.empty())
    {
        RefuseCommand(log, "Not all Parameters for save command specified.");
    }
    std::string output;
    if (!MakeFileSystemFileName(name, output))
    {
        RefuseCommand(log, "Configuration Setting filename must have a *.vnx extension");
    }
    LogCommandLine(log, "Command: createfs");
    CFileAccess files;
    std::ostringstream message;
    UserFileContents file;
    const std::vector<uint8_t>& bytes = file.bytes;
    int result = kVarnexDone;
    if (!files.ReadFileBytes(name, file, kMaxRawStoreFileBytes))
    {
        message << "Error reading input Configuration Setting file '" << name << "'.";
        result = kVarnexFileFailed;
    }
    else if (!file.Read() || !IsRawStoreFile(bytes))
    {
        message << IncorrectFormatText(name, file);
        result = kVarnexRefused;
    }
    else
    {
        const CVarnexImage store(bytes);
        const std::vector<uint8_t> fileSystem =
            store.Serialize(CVarnexImage::kSerializeFileSystem, log);
        if (!IsFileSystemStoreFile(fileSystem))
        {
            // A store without objects, or an invalid one, makes an image
            // that flashfs refuses: no file is written.
            message << IncorrectFormatText(name, file);
            result = kVarnexRefused;
        }
        else if (files.WriteFileBytes(output, fileSystem))
        {
            message << "FS Image saved successfully in " << output;
        }
        else
        {
            message << "Error saving FS image!";
            result = kVarnexFileFailed;
        }
    }
    FlushMessageBuffer(message, log, 3);
    command.values.result = result;
}

CommandFamily VarnexCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"savefs", 1, "<file>.fs", "Save the firmware's Varnex block as a file-system image.", 310},
        {"rdobj", 2, "<name>,<file>", "Save one object of the Varnex image to a file.", 320},
        {"createfs", 1, "<file>.vnx", "Convert a Varnex image file into <file>.fs.", 330},
    };
    static const ChainRow kChain[] = {
        {{"savefs"}, 29, {OneAdapter}, "", SaveVarnexFileSystem},
        {{"rdobj"}, 30, {OneAdapter}, "", ReadVarnexObjectToFile},
        {{"createfs"}, 31, {OneAdapter}, "", CreateVarnexFileSystem},
    };
    return {kWords, kChain, {}};
}
