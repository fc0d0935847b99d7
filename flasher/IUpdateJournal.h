#pragma once
// The record a write keeps while it changes an adapter's EEPROM: the content
// the part held before the first erase, and the whole content the write
// aims at, saved durably, so that a run after a power loss can tell what
// the chip holds, take the board's data from the content before and not from
// a half-written part, and finish or undo the write.

#include "core/RefCount.h"
#include "hw/adapter/IDisplayAdapter.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What wrote the chip: the command that finishes a stopped write of the kind.
enum class UpdateWriteKind : uint32_t
{
    Flash = 1,   // a whole image: the packaged update, romvise's flash, restore
    UEFI = 2,    // a UEFI driver merged into the firmware
    Field = 3,   // one field in place: straps, GUID, GUID source, TV block
    Delete = 4,  // the VBIOS deleted around the Varnex store
    Varnex = 5,  // the Varnex store or the board's data rewritten
    Tuning = 6,  // the preservation data tuned
};
inline constexpr uint32_t kMostUpdateWriteKind = 6;

// One record: the kind of write, the part's content before it and, when the
// record says (a record of the first format does not), the part's whole
// content once the write is done.
struct UpdateRecord
{
    UpdateWriteKind kind = UpdateWriteKind::Flash;
    std::vector<uint8_t> before;
    std::optional<std::vector<uint8_t>> target;
};

class IUpdateJournal : public IReferenceCount
{
public:
    // The content the adapter's EEPROM held before an update that did not
    // finish; nothing when there is no record. The first call for an adapter
    // claims it for this run until ReleaseAdapter. Throws runtime_error when another
    // run holds the adapter, or when a record exists that cannot be used: the
    // adapter is then not updated and the record is kept.
    virtual std::optional<std::vector<uint8_t>> PendingContent(CRefPtr<IDisplayAdapter> adapter) = 0;
    // The whole pending record, claimed as PendingContent claims it.
    virtual std::optional<UpdateRecord> PendingRecord(CRefPtr<IDisplayAdapter> adapter)
    {
        std::optional<std::vector<uint8_t>> content = PendingContent(adapter);
        if (!content)
        {
            return std::nullopt;
        }
        return UpdateRecord{UpdateWriteKind::Flash, std::move(*content), std::nullopt};
    }
    // The pending record read without claiming the adapter, for a run that
    // only reads it; nothing when there is none or it cannot be read.
    virtual std::optional<UpdateRecord> PeekRecord(CRefPtr<IDisplayAdapter> adapter)
    {
        return PendingRecord(adapter);
    }
    // Claims the adapter for this run without looking at its record (for a
    // command that destroys the content by design); throws as PendingContent.
    virtual void Claim(CRefPtr<IDisplayAdapter> /*adapter*/) {}
    // Refuses the adapter's pending record for the reason given (short,
    // lower-case): throws runtime_error naming the record, which is kept.
    [[noreturn]] virtual void Refuse(CRefPtr<IDisplayAdapter> adapter, const std::string& reason) = 0;
    // Claims the adapter and saves the content durably as a whole-image
    // write whose target is not recorded.
    virtual void Begin(CRefPtr<IDisplayAdapter> adapter, std::span<const uint8_t> content) = 0;
    // Claims the adapter and saves the record durably; called before the
    // first erase of a write.
    virtual void BeginRecord(CRefPtr<IDisplayAdapter> adapter, const UpdateRecord& record)
    {
        Begin(adapter, record.before);
    }
    // Removes the record once the written image read back equal; the adapter
    // stays claimed until ReleaseAdapter. Throws io_error when it cannot.
    virtual void Finish(CRefPtr<IDisplayAdapter> adapter) = 0;
    // Gives the adapter free for other runs (the adapter session's end).
    virtual void ReleaseAdapter(CRefPtr<IDisplayAdapter> /*adapter*/) {}

protected:
    ~IUpdateJournal() = default;
};

// "a firmware update", ... : the kind in the user's words.
const char* UpdateWriteKindName(UpdateWriteKind kind);
// The command that finishes a stopped write of the kind.
const char* UpdateWriteKindFinisher(UpdateWriteKind kind);
