#pragma once
// The board catalogue: a board ID found in a firmware image mapped to the
// board's name and revision texts.

#include "core/RefCount.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct BoardCatalogueRecord
{
    uint16_t boardId;
    uint16_t vendorId;
    uint32_t deviceId;
    const char* revision;
    const char* secondRevision;
    const char* name;
};

std::span<const BoardCatalogueRecord> GetBoardCatalogueRecords();

// One board entry, copied by value. An entry is known when its board ID is not 0.
class CBoardType
{
public:
    CBoardType() = default;
    explicit CBoardType(const BoardCatalogueRecord& record);
    virtual ~CBoardType() = default;
    CBoardType(const CBoardType&) = default;
    CBoardType& operator=(const CBoardType&) = default;

    bool IsKnown() const { return boardId != 0; }

    uint16_t boardId = 0;
    uint16_t vendorId = 0xFFFF;
    uint32_t deviceId = 0xFFFFFFFF;
    std::string revision;
    std::string secondRevision;
    std::string name = "Unknown";
};

class IBoardDatabase : public IReferenceCount
{
public:
    // The entry for the board ID, or the default board named "Unknown".
    virtual void GetBoardType(CBoardType& type, uint16_t boardId) = 0;
    // Every entry in board-ID order.
    virtual void GetBoardTypes(std::vector<CBoardType>& types) = 0;
};

IBoardDatabase* CreateBoardDatabase();
// The process-wide board catalogue, created on first call. The returned pointer
// holds a reference of the caller's own.
CRefPtr<IBoardDatabase> GetBoardDatabase();
