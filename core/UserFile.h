#pragma once
// The one reader of the files users hand the programs (firmware images,
// microcode, settings, stores, certificates). A named file may be anything:
// a FIFO that no one writes, /dev/zero, a directory or a file of gigabytes.
// The reader opens it without blocking, checks on the opened descriptor that
// it is a regular file and refuses it past the size its format allows before
// reading its body, so no file can hang a run that ignores the stop signals
// or exhaust its memory. The caller reports a refusal with its own text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The kinds of file users hand in, each with the largest size its format
// allows (kUserFileLimits).
enum class UserFileFormat
{
    kFirmwareImage,      // one firmware image: the image buffer
    kRestoreImage,       // a backup: an image and the program's trailer
    kMultiImage,         // a KRROM package of board variants
    kMicrocode,          // a Kestrix engine's microcode image
    kFlashData,          // bytes for the flash chip (the Kestrix console's EWR)
    kSettings,           // comma-separated settings (part options, OBD fields)
    kVarnexStore,        // a raw-form Varnex store (.vnx)
    kVarnexFileSystem,   // a file-system-form Varnex store (.fs)
    kMcuImage,           // the board MCU's (GMAC) image
    kCertificate,        // a certificate or certificate root
    kProgram,            // a program file romstamp puts a package into
};

struct UserFileLimit
{
    UserFileFormat format;
    uint64_t maxBytes;
};

// Every format's largest size, in one place.
inline constexpr UserFileLimit kUserFileLimits[] = {
    {UserFileFormat::kFirmwareImage, 0x300000},
    {UserFileFormat::kRestoreImage, 0x300000 + 0x400},
    // 32 board variants, 32 MiB of images at most, and their records.
    {UserFileFormat::kMultiImage, (32u << 20) + 0x10000},
    // A header, the instruction memory (at most 0x1FF blocks of 256 bytes)
    // and the data memory, with room to spare.
    {UserFileFormat::kMicrocode, 1u << 20},
    // The largest part an adapter carries (128 Mbit).
    {UserFileFormat::kFlashData, 16u << 20},
    {UserFileFormat::kSettings, 1u << 20},
    {UserFileFormat::kVarnexStore, 0x3000},
    {UserFileFormat::kVarnexFileSystem, 0x8000},
    // The MCU's 64 KiB of flash, found by its signature anywhere in the file.
    {UserFileFormat::kMcuImage, 1u << 20},
    {UserFileFormat::kCertificate, 1u << 20},
    {UserFileFormat::kProgram, 1u << 30},
};

constexpr uint64_t MaxUserFileBytes(UserFileFormat format)
{
    for (const UserFileLimit& limit : kUserFileLimits)
    {
        if (limit.format == format)
        {
            return limit.maxBytes;
        }
    }
    return 0;
}

enum class UserFileStatus
{
    kRead,           // bytes hold the whole file
    kCannotOpen,     // no such file, no permission, ...
    kNotRegularFile, // a FIFO, device, directory or socket
    kTooLarge,       // larger than its format allows; bytes hold its head
    kReadFailed,     // opened, but a read failed
};

struct UserFileContents
{
    UserFileStatus status = UserFileStatus::kCannotOpen;
    int error = 0;     // the error number of the step that failed, or 0
    uint64_t size = 0; // the regular file's size (what was read, once read)
    // The whole file when read. When it is too large, its first
    // kUserFileHeadBytes at most, for messages that show how it begins.
    std::vector<uint8_t> bytes;

    bool Read() const { return status == UserFileStatus::kRead; }
};

inline constexpr size_t kUserFileHeadBytes = 16;

UserFileContents ReadUserFile(const std::string& path, UserFileFormat format);
// The same, for a format whose bound the caller knows only at run time.
UserFileContents ReadUserFile(const std::string& path, uint64_t maxBytes);
