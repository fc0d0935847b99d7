// Firmware files named on the command line: the extension checked against
// the types a command accepts, a single image or a ROM pack loaded, and one
// image, all of them or a menu choice handed back.

#include "app/RomviseBaseApp.h"
#include "app/MenuKeys.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"

#include <algorithm>
#include <cctype>
#include <iomanip>
#include <iostream>
#include <stdexcept>

namespace
{
using menu_keys::kEscape;

std::string ExtensionList(const FileTypeList& types)
{
    std::string list;
    for (const FileType& type : types)
    {
        list += type.extension + " ";
    }
    return list;
}

std::string BaseName(const std::string& path)
{
    const size_t separator = path.find_last_of(":\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

// Images 0 to 9 can be chosen; ESC, and the end of input, abandon the menu.
uint32_t AskForImage(CRefPtr<IROMMeld> meld, bool extended, CLog* log)
{
    const uint32_t count = meld->GetImageCount();
    std::cout << "Select firmware image:" << std::endl;
    for (uint32_t i = 0; i < count; ++i)
    {
        CRefPtr<IROMImage> image = meld->GetImage(i);
        std::cout << '<' << i << "> " << image->GetFileNameCStr();
        *log << LogLevel(3) << image->GetFileNameCStr();
        if (extended)
        {
            std::cout << " - " << image->GetBoardName();
            *log << " - " << image->GetBoardName();
        }
        std::cout << std::endl;
        *log << LogEndl;
    }
    while (true)
    {
        std::cout << "Select a number (ESC to quit): " << std::flush;
        const int key = GetCrossPlatform()->GetKey();
        if (key == kEscape || key == kConsoleEndOfInput)
        {
            throw user_abort_error("Update aborted");
        }
        if (key >= '0' && key <= '9')
        {
            std::cout << static_cast<char>(key) << std::endl;
            const uint32_t choice = static_cast<uint32_t>(key - '0');
            if (choice < count)
            {
                return choice;
            }
            std::cout << '{' << choice << "} is not valid" << std::endl;
            continue;
        }
        std::cout << (key < 32 ? '.' : static_cast<char>(key & 0x7F)) << std::endl;
    }
}
} // namespace

FileType CRomviseBaseApp::MakeFileType(int kind, std::string extension)
{
    return FileType{kind, std::move(extension)};
}

FileType CRomviseBaseApp::CheckFileExtension(const FileTypeList& types, const std::string& name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
    {
        throw std::runtime_error(
            "File name not provided or without extension\nA valid file extension: [" +
            ExtensionList(types) + "]\n");
    }
    std::string extension = name.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const FileType& type : types)
    {
        if (type.extension == extension)
        {
            return type;
        }
    }
    throw std::runtime_error("Filename must have a valid extension. [ " + ExtensionList(types) +
                             "]\n");
}

ROMImageList CRomviseBaseApp::LoadFirmwareFile(CRefPtr<IUserInterface> /*ui*/,
                                               CRefPtr<IBoardDatabase> boards,
                                               const std::string& name, const FileTypeList& types,
                                               bool extended, int imageIndex,
                                               SelectionCriteria& selection, CLog* log)
{
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    const FileType type = CheckFileExtension(types, name);
    if (type.kind == 1)
    {
        meld->ReadFromFile(name, log);
        selection = meld->GetSelection();
    }
    else
    {
        CRefPtr<IROMImage> image = IROMImage::CreateFromFile(name);
        selection = SelectionCriteria{};
        CBoardType board;
        boards->GetBoardType(board, image->GetBoardID());
        if (board.IsKnown())
        {
            image->SetBoardName(board.name);
        }
        else if (extended && image->GetBoardID() != 0)
        {
            *log << LogLevel(4) << "WARNING: Unknown Board ID " << std::hex << std::uppercase
                 << std::setw(4) << std::setfill('0') << image->GetBoardID() << std::dec
                 << std::nouppercase << std::setfill(' ') << '\n'
                 << "(It is recommended you obtain a newer version of ROMVISE.)" << LogEndl;
            log->SetLevel(3);
        }
        image->SetFileName(BaseName(name));
        meld->AddImage(image);
    }
    return SelectFirmwareImage(meld, imageIndex, extended, log);
}

ROMImageList CRomviseBaseApp::SelectFirmwareImage(CRefPtr<IROMMeld> meld, int imageIndex,
                                                  bool extended, CLog* log)
{
    const uint32_t count = meld->GetImageCount();
    if (count == 0)
    {
        throw std::runtime_error("No firmware images found");
    }
    if (count == 1)
    {
        if (imageIndex > 0)
        {
            throw std::runtime_error("Invalid firmware image index specified");
        }
        return {meld->GetImage(0)};
    }
    if (imageIndex == -1)
    {
        ROMImageList all;
        for (uint32_t i = 0; i < count; ++i)
        {
            all.push_back(meld->GetImage(i));
        }
        return all;
    }
    if (imageIndex < 0)
    {
        return {meld->GetImage(AskForImage(meld, extended, log))};
    }
    if (static_cast<uint32_t>(imageIndex) >= count)
    {
        throw std::runtime_error("Invalid firmware image index specified");
    }
    return {meld->GetImage(static_cast<uint32_t>(imageIndex))};
}
