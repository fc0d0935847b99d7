#pragma once
// Update records as files, one per adapter, in a state folder:
// "update-SSSS-BB-DD.F.rec" after the adapter's PCI location (hexadecimal).
//
// A record holds, little-endian: the magic "RVUPDREC", the format version
// (32 bits), the PCI segment (16), bus, device and function (8 each), the
// vendor and device ID (16 each), the content length (32), the SHA-256 of the
// content and the content. It is written to a temporary file in the same
// folder, synced, renamed over the record and the folder synced, so a power
// loss leaves either the old record or the new one whole.
//
// A record that fails a check is refused with a warning and kept: a later
// Begin moves it aside to "<record>.refused" (numbered when taken) rather
// than write over it.

#include "core/RefCount.h"
#include "flasher/IUpdateJournal.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

inline constexpr size_t kUpdateRecordHeaderSize = 57;
inline constexpr uint32_t kUpdateRecordVersion = 1;
inline constexpr uint32_t kUpdateRecordMostContent = 16 * 1024 * 1024;

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

// A whole record file's bytes for the owner and content.
std::vector<uint8_t> EncodeUpdateRecord(const UpdateRecordOwner& owner,
                                        std::span<const uint8_t> content);

// The content of a record's bytes, or the reason it cannot be used (short,
// lower-case, e.g. "it is truncated").
struct UpdateRecordReading
{
    std::optional<std::vector<uint8_t>> content;
    std::string refusal;
};
UpdateRecordReading DecodeUpdateRecord(std::span<const uint8_t> bytes,
                                       const UpdateRecordOwner& owner);

class CUpdateJournalImpl : public CReferenceCountImpl, public IUpdateJournal
{
public:
    // `warn` receives the warning line for each refused record, once per file.
    CUpdateJournalImpl(std::filesystem::path directory,
                       std::function<void(const std::string&)> warn);
    ROMVISE_REFCOUNT_FORWARD

    std::optional<std::vector<uint8_t>> PendingContent(CRefPtr<IDisplayAdapter> adapter) override;
    void Begin(CRefPtr<IDisplayAdapter> adapter, std::span<const uint8_t> content) override;
    void Finish(CRefPtr<IDisplayAdapter> adapter) override;

    // The record file of the adapter.
    std::filesystem::path RecordPath(CRefPtr<IDisplayAdapter> adapter) const;

private:
    UpdateRecordReading ReadRecord(const std::filesystem::path& path,
                                   const UpdateRecordOwner& owner) const;
    void MoveRefusedRecordAside(const std::filesystem::path& path,
                                const UpdateRecordOwner& owner) const;

    std::filesystem::path m_directory;
    std::function<void(const std::string&)> m_warn;
    std::set<std::string> m_warned;
};
