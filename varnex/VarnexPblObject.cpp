#include "varnex/VarnexPblObject.h"

#include "core/TextHelpers.h"
#include "varnex/VarnexPack.h"

#include <algorithm>
#include <iostream>

namespace
{

constexpr size_t kPageCountAt = 8;
constexpr size_t kPagesAt = 10;

uint32_t PageType(VarnexRetiredPageEntry entry)
{
    return static_cast<uint32_t>((entry >> 29) & 7);
}

bool IsDynamic(VarnexRetiredPageEntry entry)
{
    const uint32_t type = PageType(entry);
    return type == 2 || type == 4;
}

// Type 2 becomes 1 and type 4 becomes 3; the other bits stay.
VarnexRetiredPageEntry MakeStatic(VarnexRetiredPageEntry entry)
{
    const uint64_t type = PageType(entry) == 2 ? 1 : 3;
    return (entry & ~(uint64_t{7} << 29)) | (type << 29);
}

std::string PageText(VarnexRetiredPageEntry entry)
{
    return ToHexString(static_cast<uint32_t>(entry >> 32), 8) +
           ToHex(static_cast<uint32_t>(entry), 8);
}

const char* ArrayName(uint32_t eccFlag)
{
    return eccFlag != 0 ? "ECC-ON" : "ECC-OFF";
}

const char* Plural(uint32_t count)
{
    return count == 1 ? "page" : "pages";
}

} // namespace

// The record as values, with page access by array and slot.
struct VarnexPblRecord
{
    std::vector<int32_t> values;
    uint32_t capacity = 0;

    size_t Index(uint32_t eccFlag, uint32_t slot) const
    {
        return kPagesAt + 2 * (static_cast<size_t>(eccFlag != 0 ? 0 : capacity) + slot);
    }
    VarnexRetiredPageEntry Page(uint32_t eccFlag, uint32_t slot) const
    {
        const size_t at = Index(eccFlag, slot);
        return static_cast<uint32_t>(values[at]) |
               (uint64_t{static_cast<uint32_t>(values[at + 1])} << 32);
    }
    void SetPage(uint32_t eccFlag, uint32_t slot, VarnexRetiredPageEntry entry)
    {
        const size_t at = Index(eccFlag, slot);
        values[at] = static_cast<int32_t>(static_cast<uint32_t>(entry));
        values[at + 1] = static_cast<int32_t>(static_cast<uint32_t>(entry >> 32));
    }
    uint32_t CountPages(uint32_t eccFlag) const
    {
        uint32_t count = 0;
        for (uint32_t i = 0; i < capacity; ++i)
        {
            count += Page(eccFlag, i) != 0 ? 1 : 0;
        }
        return count;
    }
    // Converts the dynamic pages of one array; returns how many there were.
    uint32_t ConvertDynamic(uint32_t eccFlag)
    {
        uint32_t count = 0;
        for (uint32_t i = 0; i < capacity; ++i)
        {
            const VarnexRetiredPageEntry entry = Page(eccFlag, i);
            if (entry != 0 && IsDynamic(entry))
            {
                SetPage(eccFlag, i, MakeStatic(entry));
                ++count;
            }
        }
        return count;
    }
    // Zeroes every page of one array, logging how many were in use.
    void WipePages(uint32_t eccFlag, CLog* log)
    {
        *log << "Clear all blacklisted-pages (" << FormatNumber(capacity, 2) << ") of "
             << ArrayName(eccFlag) << "." << LogEndl;
        const uint32_t wiped = CountPages(eccFlag);
        for (uint32_t i = 0; i < capacity; ++i)
        {
            SetPage(eccFlag, i, 0);
        }
        *log << "Wiped out " << FormatNumber(wiped, 2) << " of blacklisted-page records of "
             << ArrayName(eccFlag) << "." << LogEndl;
    }
};

std::optional<CVarnexImagePblObject::Layout> CVarnexImagePblObject::GetLayout(uint8_t version,
                                                                              uint8_t subversion)
{
    if (version == 2 && subversion == 0)
    {
        return Layout{"3s2bwb3b128q5b", 64};
    }
    if (version == 2 && subversion == 1)
    {
        return Layout{"3s2bwb3b40q5b", 20};
    }
    if (version == 3 && subversion == 0)
    {
        return Layout{"3s2bwb3b128q64d1b", 64};
    }
    return std::nullopt;
}

CVarnexImagePblObject::CVarnexImagePblObject(std::span<const uint8_t> image, uint16_t offset)
    : CVarnexImagePersistentObject(VarnexTags::PBL, image, offset)
{
    RefuseUnacceptableLayout();
    if (HasData())
    {
        m_transferMaximum = kDefaultTransferMaximum;
    }
}

bool CVarnexImagePblObject::IsAcceptableLayout(const VarnexObjectHeader& header) const
{
    const auto layout = GetLayout(header.version, header.subversion);
    // The object must hold its whole record; a larger object keeps its tail.
    return !layout || header.size == 0 || header.size >= RecordLength(layout->format);
}

bool CVarnexImagePblObject::IsKnownVersion() const
{
    return GetLayout(GetVersion(), GetSubversion()).has_value();
}

std::optional<VarnexPblRecord> CVarnexImagePblObject::LoadRecord() const
{
    const auto layout = GetLayout(GetVersion(), GetSubversion());
    if (!layout || !HasData())
    {
        return std::nullopt;
    }
    return VarnexPblRecord{ReadRecord(layout->format), layout->capacity};
}

bool CVarnexImagePblObject::StoreRecord(const VarnexPblRecord& record)
{
    const auto layout = GetLayout(GetVersion(), GetSubversion());
    if (!layout)
    {
        return false;
    }
    // The record is packed into a zeroed buffer of the object's size, so bytes
    // after the record become zero.
    std::vector<uint8_t> buffer(GetSize(), 0);
    if (!PackFields(layout->format, buffer, record.values))
    {
        return false;
    }
    ReplaceBody(std::vector<uint8_t>(buffer.begin() + kVarnexHeaderSize, buffer.end()));
    return true;
}

std::optional<std::vector<VarnexRetiredPageEntry>>
CVarnexImagePblObject::GetPageArray(uint32_t eccFlag) const
{
    const auto record = LoadRecord();
    if (!record)
    {
        return std::nullopt;
    }
    std::vector<VarnexRetiredPageEntry> pages;
    for (uint32_t i = 0; i < record->capacity; ++i)
    {
        pages.push_back(record->Page(eccFlag, i));
    }
    return pages;
}

std::optional<uint8_t> CVarnexImagePblObject::GetCounts() const
{
    const auto record = LoadRecord();
    if (!record)
    {
        return std::nullopt;
    }
    return static_cast<uint8_t>(record->values[kPageCountAt]);
}

bool CVarnexImagePblObject::ClearPages(uint32_t eccFlag, CLog* log)
{
    auto record = LoadRecord();
    if (!record)
    {
        *log << "PBL:  Page array null" << LogEndl;
        return false;
    }
    record->WipePages(eccFlag, log);
    return StoreRecord(*record);
}

void CVarnexImagePblObject::Clear()
{
    CLog* log = GetLog();
    log->SetLevel(3);
    if (!HasData())
    {
        return;
    }
    auto record = LoadRecord();
    if (!record)
    {
        log->SetLevel(4);
        *log << "PBL: Unknown version or subversion" << LogEndl;
        return;
    }
    *log << "PBL Version: " << FormatNumber(GetVersion(), 2) << "."
         << FormatNumber(GetSubversion(), 2) << LogEndl;
    *log << "blacklisted-page counts = "
         << FormatNumber(static_cast<uint8_t>(record->values[kPageCountAt]), 2) << LogEndl;
    // Both arrays are wiped in the working record and written back together.
    for (const uint32_t eccFlag : {1u, 0u})
    {
        record->WipePages(eccFlag, log);
    }
    record->values[kPageCountAt] = 0;
    if (!StoreRecord(*record))
    {
        log->SetLevel(4);
        *log << "PBL: Failed to pack data after wiped out blacklisted-pages." << LogEndl;
    }
}

namespace
{

// Both arrays' dynamic pages become static; the two counts must agree.
bool ConvertRecord(VarnexPblRecord& record, CLog* log)
{
    const uint32_t eccOn = record.ConvertDynamic(1);
    const uint32_t eccOff = record.ConvertDynamic(0);
    if (eccOn != eccOff)
    {
        *log << "PBL: Number of transferred pages differs between of EccOn arrays and EccOff "
                "arrays ("
             << eccOn << " != " << eccOff << ")." << LogEndl;
        return false;
    }
    if (eccOn > 0)
    {
        std::cout << "PBL: WARNING: The backup image contains " << eccOn << " dynamic "
                  << Plural(eccOn) << " that have been converted into statically retired pages"
                  << std::endl;
    }
    return true;
}

// Moves one array of source into destination. Dynamic source pages are
// converted in the caller's copy of the source only.
bool MoveRecordPages(VarnexPblRecord& destination, VarnexPblRecord& source, uint32_t eccFlag,
                     uint32_t maximum, uint32_t& notTransferred, uint32_t& transferred, CLog* log)
{
    uint32_t held = destination.CountPages(eccFlag);
    *log << "PBL Counts = " << FormatNumber(held, 2) << " before pages transferred." << LogEndl;
    uint32_t candidates = 0;
    uint32_t staticAdded = 0;
    for (uint32_t i = 0; i < source.capacity; ++i)
    {
        VarnexRetiredPageEntry entry = source.Page(eccFlag, i);
        if (entry == 0)
        {
            continue;
        }
        const bool dynamic = IsDynamic(entry);
        if (dynamic)
        {
            ++candidates;
            entry = MakeStatic(entry);
            source.SetPage(eccFlag, i, entry);
        }
        bool present = false;
        uint32_t freeSlot = destination.capacity;
        for (uint32_t k = 0; k < destination.capacity; ++k)
        {
            const VarnexRetiredPageEntry held_entry = destination.Page(eccFlag, k);
            if (held_entry == entry)
            {
                present = true;
                break;
            }
            if (held_entry == 0 && freeSlot == destination.capacity)
            {
                freeSlot = k;
            }
        }
        if (present)
        {
            *log << "page " << PageText(entry)
                 << " already present in IB, skip to transfer this page to IB." << LogEndl;
            continue;
        }
        // A full destination leaves the page untransferred. A static page still
        // counts as a candidate: it is one the destination lacks.
        if (!dynamic)
        {
            ++candidates;
        }
        if (freeSlot == destination.capacity)
        {
            continue;
        }
        if (!dynamic)
        {
            ++staticAdded;
        }
        ++transferred;
        destination.SetPage(eccFlag, freeSlot, entry);
        ++held;
    }
    if (staticAdded > 0)
    {
        std::cout << "PBL: WARNING: The primary image contains " << staticAdded << " static "
                  << Plural(staticAdded) << " that were not present in the backup image"
                  << std::endl;
    }
    if (transferred > maximum)
    {
        *log << "PBL: Transferred pages greater than max allowed transferred pages." << LogEndl;
        return false;
    }
    if (transferred < candidates)
    {
        notTransferred += candidates - transferred;
    }
    *log << "PBL: " << transferred << " out of " << candidates << " pages transferred" << LogEndl;
    *log << "PBL Counts = " << FormatNumber(held, 2) << " After pages transferred." << LogEndl;
    destination.values[kPageCountAt] = static_cast<int32_t>(held);
    return true;
}

} // namespace

bool CVarnexImagePblObject::ConvertDynamicPages(CLog* log)
{
    auto record = LoadRecord();
    if (!record)
    {
        *log << "PBL:  Page array null" << LogEndl;
        return false;
    }
    if (!ConvertRecord(*record, log))
    {
        return false;
    }
    return StoreRecord(*record);
}

bool CVarnexImagePblObject::MovePages(const CVarnexImagePblObject& source, uint32_t eccFlag,
                                      uint32_t& notTransferred, uint32_t& transferred, CLog* log)
{
    auto destination = LoadRecord();
    auto sourceRecord = source.LoadRecord();
    if (!destination || !sourceRecord)
    {
        *log << "PBL:  Page array null" << LogEndl;
        return false;
    }
    if (!MoveRecordPages(*destination, *sourceRecord, eccFlag, m_transferMaximum, notTransferred,
                         transferred, log))
    {
        return false;
    }
    return StoreRecord(*destination);
}

bool CVarnexImagePblObject::TransferPages(const CVarnexImagePblObject& source, uint32_t maximum,
                                          uint32_t& notTransferred, CLog* log)
{
    if (maximum != 0)
    {
        m_transferMaximum = maximum;
    }
    if (GetVersion() != source.GetVersion())
    {
        *log << "PBL: Version mismatch. Unable to transfer pages" << LogEndl;
        return false;
    }
    auto destination = LoadRecord();
    auto sourceRecord = source.LoadRecord();
    if (!destination || !sourceRecord)
    {
        *log << "PBL: Version not supported.  Unable to transfer pages" << LogEndl;
        return false;
    }
    if (!ConvertRecord(*destination, log))
    {
        return false;
    }
    uint32_t transferredOn = 0;
    if (!MoveRecordPages(*destination, *sourceRecord, 1, m_transferMaximum, notTransferred,
                         transferredOn, log))
    {
        return false;
    }
    *log << "PBL: Number of un-transferred Pages of EccOn = " << notTransferred << LogEndl;
    uint32_t transferredOff = 0;
    if (!MoveRecordPages(*destination, *sourceRecord, 0, m_transferMaximum, notTransferred,
                         transferredOff, log))
    {
        return false;
    }
    *log << "PBL: Number of un-transferred Pages of EccOff = " << notTransferred << LogEndl;
    if (transferredOn != transferredOff)
    {
        *log << "PBL: Number of transferred pages differs between of EccOn arrays and EccOff "
                "arrays ("
             << transferredOn << " != " << transferredOff << ")." << LogEndl;
        return false;
    }
    if (!StoreRecord(*destination))
    {
        *log << "PBL: Failed to pack data" << LogEndl;
        return false;
    }
    return true;
}

namespace
{

bool IsVersion(const CVarnexImageObject& object, uint8_t version, uint8_t subversion)
{
    return object.GetVersion() == version && object.GetSubversion() == subversion;
}

} // namespace

bool CVarnexImagePblObject::CanTransitionFrom(const CVarnexImageObject& old, bool& mayLose,
                                              CLog* log) const
{
    if (IsVersion(old, 2, 0) && IsVersion(*this, 2, 1))
    {
        mayLose = true; // 64 slots per array become 20
        return true;
    }
    if (IsVersion(old, 2, 1) && IsVersion(*this, 2, 0))
    {
        mayLose = false;
        return true;
    }
    return CVarnexImagePersistentObject::CanTransitionFrom(old, mayLose, log);
}

bool CVarnexImagePblObject::MergeFrom(const CVarnexImageObject& old, CLog* log)
{
    const auto* oldPbl = dynamic_cast<const CVarnexImagePblObject*>(&old);
    const bool layoutsDiffer = oldPbl != nullptr && oldPbl->IsKnownVersion() && IsKnownVersion() &&
                               old.GetVersion() == GetVersion() &&
                               old.GetSubversion() != GetSubversion();
    if (!layoutsDiffer)
    {
        // Same layout (or one this object cannot read): the persistent rule,
        // whose refusal leaves the new object as it is.
        CVarnexImagePersistentObject::MergeFrom(old, log);
        return true;
    }
    // The arrays lie at other offsets in the other layout, so the body cannot
    // be copied byte for byte: the pages are carried array by array.
    if (IsVersion(old, 2, 0) && IsVersion(*this, 2, 1))
    {
        *log << "Warning: translating from PBL version 2.0 to version "
             << "2.1 - some data may be truncated." << LogEndl;
    }
    else
    {
        *log << "Preserving data for PBL object." << LogEndl;
    }
    return ConvertPagesFrom(*oldPbl);
}

bool CVarnexImagePblObject::ConvertPagesFrom(const CVarnexImagePblObject& old)
{
    auto record = LoadRecord();
    const auto oldRecord = old.LoadRecord();
    if (!record || !oldRecord)
    {
        return false;
    }
    // The three count bytes; the page count cannot exceed what one array holds.
    record->values[kPageCountAt - 1] = oldRecord->values[kPageCountAt - 1];
    record->values[kPageCountAt] = static_cast<int32_t>(std::min<uint32_t>(
        static_cast<uint8_t>(oldRecord->values[kPageCountAt]), record->capacity));
    record->values[kPageCountAt + 1] = oldRecord->values[kPageCountAt + 1];
    for (const uint32_t eccFlag : {1u, 0u})
    {
        uint32_t slot = 0;
        for (uint32_t i = 0; i < oldRecord->capacity; ++i)
        {
            const VarnexRetiredPageEntry entry = oldRecord->Page(eccFlag, i);
            if (entry != 0 && slot < record->capacity)
            {
                record->SetPage(eccFlag, slot++, entry);
            }
        }
        for (; slot < record->capacity; ++slot)
        {
            record->SetPage(eccFlag, slot, 0);
        }
    }
    // The fields after the arrays, value by value as far as both layouts go.
    const size_t tailAt = record->Index(0, record->capacity);
    const size_t oldTailAt = oldRecord->Index(0, oldRecord->capacity);
    const size_t tailLength =
        std::min(record->values.size() - tailAt, oldRecord->values.size() - oldTailAt);
    std::copy_n(oldRecord->values.begin() + static_cast<std::ptrdiff_t>(oldTailAt), tailLength,
                record->values.begin() + static_cast<std::ptrdiff_t>(tailAt));
    return StoreRecord(*record);
}
