#pragma once
// PBL: the adapter's lists of retired memory pages, one array for operation
// with ECC on and one with ECC off, in three record versions (2.0, 2.1, 3.0).
// Every page operation works on the object's own bytes: it reads the record,
// changes it and writes it back only when the whole operation succeeded.

#include "varnex/VarnexObject.h"

#include <optional>
#include <string>
#include <vector>

// A retired page: 0 is a free slot; bits 29-31 hold the retirement type, where
// 2 and 4 mark dynamically retired pages and every other type is static.
using VarnexRetiredPageEntry = uint64_t;

// The working copy of a PBL record (defined where the object is implemented).
struct VarnexPblRecord;

class CVarnexImagePblObject : public CVarnexImagePersistentObject
{
public:
    static constexpr uint32_t kDefaultTransferMaximum = 8;

    CVarnexImagePblObject(std::span<const uint8_t> image, uint16_t offset);

    // Wipes both arrays and the page count (process logger, as every Clear).
    void Clear() override;
    // 2.0 to 2.1 is allowed but may lose pages (64 slots per array become
    // 20); 2.1 to 2.0 is allowed; every other pair follows the persistent rule.
    bool CanTransitionFrom(const CVarnexImageObject& old, bool& mayLose, CLog* log) const override;
    // Between 2.0 and 2.1 the pages are carried array by array into the new
    // layout; every other pair follows the persistent merge.
    bool MergeFrom(const CVarnexImageObject& old, CLog* log) override;

    // Sets every page of one array to 0 (ECC on for a non-zero flag).
    bool ClearPages(uint32_t eccFlag, CLog* log);
    // Carries the retired pages of source into free slots of this object's
    // arrays, turning dynamic pages into static ones; notTransferred grows by
    // the candidate pages that found no place. This object changes only when
    // the whole transfer succeeds; the source never changes. A maximum of 0
    // keeps the previous one.
    bool TransferPages(const CVarnexImagePblObject& source, uint32_t maximum,
                       uint32_t& notTransferred, CLog* log);
    bool IsKnownVersion() const;
    // The array for the flag, its length the version's capacity; none for an
    // unknown version.
    std::optional<std::vector<VarnexRetiredPageEntry>> GetPageArray(uint32_t eccFlag) const;
    // The page-count field; none for an unknown version.
    std::optional<uint8_t> GetCounts() const;
    // Turns the dynamic pages of both arrays into static ones.
    bool ConvertDynamicPages(CLog* log);
    // Moves the pages of one array of source into this object's array.
    bool MovePages(const CVarnexImagePblObject& source, uint32_t eccFlag, uint32_t& notTransferred,
                   uint32_t& transferred, CLog* log);

    uint32_t GetTransferMaximum() const { return m_transferMaximum; }

    // The record's format and page capacity per array for a version; none for
    // an unknown version.
    struct Layout
    {
        std::string_view format;
        uint32_t capacity;
    };
    static std::optional<Layout> GetLayout(uint8_t version, uint8_t subversion);

protected:
    bool IsAcceptableLayout(const VarnexObjectHeader& header) const override;

private:
    std::optional<VarnexPblRecord> LoadRecord() const;
    bool StoreRecord(const VarnexPblRecord& record);
    // Rewrites this object's record from old's, whose layout may differ:
    // count bytes and trailing bytes carried, each array's pages copied in
    // order into the free slots of this layout's array, as many as fit.
    bool ConvertPagesFrom(const CVarnexImagePblObject& old);

    uint32_t m_transferMaximum = 0;
};
