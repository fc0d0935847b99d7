#pragma once
// The firmware package that travels inside the packaged updater: a fixed
// slot of 0x300000 bytes (a little-endian length word, then the package) and,
// right behind it, the control block that tells the run which adapters to
// accept and how to behave. romstamp writes both into a copy of the program
// file; the program only reads them. The record is initialised with non-zero
// placeholders so that it lies in the program file's data, where romstamp
// finds it by the 24 bytes at the start of the control block.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

inline constexpr uint32_t kPackageSlotSize = 0x300000;
// The slot less its length word.
inline constexpr uint32_t kMaxPackageLength = kPackageSlotSize - 4;
// The first bytes of the slot also identify backup files.
inline constexpr uint32_t kBackupTrailerSize = 1024;
inline constexpr uint16_t kNoControlId = 0xFFFF;

// What an unstamped slot starts with; a slot starting "ROMI" holds no package.
inline constexpr char kUnstampedSlotText[] = "ROMIMAGE";
// The control block starts with 8 zero bytes and this marker (15 characters
// and 0xFF): the pattern romstamp searches for.
inline constexpr char kControlBlockMarker[] = "ROMUVISE_STRUCT";
inline constexpr size_t kControlBlockPatternSize = 24;

enum PackageFlags : uint32_t
{
    kPackageIgnoreSubsystem = 0x8,
    kPackageQuiet = 0x10,
    kPackageCountdown = 0x20,
    kPackageRemoveWriteProtect = 0x40,
    kPackageNewerOnly = 0x80,
    kPackageReplaceBoardSettings = 0x100,
    kPackageIsPack = 0x200,
    kPackageReboot = 0x400,
    kPackageAnyVersion = 0x800,
    kPackageMergeVarnex = 0x1000,
    kPackageNewerOrEqual = 0x2000,
};

#pragma pack(push, 1)
struct PackageControlBlock
{
    uint8_t zero[8];
    uint8_t marker[16];
    uint16_t reserved18;
    uint16_t subsystemVendorId;
    uint16_t subsystemDeviceId;
    uint16_t reserved1E;
    uint32_t flags;
    uint16_t reserved24;
    uint16_t boardId;
    char fileName[64];
};

struct PackageStore
{
    uint8_t slot[kPackageSlotSize];
    PackageControlBlock control;
};
#pragma pack(pop)

static_assert(std::endian::native == std::endian::little, "the slot's words are little-endian");
static_assert(sizeof(PackageControlBlock) == 104);
static_assert(offsetof(PackageControlBlock, marker) == 0x08);
static_assert(offsetof(PackageControlBlock, subsystemVendorId) == 0x1A);
static_assert(offsetof(PackageControlBlock, subsystemDeviceId) == 0x1C);
static_assert(offsetof(PackageControlBlock, flags) == 0x20);
static_assert(offsetof(PackageControlBlock, boardId) == 0x26);
static_assert(offsetof(PackageControlBlock, fileName) == 0x28);
static_assert(offsetof(PackageStore, control) == kPackageSlotSize);
static_assert(sizeof(PackageStore) == kPackageSlotSize + 104);

// The program's own slot and control block, read so that the compiler cannot
// assume they still hold their placeholders.
const PackageStore& GetPackageStore();

// The slot holds no package (romstamp never ran).
bool IsPackageSlotEmpty(const PackageStore& store);
// The package bytes; std::runtime_error when the length word is 0 or larger
// than the slot can hold.
std::span<const uint8_t> GetPackageBytes(const PackageStore& store);
// The control block's name for a single image, at most 64 characters.
std::string GetPackageFileName(const PackageControlBlock& control);
