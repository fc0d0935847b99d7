#pragma once
// The files the Varnex commands read and write: whole files of bytes with a
// bound on what is read, the BBO and OBD text files, and the names of the
// store's two file forms.

#include "core/UserFile.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The largest raw-form store a command accepts from a file.
inline constexpr size_t kMaxRawStoreFileBytes = MaxUserFileBytes(UserFileFormat::kVarnexStore);
// The largest file-system-form store: the Varnex block with read-write files.
inline constexpr size_t kMaxFileSystemFileBytes =
    MaxUserFileBytes(UserFileFormat::kVarnexFileSystem);

class CFileAccess
{
public:
    // Reads a regular file of at most `limit` bytes through the programs'
    // file reader; a larger one is not read but gives true, with its size
    // and first bytes (status kTooLarge). "Couldn't open <path>" on standard
    // output and false when the file cannot be opened or read or is not a
    // regular file (`file` is then untouched).
    bool ReadFileBytes(const std::string& path, UserFileContents& file, size_t limit);
    // Writes the bytes to the file by the output-file rule (core/NewFile.h):
    // created, or an existing regular file replaced; false when it cannot be
    // created, something other than a regular file has the name, or a write
    // fails (an old file is then kept as it was).
    bool WriteFileBytes(const std::string& path, std::span<const uint8_t> bytes);
    // The three lines "ID: ", "Revision: " and "Value: ", in decimal, written
    // as WriteFileBytes writes; false when the file cannot be written.
    bool WriteBboFile(const std::string& path, uint32_t id, uint32_t revision, uint32_t value);
    // The OBD fields of the packed object (header and body), one line each,
    // "name: value" or, in the CSV form, "name,value,". False when the object
    // is too short to hold them, before the file is touched, or when the
    // file cannot be written (as WriteFileBytes). An empty path prints the
    // lines.
    bool WriteObdFile(const std::string& path, std::span<const uint8_t> packedObd, bool csv);
};

// The name's extension from its last '.', compared without case with the
// extension given in lower case.
bool HasFileExtension(const std::string& name, const std::string& extension);
// The ".vnx" name with ".fs" in place of its extension; false for another name.
bool MakeFileSystemFileName(const std::string& name, std::string& fileSystemName);
// A raw-form store file: "ROM" (its directory's tag) first, at most
// kMaxRawStoreFileBytes long.
bool IsRawStoreFile(std::span<const uint8_t> bytes);
// A file-system-form store that flashfs takes: at most
// kMaxFileSystemFileBytes long, in that form, and a valid store.
bool IsFileSystemStoreFile(std::span<const uint8_t> bytes);
// "Incorrect Configuration Setting file format '<name>size:<bytes><first
// three bytes>'." for a file that is not one; the size is the file's own.
std::string IncorrectFormatText(const std::string& name, const UserFileContents& file);
