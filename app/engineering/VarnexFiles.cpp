// Whole-file reads and writes of the Varnex commands and their two text files.

#include "app/engineering/VarnexFiles.h"

#include "core/NewFile.h"
#include "varnex/VarnexImage.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iostream>
#include <sstream>

namespace
{
constexpr size_t kObjectHeaderBytes = 8;
// Header and the 120-byte body the OBD record describes.
constexpr size_t kPackedObdBytes = 128;

struct ObdField
{
    const char* name;
    size_t offset; // in the body
    size_t width;
};

constexpr std::array<ObdField, 9> kObdTextFields = {{
    {"MarketingName", 4, 24},
    {"BoardSerialNumber", 28, 16},
    {"MemoryManufacturer", 44, 1},
    {"MemoryPartID", 45, 20},
    {"MemoryDateCode", 65, 6},
    {"BoardProductPartNumber", 71, 20},
    {"BoardRevision", 91, 3},
    {"BoardType", 94, 1},
    {"Board699PartNumber", 95, 20},
}};

// The field's bytes up to the first zero, at most its width.
std::string FieldText(std::span<const uint8_t> body, const ObdField& field)
{
    const std::span<const uint8_t> bytes = body.subspan(field.offset, field.width);
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return std::string(bytes.begin(), end);
}

std::string ObdLines(std::span<const uint8_t> body, bool csv)
{
    const char* separator = csv ? "," : ": ";
    const char* terminator = csv ? "," : "";
    const uint32_t buildDate =
        static_cast<uint32_t>(body[0]) | static_cast<uint32_t>(body[1]) << 8 |
        static_cast<uint32_t>(body[2]) << 16 | static_cast<uint32_t>(body[3]) << 24;
    std::ostringstream lines;
    lines << "BoardBuildDate" << separator << std::hex << buildDate << std::dec << terminator
          << '\n';
    for (const ObdField& field : kObdTextFields)
    {
        lines << field.name << separator << FieldText(body, field) << terminator << '\n';
    }
    return lines.str();
}

bool CouldNotOpen(const std::string& path)
{
    std::cout << "Couldn't open " << path << std::endl;
    return false;
}

// Writes the bytes by the output-file rule (core/NewFile.h): "Couldn't open
// <path>" when the file cannot be made, an I/O error line when something
// other than a regular file has the name or the bytes did not all reach the
// disk.
bool WriteOutput(const std::string& path, std::span<const uint8_t> bytes)
{
    const OutputFileOutcome outcome = WriteOutputFile(path, {bytes});
    switch (outcome.status)
    {
    case OutputFileStatus::Written:
        return true;
    case OutputFileStatus::NotRegularFile:
        std::cout << "\nI/O ERROR: " << CannotCreateText(path, outcome) << std::endl;
        return false;
    case OutputFileStatus::CannotCreate:
        return CouldNotOpen(path);
    case OutputFileStatus::WriteFailed:
        break;
    }
    std::cout << "\nI/O ERROR: Error writing data to file." << std::endl;
    return false;
}

bool WriteTextFile(const std::string& path, const std::string& text)
{
    return WriteOutput(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}
} // namespace

bool CFileAccess::ReadFileBytes(const std::string& path, UserFileContents& file, size_t limit)
{
    UserFileContents read = ReadUserFile(path, limit);
    if (!read.Read() && read.status != UserFileStatus::kTooLarge)
    {
        return CouldNotOpen(path);
    }
    file = std::move(read);
    return true;
}

bool CFileAccess::WriteFileBytes(const std::string& path, std::span<const uint8_t> bytes)
{
    return WriteOutput(path, bytes);
}

bool CFileAccess::WriteBboFile(const std::string& path, uint32_t id, uint32_t revision,
                               uint32_t value)
{
    std::ostringstream text;
    text << "ID: " << id << "\nRevision: " << revision << "\nValue: " << value << '\n';
    return WriteTextFile(path, text.str());
}

bool CFileAccess::WriteObdFile(const std::string& path, std::span<const uint8_t> packedObd,
                               bool csv)
{
    if (packedObd.size() < kPackedObdBytes)
    {
        return false;
    }
    const std::string lines = ObdLines(packedObd.subspan(kObjectHeaderBytes), csv);
    if (path.empty())
    {
        std::cout << lines << std::flush;
        return true;
    }
    return WriteTextFile(path, lines);
}

bool HasFileExtension(const std::string& name, const std::string& extension)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
    {
        return false;
    }
    std::string own = name.substr(dot);
    std::transform(own.begin(), own.end(), own.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return own == extension;
}

bool MakeFileSystemFileName(const std::string& name, std::string& fileSystemName)
{
    if (!HasFileExtension(name, ".vnx"))
    {
        return false;
    }
    fileSystemName = name.substr(0, name.rfind('.')) + ".fs";
    return true;
}

bool IsRawStoreFile(std::span<const uint8_t> bytes)
{
    return bytes.size() >= 3 && bytes.size() <= kMaxRawStoreFileBytes && bytes[0] == 'R' &&
           bytes[1] == 'O' && bytes[2] == 'M';
}

bool IsFileSystemStoreFile(std::span<const uint8_t> bytes)
{
    return bytes.size() <= kMaxFileSystemFileBytes &&
           CVarnexImage::DetectFormat(bytes) == CVarnexImage::kFormatFileSystem &&
           CVarnexImage(bytes).IsValid();
}

std::string IncorrectFormatText(const std::string& name, const UserFileContents& file)
{
    const size_t shown = std::min<size_t>(file.bytes.size(), 3);
    return "Incorrect Configuration Setting file format '" + name +
           "size:" + std::to_string(file.size) +
           std::string(file.bytes.begin(),
                       file.bytes.begin() + static_cast<std::ptrdiff_t>(shown)) +
           "'.";
}
