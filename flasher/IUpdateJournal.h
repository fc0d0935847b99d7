#pragma once
// The record an update keeps while it writes an adapter's EEPROM: the content
// the part held before the first write, saved durably, so that a run after a
// power loss takes the board's data and the old firmware from the record and
// not from a half-written part.

#include "core/RefCount.h"
#include "hw/adapter/IDisplayAdapter.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

class IUpdateJournal : public IReferenceCount
{
public:
    // The content the adapter's EEPROM held before an update that did not
    // finish; nothing when there is no record. The first call for an adapter
    // claims it for this run until Finish. Throws runtime_error when another
    // run holds the adapter, or when a record exists that cannot be used: the
    // adapter is then not updated and the record is kept.
    virtual std::optional<std::vector<uint8_t>> PendingContent(CRefPtr<IDisplayAdapter> adapter) = 0;
    // Refuses the adapter's pending record for the reason given (short,
    // lower-case): throws runtime_error naming the record, which is kept.
    [[noreturn]] virtual void Refuse(CRefPtr<IDisplayAdapter> adapter, const std::string& reason) = 0;
    // Claims the adapter and saves the content durably; called before the
    // first write of an update.
    virtual void Begin(CRefPtr<IDisplayAdapter> adapter, std::span<const uint8_t> content) = 0;
    // Removes the record once the written image read back equal and gives
    // the adapter free; throws io_error when it cannot.
    virtual void Finish(CRefPtr<IDisplayAdapter> adapter) = 0;

protected:
    ~IUpdateJournal() = default;
};
