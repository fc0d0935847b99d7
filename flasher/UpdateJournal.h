#pragma once
// Update records as files, one per adapter, in a state folder:
// "update-SSSS-BB-DD.F.rec" after the adapter's PCI location (hexadecimal).
//
// A record holds, little-endian: the magic "RVUPDREC", the format version
// (32 bits), the PCI segment (16), bus, device and function (8 each), the
// vendor and device ID (16 each), the payload length (32), the SHA-256 of the
// payload and the payload. In format 1 the payload is the content before the
// write (such a record reads as a whole-image write whose target is not
// known); in format 2 it is the write's kind (32), the length of the content
// before (32), the length of the target (32, 0 when not known, else the
// length before), the content before and the target. It is written to a
// temporary file in the same folder, synced, renamed over the record and the
// folder synced, so a power loss leaves either the old record or the new one
// whole.
//
// A record is used only as a whole: one that fails a check, or that does not
// explain what the adapter's EEPROM holds, stops that adapter's update and is
// kept for inspection. A later Begin (which only a caller that never asked
// for the pending content reaches) moves such a record aside to
// "<record>.refused" (numbered when taken) rather than write over it.
//
// The folder must be the program's own (see core/StateFolder.h); files are
// created exclusively and never opened through a link. One run at a time
// updates an adapter: each holds an flock on "update-SSSS-BB-DD.F.lock" from
// its first look at the adapter's record to ReleaseAdapter (the end of the run's
// adapter session); the system drops it when the run's process ends, however
// it ends.

#include "core/RefCount.h"
#include "flasher/IUpdateJournal.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

inline constexpr size_t kUpdateRecordHeaderSize = 57;
inline constexpr uint32_t kUpdateRecordFirstVersion = 1;
inline constexpr uint32_t kUpdateRecordVersion = 2;
inline constexpr uint32_t kUpdateRecordMostContent = 16 * 1024 * 1024;
// The largest payload: a format-2 record of the largest content and its
// target.
inline constexpr uint32_t kUpdateRecordMostPayload = 2 * kUpdateRecordMostContent + 12;

// The PCI location and IDs a record belongs to.
struct UpdateRecordOwner
{
    uint16_t segment = 0;
    uint8_t bus = 0;
    uint8_t device = 0;
    uint8_t function = 0;
    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
};

// A whole record file's bytes in the first format, for the owner and the
// content before (what earlier runs wrote).
std::vector<uint8_t> EncodeUpdateRecord(const UpdateRecordOwner& owner,
                                        std::span<const uint8_t> content);
// A whole record file's bytes in the current format.
std::vector<uint8_t> EncodeUpdateRecord(const UpdateRecordOwner& owner,
                                        const UpdateRecord& record);

// The record a file's bytes hold, or the reason it cannot be used (short,
// lower-case, e.g. "it is truncated").
struct UpdateRecordReading
{
    std::optional<UpdateRecord> record;
    std::string refusal;
};
UpdateRecordReading DecodeUpdateRecord(std::span<const uint8_t> bytes,
                                       const UpdateRecordOwner& owner);

// True when a stopped write from `before` to `after` can have left the chip
// as it is: every erase block of `blockSize` bytes holds the content before,
// or has its bits cleared from the erased state only toward the content
// after (erased, partly or wholly programmed), or is on its way back to the
// content before (erased and programmed from its start, as a write that is
// undone leaves it). An empty `after`
// stands for a target the record does not name: only the content before and
// blocks on their way to it explain the chip then. The spans are the part's
// whole content.
bool UpdateRecordExplainsChip(std::span<const uint8_t> chip, std::span<const uint8_t> before,
                              std::span<const uint8_t> after, uint32_t blockSize);

class CUpdateJournalImpl : public CReferenceCountImpl, public IUpdateJournal
{
public:
    // Throws io_error when the folder is not the program's own.
    explicit CUpdateJournalImpl(std::filesystem::path directory);
    ~CUpdateJournalImpl();
    CUpdateJournalImpl(const CUpdateJournalImpl&) = delete;
    CUpdateJournalImpl& operator=(const CUpdateJournalImpl&) = delete;
    ROMVISE_REFCOUNT_FORWARD

    std::optional<std::vector<uint8_t>> PendingContent(CRefPtr<IDisplayAdapter> adapter) override;
    std::optional<UpdateRecord> PendingRecord(CRefPtr<IDisplayAdapter> adapter) override;
    std::optional<UpdateRecord> PeekRecord(CRefPtr<IDisplayAdapter> adapter) override;
    void Claim(CRefPtr<IDisplayAdapter> adapter) override;
    [[noreturn]] void Refuse(CRefPtr<IDisplayAdapter> adapter, const std::string& reason) override;
    void Begin(CRefPtr<IDisplayAdapter> adapter, std::span<const uint8_t> content) override;
    void BeginRecord(CRefPtr<IDisplayAdapter> adapter, const UpdateRecord& record) override;
    void Finish(CRefPtr<IDisplayAdapter> adapter) override;
    void ReleaseAdapter(CRefPtr<IDisplayAdapter> adapter) override;

    // The record file of the adapter.
    std::filesystem::path RecordPath(CRefPtr<IDisplayAdapter> adapter) const;

private:
    UpdateRecordReading ReadRecord(const std::filesystem::path& path,
                                   const UpdateRecordOwner& owner) const;
    void MoveRefusedRecordAside(const std::filesystem::path& path,
                                const UpdateRecordOwner& owner) const;
    // Takes the adapter's lock for this run, once; throws when another run
    // holds it.
    void ClaimPath(const std::filesystem::path& record);
    void ReleasePath(const std::filesystem::path& record);

    std::filesystem::path m_directory;
    // The open lock files by record path.
    std::map<std::string, int> m_locks;
    // The record of each adapter this run holds, read and decoded once: the
    // lock keeps other runs from changing it, and Begin and Finish keep it
    // in step with the file.
    std::map<std::string, UpdateRecordReading> m_readings;
};

// The records of a run whose state folder cannot be used: a command that
// writes is refused with the folder's failure (before the adapter is
// touched by a write); one that only reads goes on without the check.
class CUnusableUpdateJournal : public CReferenceCountImpl, public IUpdateJournal
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CUnusableUpdateJournal(std::string failure) : m_failure(std::move(failure)) {}

    std::optional<std::vector<uint8_t>> PendingContent(CRefPtr<IDisplayAdapter>) override
    {
        Fail();
    }
    std::optional<UpdateRecord> PeekRecord(CRefPtr<IDisplayAdapter>) override
    {
        return std::nullopt;
    }
    void Claim(CRefPtr<IDisplayAdapter>) override { Fail(); }
    [[noreturn]] void Refuse(CRefPtr<IDisplayAdapter>, const std::string&) override { Fail(); }
    void Begin(CRefPtr<IDisplayAdapter>, std::span<const uint8_t>) override { Fail(); }
    void Finish(CRefPtr<IDisplayAdapter>) override {}

private:
    [[noreturn]] void Fail() const;

    std::string m_failure;
};
