#pragma once
// The preservation table of GPU firmware lists the ranges of the image whose
// contents an update keeps from the adapter's current firmware: data blocks
// named by a one-byte data ID, and init-script ranges whose register writes
// hold board-specific values. BIOSOffset walks such a script range to find
// where the value written to one register is stored.

#include <cstdint>
#include <optional>

class IROMImage;

// Preservation table layout.
namespace preservation
{
inline constexpr uint32_t kVersion = 0;
inline constexpr uint32_t kHeaderSize = 1;
inline constexpr uint32_t kEntrySize = 2;
inline constexpr uint32_t kEntryCount = 3;
inline constexpr uint32_t kHeaderWord = 4;
inline constexpr uint32_t kHeaderByte = 6;
inline constexpr uint32_t kFlagsOffset = 7;
inline constexpr uint8_t kFirstVersion = 0x10;
inline constexpr uint8_t kFlagsVersion = 0x11;
// Entry flag bits.
inline constexpr uint8_t kFlagDataBlock = 0x10;
inline constexpr uint8_t kFlagTunable = 0x20;
inline constexpr uint8_t kFlagScriptRange = 0x40;
inline constexpr uint8_t kFlagChanged = 0x80;
inline constexpr uint8_t kNoFlags = 0xFF;
} // namespace preservation

// Statuses of the preserved-value lookups.
enum EPreserveStatus : uint32_t
{
    kPreserveOk = 0,
    kPreserveRegisterNotFound = 2,
    kPreserveEntryFlagsInvalid = 3,
    kPreserveDataIdNotFound = 5,
    kPreserveTableNotFound = 6,
};

// Where one table entry lies and the flags it keeps (kNoFlags when it keeps
// none): what GetPreservationEntryOffset and GetPreservationEntryFlags give
// for its index.
struct PreservationEntryPlace
{
    int32_t offset = -1;
    uint8_t flags = preservation::kNoFlags;
    bool operator==(const PreservationEntryPlace&) const = default;
};

// What FindPreservedData looks for (the data ID) and what it finds.
struct PreservedDataRecord
{
    uint8_t dataId = 0;
    uint32_t entryIndex = 0;
    uint32_t offset = 0;
    uint16_t size = 0;
};

// One search of an init-script range for the value written to a register.
struct PreservedRegisterQuery
{
    uint32_t registerAddress = 0;
    uint8_t ramStrap = 0;
    uint32_t entryIndex = 0;
    uint32_t cursor = 0; // image offset of the next script record
    uint32_t end = 0;    // image offset where the range ends
};

class BIOSOffset
{
public:
    virtual ~BIOSOffset() = default;
    // Image offset of the 32-bit value that the script range [cursor, end)
    // writes to the query's register, or -1; advances the query's cursor. An
    // unknown opcode ends the walk. A record with a zero stride or no entries
    // raises std::runtime_error.
    virtual int32_t FindRegisterValue(IROMImage* image, PreservedRegisterQuery& query);

private:
    // The RAM configuration count and the configuration index of a strap,
    // through the BIT's memory token.
    static uint32_t RamConfigurationCount(IROMImage* image);
    static uint8_t RamConfigurationIndex(IROMImage* image, uint8_t strap);
    static uint8_t MemoryInformationLookup(IROMImage* image, uint8_t strap);

    // One record of the script: where it starts and where the walk must stop.
    struct ScriptRecord
    {
        IROMImage* image;
        uint64_t at;
        uint64_t limit;
        bool Fits(uint64_t length) const;
        uint8_t Byte(uint64_t offset) const;
        uint32_t Dword(uint64_t offset) const;
        // Throws the error for a record with a zero stride or no entries.
        [[noreturn]] void Refuse() const;
    };
    // A record read: its length, and the offset of the register's value when
    // the record writes it.
    struct RecordMatch
    {
        uint64_t length = 0;
        int32_t valueOffset = -1;
    };
    static uint64_t ScriptLimit(IROMImage* image, const PreservedRegisterQuery& query);
    // None when the record's opcode is unknown or its fixed part runs past
    // the range: the walk cannot step over it.
    static std::optional<RecordMatch> ReadRecord(const ScriptRecord& record,
                                                 const PreservedRegisterQuery& query);
    static std::optional<RecordMatch> ReadStrapSelectedValues(const ScriptRecord& record,
                                                              const PreservedRegisterQuery& query);
    static std::optional<RecordMatch> ReadRegisterRun(const ScriptRecord& record, uint32_t reg);
    static RecordMatch ReadSingleValue(const ScriptRecord& record, uint32_t reg, uint64_t length,
                                       uint64_t valueAt);
    static std::optional<RecordMatch>
    ReadRamConfigurationTable(const ScriptRecord& record, const PreservedRegisterQuery& query);
};
